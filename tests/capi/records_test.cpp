// The public records are a binary interface: every size and field offset is fixed. The same header
// must also build as C99 and link from C.
#include "kelto_hand.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <string>
#include <type_traits>

#include "support/test_files.hpp"

extern "C" void kelto_header_c_fill_input(kx_engine_input* input);

#define KX_EXPECT_FIELD(record, field, offset) \
  static_assert(offsetof(record, field) == (offset), #record "." #field " offset")

static_assert(sizeof(kx_status) == sizeof(int));
static_assert(sizeof(kx_hand_side) == sizeof(int));
static_assert(std::is_standard_layout_v<kx_engine_input> && std::is_trivial_v<kx_engine_input>);

static_assert(sizeof(kx_string_view) == 16);
KX_EXPECT_FIELD(kx_string_view, data, 0);
KX_EXPECT_FIELD(kx_string_view, size, 8);

static_assert(sizeof(kx_pose) == 96);
KX_EXPECT_FIELD(kx_pose, position, 0);
KX_EXPECT_FIELD(kx_pose, rotation, 24);

static_assert(sizeof(kx_sdk_options) == 24);
KX_EXPECT_FIELD(kx_sdk_options, struct_size, 0);
KX_EXPECT_FIELD(kx_sdk_options, abi_version, 4);
KX_EXPECT_FIELD(kx_sdk_options, resource_root, 8);

static_assert(sizeof(kx_engine_options) == 40);
KX_EXPECT_FIELD(kx_engine_options, struct_size, 0);
KX_EXPECT_FIELD(kx_engine_options, abi_version, 4);
KX_EXPECT_FIELD(kx_engine_options, config_path, 8);
KX_EXPECT_FIELD(kx_engine_options, bone_config_path, 24);

static_assert(sizeof(kx_calibrator_options) == 56);
KX_EXPECT_FIELD(kx_calibrator_options, struct_size, 0);
KX_EXPECT_FIELD(kx_calibrator_options, abi_version, 4);
KX_EXPECT_FIELD(kx_calibrator_options, config_path, 8);
KX_EXPECT_FIELD(kx_calibrator_options, bone_config_path, 24);
KX_EXPECT_FIELD(kx_calibrator_options, use_fixed_scale, 40);
KX_EXPECT_FIELD(kx_calibrator_options, fixed_scale, 48);

static_assert(sizeof(kx_engine_input) == 1104);
KX_EXPECT_FIELD(kx_engine_input, struct_size, 0);
KX_EXPECT_FIELD(kx_engine_input, abi_version, 4);
KX_EXPECT_FIELD(kx_engine_input, source_name, 8);
KX_EXPECT_FIELD(kx_engine_input, timestamp_s, 24);
KX_EXPECT_FIELD(kx_engine_input, hand_side, 32);
KX_EXPECT_FIELD(kx_engine_input, local_tip_mask, 36);
KX_EXPECT_FIELD(kx_engine_input, world_tip_mask, 40);
KX_EXPECT_FIELD(kx_engine_input, root, 48);
KX_EXPECT_FIELD(kx_engine_input, local_tips, 144);
KX_EXPECT_FIELD(kx_engine_input, world_tips, 624);

static_assert(sizeof(kx_engine_output) == 48);
KX_EXPECT_FIELD(kx_engine_output, struct_size, 0);
KX_EXPECT_FIELD(kx_engine_output, abi_version, 4);
KX_EXPECT_FIELD(kx_engine_output, timestamp_s, 8);
KX_EXPECT_FIELD(kx_engine_output, hand_side, 16);
KX_EXPECT_FIELD(kx_engine_output, joint_count, 24);
KX_EXPECT_FIELD(kx_engine_output, joint_capacity, 32);
KX_EXPECT_FIELD(kx_engine_output, joints, 40);

static_assert(sizeof(kx_target_output) == 1464);
KX_EXPECT_FIELD(kx_target_output, struct_size, 0);
KX_EXPECT_FIELD(kx_target_output, abi_version, 4);
KX_EXPECT_FIELD(kx_target_output, source, 8);
KX_EXPECT_FIELD(kx_target_output, timestamp_s, 24);
KX_EXPECT_FIELD(kx_target_output, hand_side, 32);
KX_EXPECT_FIELD(kx_target_output, finger_mask, 36);
KX_EXPECT_FIELD(kx_target_output, pinch_mask, 40);
KX_EXPECT_FIELD(kx_target_output, wrist, 48);
KX_EXPECT_FIELD(kx_target_output, world_targets, 144);
KX_EXPECT_FIELD(kx_target_output, wrist_targets, 624);
KX_EXPECT_FIELD(kx_target_output, human_tips, 1104);
KX_EXPECT_FIELD(kx_target_output, shape_weights, 1224);
KX_EXPECT_FIELD(kx_target_output, pinch_vectors, 1264);
KX_EXPECT_FIELD(kx_target_output, pinch_weights, 1384);
KX_EXPECT_FIELD(kx_target_output, orientation_weights, 1424);

static_assert(sizeof(kx_skeleton_node_pose) == 56);
KX_EXPECT_FIELD(kx_skeleton_node_pose, position, 0);
KX_EXPECT_FIELD(kx_skeleton_node_pose, orientation, 24);

static_assert(sizeof(kx_skeleton_pose_output) == 48);
KX_EXPECT_FIELD(kx_skeleton_pose_output, struct_size, 0);
KX_EXPECT_FIELD(kx_skeleton_pose_output, abi_version, 4);
KX_EXPECT_FIELD(kx_skeleton_pose_output, timestamp_s, 8);
KX_EXPECT_FIELD(kx_skeleton_pose_output, hand_side, 16);
KX_EXPECT_FIELD(kx_skeleton_pose_output, node_count, 24);
KX_EXPECT_FIELD(kx_skeleton_pose_output, node_capacity, 32);
KX_EXPECT_FIELD(kx_skeleton_pose_output, nodes, 40);

static_assert(sizeof(kx_base_calibration_options) == 104);
KX_EXPECT_FIELD(kx_base_calibration_options, struct_size, 0);
KX_EXPECT_FIELD(kx_base_calibration_options, abi_version, 4);
KX_EXPECT_FIELD(kx_base_calibration_options, base_rotation, 8);
KX_EXPECT_FIELD(kx_base_calibration_options, scale_base, 80);
KX_EXPECT_FIELD(kx_base_calibration_options, use_fixed_scale, 88);
KX_EXPECT_FIELD(kx_base_calibration_options, fixed_scale, 96);

static_assert(sizeof(kx_calibration_observation) == 152);
KX_EXPECT_FIELD(kx_calibration_observation, source_position, 0);
KX_EXPECT_FIELD(kx_calibration_observation, source_rotation, 24);
KX_EXPECT_FIELD(kx_calibration_observation, input_tip_offset_local, 96);
KX_EXPECT_FIELD(kx_calibration_observation, robot_target, 120);
KX_EXPECT_FIELD(kx_calibration_observation, weight, 144);

static_assert(sizeof(kx_calibration_result) == 48);
KX_EXPECT_FIELD(kx_calibration_result, struct_size, 0);
KX_EXPECT_FIELD(kx_calibration_result, abi_version, 4);
KX_EXPECT_FIELD(kx_calibration_result, scale_delta, 8);
KX_EXPECT_FIELD(kx_calibration_result, human_hand_scale, 16);
KX_EXPECT_FIELD(kx_calibration_result, palm_offset_local, 24);

static_assert(KX_STATUS_OK == 0 && KX_STATUS_INVALID_ARGUMENT == 1 && KX_STATUS_ABI_MISMATCH == 2 &&
              KX_STATUS_BUFFER_TOO_SMALL == 3 && KX_STATUS_NOT_IMPLEMENTED == 4 &&
              KX_STATUS_INTERNAL_ERROR == 5);
static_assert(KX_HAND_RIGHT == 0 && KX_HAND_LEFT == 1);

namespace {

TEST(PublicHeader, GloveFrameFilledInCReadsTheSameInCxx) {
  kx_engine_input input;
  kelto_header_c_fill_input(&input);
  EXPECT_EQ(input.struct_size, 1104u);
  EXPECT_EQ(input.abi_version, 2u);
  EXPECT_EQ(std::string(input.source_name.data, input.source_name.size), "glove");
  EXPECT_EQ(input.timestamp_s, 12.5);
  EXPECT_EQ(input.hand_side, KX_HAND_LEFT);
  EXPECT_EQ(input.local_tip_mask, 0x1fu);
  EXPECT_EQ(input.world_tip_mask, 0x3u);
  EXPECT_EQ(input.root.position[2], -1.0);
  EXPECT_EQ(input.local_tips[4].rotation[8], 1.0);
  EXPECT_EQ(input.world_tips[4].rotation[8], 2.0);
  EXPECT_EQ(input.world_tips[0].position[0], 0.0);
}

// The C object above is built with the toolchain's default dialect; this holds the header to strict C99.
TEST(PublicHeader, CompilesAsStrictC99) {
  if (std::system("command -v cc >/dev/null 2>&1") != 0) GTEST_SKIP() << "no C compiler on PATH";
  const std::string source = kelto::test::source_dir().string();
  const std::string command = "cc -std=c99 -pedantic-errors -Wall -Wextra -Werror -fsyntax-only -I'" +
                              source + "/include' '" + source + "/tests/capi/header_c99_check.c'";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
}

}  // namespace
