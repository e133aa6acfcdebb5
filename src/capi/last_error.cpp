#include "capi/last_error.hpp"

namespace kelto::hand::detail {

std::string& thread_last_error() {
  thread_local std::string last_error;
  return last_error;
}

void fail(const std::string& message) {
  thread_last_error() = message;
}

void clear_thread_error() {
  thread_last_error().clear();
}

}  // namespace kelto::hand::detail

extern "C" const char* kx_last_error(void) {
  return kelto::hand::detail::thread_last_error().c_str();
}
