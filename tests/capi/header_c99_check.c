/* The public header as a C program sees it: it must compile as plain C99 (no C++ or C11 features) and
 * give the same record layout as in C++. */
#include "kelto_hand.h"

#include <stddef.h>
#include <string.h>

#define KX_C_ASSERT(name, condition) typedef char kx_c_assert_##name[(condition) ? 1 : -1]

KX_C_ASSERT(string_view, sizeof(kx_string_view) == 16);
KX_C_ASSERT(pose, sizeof(kx_pose) == 96);
KX_C_ASSERT(sdk_options, sizeof(kx_sdk_options) == 24 && offsetof(kx_sdk_options, resource_root) == 8);
KX_C_ASSERT(engine_options,
            sizeof(kx_engine_options) == 40 && offsetof(kx_engine_options, bone_config_path) == 24);
KX_C_ASSERT(calibrator_options, sizeof(kx_calibrator_options) == 56 &&
                                    offsetof(kx_calibrator_options, use_fixed_scale) == 40 &&
                                    offsetof(kx_calibrator_options, fixed_scale) == 48);
KX_C_ASSERT(engine_input,
            sizeof(kx_engine_input) == 1104 && offsetof(kx_engine_input, timestamp_s) == 24 &&
                offsetof(kx_engine_input, hand_side) == 32 &&
                offsetof(kx_engine_input, world_tip_mask) == 40 && offsetof(kx_engine_input, root) == 48 &&
                offsetof(kx_engine_input, local_tips) == 144 && offsetof(kx_engine_input, world_tips) == 624);
KX_C_ASSERT(engine_output, sizeof(kx_engine_output) == 48 && offsetof(kx_engine_output, joint_count) == 24 &&
                               offsetof(kx_engine_output, joints) == 40);
KX_C_ASSERT(target_output, sizeof(kx_target_output) == 1464 && offsetof(kx_target_output, wrist) == 48 &&
                               offsetof(kx_target_output, human_tips) == 1104 &&
                               offsetof(kx_target_output, orientation_weights) == 1424);
KX_C_ASSERT(skeleton_node_pose, sizeof(kx_skeleton_node_pose) == 56);
KX_C_ASSERT(skeleton_pose_output,
            sizeof(kx_skeleton_pose_output) == 48 && offsetof(kx_skeleton_pose_output, nodes) == 40);
KX_C_ASSERT(base_calibration_options, sizeof(kx_base_calibration_options) == 104 &&
                                          offsetof(kx_base_calibration_options, fixed_scale) == 96);
KX_C_ASSERT(calibration_observation, sizeof(kx_calibration_observation) == 152);
KX_C_ASSERT(calibration_result,
            sizeof(kx_calibration_result) == 48 && offsetof(kx_calibration_result, palm_offset_local) == 24);
KX_C_ASSERT(status_size, sizeof(kx_status) == sizeof(int));

/* Called from the C++ tests: a C caller fills a glove frame record, which C++ must read back field for
 * field. */
void kelto_header_c_fill_input(kx_engine_input* input) {
  kx_string_view view;
  memset(input, 0, sizeof *input);
  input->struct_size = (uint32_t)sizeof *input;
  input->abi_version = KX_ABI_VERSION_MAJOR;
  view.data = "glove";
  view.size = 5;
  input->source_name = view;
  input->timestamp_s = 12.5;
  input->hand_side = KX_HAND_LEFT;
  input->local_tip_mask = 0x1fu;
  input->world_tip_mask = 0x3u;
  input->root.position[2] = -1.0;
  input->local_tips[4].rotation[8] = 1.0;
  input->world_tips[4].rotation[8] = 2.0;
}
