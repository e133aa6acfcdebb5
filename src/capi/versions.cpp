// Versions, availability and status texts: fixed answers that need no handle.
#include "kelto_hand.h"

namespace {
constexpr const char* kLibraryVersion = "0.2.1";
}  // namespace

extern "C" {

int kx_abi_version_major(void) {
  return KX_ABI_VERSION_MAJOR;
}

int kx_abi_version_minor(void) {
  return KX_ABI_VERSION_MINOR;
}

const char* kx_library_version(void) {
  return kLibraryVersion;
}

int kx_native_retargeting_available(void) {
  return 1;
}

int kx_native_calibration_available(void) {
  return 1;
}

const char* kx_status_message(kx_status status) {
  switch (static_cast<unsigned>(status)) {
    case KX_STATUS_OK:
      return "ok";
    case KX_STATUS_INVALID_ARGUMENT:
      return "invalid argument";
    case KX_STATUS_ABI_MISMATCH:
      return "ABI version mismatch";
    case KX_STATUS_BUFFER_TOO_SMALL:
      return "output buffer too small";
    case KX_STATUS_NOT_IMPLEMENTED:
      return "not implemented";
    case KX_STATUS_INTERNAL_ERROR:
      return "internal error";
    default:
      return "unknown status";
  }
}

}  // extern "C"
