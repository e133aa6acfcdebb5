/* Compiled as C: the public header, its record layout and the library as a C program meets them. */
#include "c_client.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

/* The record layout is a binary interface: sizes and offsets as C sees them. */
#define LAYOUT(name, condition) typedef char layout_##name[(condition) ? 1 : -1]
#define AT(type, field, offset) (offsetof(kx_##type, field) == (offset))
LAYOUT(small, sizeof(kx_string_view) == 16 && sizeof(kx_pose) == 96 && AT(pose, rotation, 24) &&
                  sizeof(kx_status) == sizeof(int) && sizeof(kx_hand_side) == sizeof(int));
LAYOUT(options, sizeof(kx_sdk_options) == 24 && AT(sdk_options, resource_root, 8) &&
                    sizeof(kx_engine_options) == 40 && AT(engine_options, bone_config_path, 24) &&
                    sizeof(kx_calibrator_options) == 56 && AT(calibrator_options, use_fixed_scale, 40) &&
                    AT(calibrator_options, fixed_scale, 48));
LAYOUT(input, sizeof(kx_engine_input) == 1104 && AT(engine_input, timestamp_s, 24) &&
                  AT(engine_input, hand_side, 32) && AT(engine_input, local_tip_mask, 36) &&
                  AT(engine_input, world_tip_mask, 40) && AT(engine_input, root, 48) &&
                  AT(engine_input, local_tips, 144) && AT(engine_input, world_tips, 624));
LAYOUT(output, sizeof(kx_engine_output) == 48 && AT(engine_output, hand_side, 16) &&
                   AT(engine_output, joint_count, 24) && AT(engine_output, joints, 40));
LAYOUT(target, sizeof(kx_target_output) == 1464 && AT(target_output, pinch_mask, 40) &&
                   AT(target_output, wrist, 48) && AT(target_output, world_targets, 144) &&
                   AT(target_output, wrist_targets, 624) && AT(target_output, human_tips, 1104) &&
                   AT(target_output, shape_weights, 1224) && AT(target_output, pinch_vectors, 1264) &&
                   AT(target_output, pinch_weights, 1384) && AT(target_output, orientation_weights, 1424));
LAYOUT(skeleton, sizeof(kx_skeleton_node_pose) == 56 && AT(skeleton_node_pose, orientation, 24) &&
                     sizeof(kx_skeleton_pose_output) == 48 && AT(skeleton_pose_output, node_count, 24) &&
                     AT(skeleton_pose_output, nodes, 40));
LAYOUT(calibration,
       sizeof(kx_base_calibration_options) == 104 && AT(base_calibration_options, scale_base, 80) &&
           AT(base_calibration_options, use_fixed_scale, 88) &&
           AT(base_calibration_options, fixed_scale, 96) && sizeof(kx_calibration_observation) == 152 &&
           AT(calibration_observation, input_tip_offset_local, 96) &&
           AT(calibration_observation, robot_target, 120) && AT(calibration_observation, weight, 144) &&
           sizeof(kx_calibration_result) == 48 && AT(calibration_result, human_hand_scale, 16) &&
           AT(calibration_result, palm_offset_local, 24));

static kx_string_view view(const char* text) {
  kx_string_view v = {text, text != NULL ? strlen(text) : 0};
  return v;
}

/* Fails the calling function with a message unless the condition holds. */
#define EXPECT(condition, ...)                                    \
  do {                                                            \
    if (!(condition)) {                                           \
      snprintf(report->error, sizeof report->error, __VA_ARGS__); \
      result = 1;                                                 \
      goto done;                                                  \
    }                                                             \
  } while (0)

static kx_sdk* create_sdk(const char* resource_root) {
  kx_sdk_options options = {sizeof(kx_sdk_options), KX_ABI_VERSION_MAJOR, {NULL, 0}};
  kx_sdk* sdk = NULL;
  options.resource_root = view(resource_root);
  return kx_sdk_create(&options, &sdk) == KX_STATUS_OK ? sdk : NULL;
}

static kx_engine_output output_record(double* joints, size_t capacity) {
  kx_engine_output output = {.struct_size = sizeof(kx_engine_output), .abi_version = KX_ABI_VERSION_MAJOR};
  output.joints = joints;
  output.joint_capacity = capacity;
  return output;
}

int c_client_run(const char* resource_root, const char* hand_name, const kx_engine_input* frames,
                 size_t frame_count, c_client_report* report) {
  kx_sdk* sdk;
  kx_engine* engine = NULL;
  size_t i;
  int result = 0;
  kx_target_output target = {.struct_size = sizeof(kx_target_output), .abi_version = KX_ABI_VERSION_MAJOR};
  kx_skeleton_pose_output skeleton = {.struct_size = sizeof(kx_skeleton_pose_output),
                                      .abi_version = KX_ABI_VERSION_MAJOR};
  kx_engine_output output;

  memset(report, 0, sizeof *report);
  sdk = create_sdk(resource_root);
  EXPECT(sdk != NULL, "sdk: %s", kx_last_error());
  EXPECT(kx_sdk_create_engine(sdk, view(hand_name), view(NULL), &engine) == KX_STATUS_OK, "engine: %s",
         kx_sdk_last_error(sdk));
  report->joint_count = kx_engine_joint_count(engine);
  EXPECT(report->joint_count > 0 && report->joint_count <= C_CLIENT_MAX_JOINTS, "joint count %zu",
         report->joint_count);
  snprintf(report->first_joint_name, sizeof report->first_joint_name, "%s", kx_engine_joint_name(engine, 0));
  for (i = 0; i < frame_count; ++i) {
    output = output_record(report->joints, C_CLIENT_MAX_JOINTS);
    EXPECT(kx_engine_step(engine, &frames[i], &output) == KX_STATUS_OK, "step %zu: %s", i,
           kx_engine_last_error(engine));
    EXPECT(output.joint_count == report->joint_count && output.hand_side == frames[i].hand_side,
           "step %zu: output record not filled", i);
  }
  EXPECT(kx_engine_get_last_target(engine, &target) == KX_STATUS_OK, "target: %s",
         kx_engine_last_error(engine));
  report->target_side = target.hand_side;
  report->target_finger_mask = target.finger_mask;
  skeleton.nodes = report->skeleton;
  skeleton.node_capacity = C_CLIENT_MAX_NODES;
  EXPECT(kx_engine_get_last_skeleton_pose(engine, &skeleton) == KX_STATUS_OK, "skeleton: %s",
         kx_engine_last_error(engine));
  report->skeleton_node_count = skeleton.node_count;
done:
  kx_engine_destroy(engine);
  kx_sdk_destroy(sdk);
  return result;
}

int c_client_check_errors(const char* resource_root, const char* hand_name, const kx_engine_input* frame,
                          c_client_report* report) {
  kx_sdk* sdk = NULL;
  kx_engine* engine = NULL;
  kx_engine* unused = NULL;
  kx_engine_input bad;
  kx_target_output target = {.struct_size = sizeof(kx_target_output), .abi_version = KX_ABI_VERSION_MAJOR};
  double joints[C_CLIENT_MAX_JOINTS];
  kx_engine_output output = output_record(joints, C_CLIENT_MAX_JOINTS);
  int result = 0;

  memset(report, 0, sizeof *report);
  /* Failures set the thread's text, success clears it. */
  EXPECT(kx_sdk_create(NULL, &sdk) == KX_STATUS_INVALID_ARGUMENT && kx_last_error()[0] != '\0',
         "NULL options");
  sdk = create_sdk(resource_root);
  EXPECT(sdk != NULL && kx_last_error()[0] == '\0', "a good SDK creation: %s", kx_last_error());

  /* A bad hand name sets the SDK's and the thread's text. */
  EXPECT(kx_sdk_create_engine(sdk, view("../etc"), view(NULL), &unused) == KX_STATUS_INVALID_ARGUMENT &&
             unused == NULL,
         "bad hand name accepted");
  EXPECT(strcmp(kx_sdk_last_error(sdk), "hand_name is invalid") == 0 &&
             strcmp(kx_last_error(), "hand_name is invalid") == 0,
         "texts: %s / %s", kx_sdk_last_error(sdk), kx_last_error());
  EXPECT(kx_sdk_create_engine(sdk, view(hand_name), view(NULL), &engine) == KX_STATUS_OK, "engine: %s",
         kx_sdk_last_error(sdk));
  EXPECT(kx_sdk_last_error(sdk)[0] == '\0', "a good engine creation left the SDK text");

  /* A short input sets the engine's text, which a later good step keeps and a good target read clears;
   * the good step clears the thread's. */
  bad = *frame;
  bad.struct_size = 8;
  EXPECT(kx_engine_step(engine, &bad, &output) == KX_STATUS_INVALID_ARGUMENT, "short input accepted");
  EXPECT(strcmp(kx_engine_last_error(engine), "input or output struct_size is invalid") == 0,
         "engine text: %s", kx_engine_last_error(engine));
  EXPECT(kx_engine_step(engine, frame, &output) == KX_STATUS_OK, "step: %s", kx_engine_last_error(engine));
  EXPECT(kx_engine_last_error(engine)[0] != '\0', "a good step cleared the engine text");
  EXPECT(kx_last_error()[0] == '\0', "a good step left the thread text: %s", kx_last_error());
  EXPECT(kx_engine_get_last_target(engine, &target) == KX_STATUS_OK, "target: %s", kx_last_error());
  EXPECT(kx_engine_last_error(engine)[0] == '\0', "a good target read kept the engine text");

  /* A non-finite pose; a short buffer, which still reports the size needed; no engine. */
  bad = *frame;
  bad.local_tips[0].position[0] = NAN;
  EXPECT(kx_engine_step(engine, &bad, &output) == KX_STATUS_INVALID_ARGUMENT, "NaN pose accepted");
  output = output_record(joints, 1);
  EXPECT(kx_engine_step(engine, frame, &output) == KX_STATUS_BUFFER_TOO_SMALL, "small buffer accepted");
  EXPECT(output.joint_count == kx_engine_joint_count(engine), "needed size not reported");
  EXPECT(kx_engine_step(NULL, frame, &output) == KX_STATUS_INVALID_ARGUMENT &&
             strcmp(kx_last_error(), "engine, input, and output are required") == 0,
         "NULL engine: %s", kx_last_error());
done:
  kx_engine_destroy(engine);
  kx_sdk_destroy(sdk);
  return result;
}
