// The two static documents that describe the retargeting and calibration algorithms to a host.
#include "kelto_hand.h"

namespace {

constexpr const char* kRetargetingManifest =
    R"({"schema_version":"1","id":"kelto.hand.glove_to_hand.retargeting","version":"0.2.1",)"
    R"("kind":"retargeting",)"
    R"("supported_sources":[{"kind":"glove","side":"right"},{"kind":"glove","side":"left"}],)"
    R"("supported_targets":[{"kind":"hand","name":"dynamic_openxr_hand","side":"right"},)"
    R"({"kind":"hand","name":"dynamic_openxr_hand","side":"left"}],)"
    R"("requires_calibration":{"mode":"required","algorithm_id":"kelto.hand.glove_to_hand.calibration",)"
    R"("minimum_calibration_version":"0.2.1"}})";

constexpr const char* kCalibrationManifest =
    R"({"schema_version":"1","id":"kelto.hand.glove_to_hand.calibration","version":"0.2.1",)"
    R"("kind":"calibration","calibration_workflow":{"stages":[)"
    R"({"id":"close","prompt":"五指自然并拢并保持。","sample_count":30},)"
    R"({"id":"open","prompt":"五指自然张开并保持。","sample_count":30},)"
    R"({"id":"mcp90","prompt":"四指根关节弯曲约 90 度并保持。","sample_count":30},)"
    R"({"id":"pinch_first","prompt":"拇指与食指指腹轻触并保持。","sample_count":30,"optional":true},)"
    R"({"id":"pinch_middle","prompt":"拇指与中指指腹轻触并保持。","sample_count":30,"optional":true},)"
    R"({"id":"pinch_ring","prompt":"拇指与无名指指腹轻触并保持。","sample_count":30,"optional":true},)"
    R"({"id":"pinch_little","prompt":"拇指与小指指腹轻触并保持。","sample_count":30,"optional":true}]}})";

}  // namespace

extern "C" {

const char* kx_retargeting_manifest_json(void) {
  return kRetargetingManifest;
}

const char* kx_calibration_manifest_json(void) {
  return kCalibrationManifest;
}

}  // extern "C"
