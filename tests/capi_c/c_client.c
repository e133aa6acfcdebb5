/* Compiled as C99: the public header and the library as a C program meets them. */
#include "c_client.h"

#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

static kx_string_view view(const char* text) {
  kx_string_view v;
  v.data = text;
  v.size = text != NULL ? strlen(text) : 0;
  return v;
}

static int failed(char* error, size_t error_size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(error, error_size, format, args);
  va_end(args);
  return 1;
}

static kx_sdk* create_sdk(const char* resource_root) {
  kx_sdk_options options;
  kx_sdk* sdk = NULL;
  memset(&options, 0, sizeof options);
  options.struct_size = sizeof options;
  options.abi_version = 2;
  options.resource_root = view(resource_root);
  if (kx_sdk_create(&options, &sdk) != KX_STATUS_OK) return NULL;
  return sdk;
}

static kx_engine_output output_record(double* joints, size_t capacity) {
  kx_engine_output output;
  memset(&output, 0, sizeof output);
  output.struct_size = sizeof output;
  output.abi_version = 2;
  output.joints = joints;
  output.joint_capacity = capacity;
  return output;
}

int c_client_run(const char* resource_root, const char* hand_name, const kx_engine_input* frames,
                 size_t frame_count, c_client_report* report) {
  kx_sdk* sdk;
  kx_engine* engine = NULL;
  kx_status status;
  size_t i;
  int result = 0;
  kx_target_output target;
  kx_skeleton_pose_output skeleton;
  const char* name;

  memset(report, 0, sizeof *report);
  sdk = create_sdk(resource_root);
  if (sdk == NULL) return failed(report->error, sizeof report->error, "sdk: %s", kx_last_error());
  status = kx_sdk_create_engine(sdk, view(hand_name), view(NULL), &engine);
  if (status != KX_STATUS_OK) {
    result = failed(report->error, sizeof report->error, "engine: %s", kx_sdk_last_error(sdk));
    goto done;
  }
  report->joint_count = kx_engine_joint_count(engine);
  if (report->joint_count == 0 || report->joint_count > C_CLIENT_MAX_JOINTS) {
    result = failed(report->error, sizeof report->error, "joint count %zu", report->joint_count);
    goto done;
  }
  name = kx_engine_joint_name(engine, 0);
  snprintf(report->first_joint_name, sizeof report->first_joint_name, "%s", name != NULL ? name : "");

  for (i = 0; i < frame_count; ++i) {
    kx_engine_output output = output_record(report->joints, C_CLIENT_MAX_JOINTS);
    status = kx_engine_step(engine, &frames[i], &output);
    if (status != KX_STATUS_OK) {
      result = failed(report->error, sizeof report->error, "step %zu: %s (%s)", i, kx_status_message(status),
                      kx_engine_last_error(engine));
      goto done;
    }
    if (output.joint_count != report->joint_count || output.hand_side != frames[i].hand_side) {
      result = failed(report->error, sizeof report->error, "step %zu: output record not filled", i);
      goto done;
    }
  }

  memset(&target, 0, sizeof target);
  target.struct_size = sizeof target;
  target.abi_version = 2;
  status = kx_engine_get_last_target(engine, &target);
  if (status != KX_STATUS_OK) {
    result = failed(report->error, sizeof report->error, "target: %s", kx_engine_last_error(engine));
    goto done;
  }
  report->target_side = target.hand_side;
  report->target_finger_mask = target.finger_mask;
  memcpy(report->first_finger_wrist_target, target.wrist_targets[1].position, sizeof(double) * 3);

  memset(&skeleton, 0, sizeof skeleton);
  skeleton.struct_size = sizeof skeleton;
  skeleton.abi_version = 2;
  skeleton.nodes = report->skeleton;
  skeleton.node_capacity = C_CLIENT_MAX_NODES;
  status = kx_engine_get_last_skeleton_pose(engine, &skeleton);
  if (status != KX_STATUS_OK) {
    result = failed(report->error, sizeof report->error, "skeleton: %s", kx_engine_last_error(engine));
    goto done;
  }
  report->skeleton_node_count = skeleton.node_count;

done:
  kx_engine_destroy(engine);
  kx_sdk_destroy(sdk);
  return result;
}

#define EXPECT(condition, ...)                         \
  do {                                                 \
    if (!(condition)) {                                \
      result = failed(error, error_size, __VA_ARGS__); \
      goto done;                                       \
    }                                                  \
  } while (0)

int c_client_check_errors(const char* resource_root, const char* hand_name, const kx_engine_input* frame,
                          char* error, size_t error_size) {
  kx_sdk* sdk = NULL;
  kx_engine* engine = NULL;
  kx_engine* unused = NULL;
  kx_sdk_options sdk_options;
  kx_engine_input bad;
  kx_target_output target;
  double joints[C_CLIENT_MAX_JOINTS];
  kx_engine_output output = output_record(joints, C_CLIENT_MAX_JOINTS);
  kx_status status;
  int result = 0;

  /* Records: a short struct_size is an invalid argument, a wrong abi_version a version mismatch. */
  memset(&sdk_options, 0, sizeof sdk_options);
  sdk_options.struct_size = sizeof sdk_options - 1;
  sdk_options.abi_version = 2;
  EXPECT(kx_sdk_create(&sdk_options, &sdk) == KX_STATUS_INVALID_ARGUMENT && kx_last_error()[0] != '\0',
         "short sdk options: %s", kx_last_error());
  sdk_options.struct_size = sizeof sdk_options;
  sdk_options.abi_version = 1;
  EXPECT(kx_sdk_create(&sdk_options, &sdk) == KX_STATUS_ABI_MISMATCH, "abi 1 accepted");
  EXPECT(kx_sdk_create(&sdk_options, NULL) != KX_STATUS_OK, "NULL out pointer accepted");

  sdk = create_sdk(resource_root);
  EXPECT(sdk != NULL, "sdk: %s", kx_last_error());
  EXPECT(kx_last_error()[0] == '\0', "a successful create leaves the thread text: %s", kx_last_error());

  /* A bad hand name fails with the SDK's and the thread's text. */
  status = kx_sdk_create_engine(sdk, view("../etc"), view(NULL), &unused);
  EXPECT(status == KX_STATUS_INVALID_ARGUMENT && unused == NULL, "bad hand name: status %d", (int)status);
  EXPECT(strcmp(kx_sdk_last_error(sdk), "hand_name is invalid") == 0, "sdk text: %s", kx_sdk_last_error(sdk));
  EXPECT(strcmp(kx_last_error(), "hand_name is invalid") == 0, "thread text: %s", kx_last_error());

  EXPECT(kx_sdk_create_engine(sdk, view(hand_name), view(NULL), &engine) == KX_STATUS_OK, "engine: %s",
         kx_sdk_last_error(sdk));
  EXPECT(kx_sdk_last_error(sdk)[0] == '\0', "a successful engine creation leaves the SDK text");

  /* A step whose record is short sets the engine's text; a later good step keeps it; a good target
   * read clears it. */
  bad = *frame;
  bad.struct_size = 8;
  EXPECT(kx_engine_step(engine, &bad, &output) == KX_STATUS_INVALID_ARGUMENT, "short input accepted");
  EXPECT(kx_engine_last_error(engine)[0] != '\0', "short input left no engine text");
  EXPECT(kx_engine_step(engine, frame, &output) == KX_STATUS_OK, "step: %s", kx_last_error());
  EXPECT(kx_engine_last_error(engine)[0] != '\0', "a good step cleared the engine text");
  EXPECT(kx_last_error()[0] == '\0', "a good step left the thread text: %s", kx_last_error());
  memset(&target, 0, sizeof target);
  target.struct_size = sizeof target;
  target.abi_version = 2;
  EXPECT(kx_engine_get_last_target(engine, &target) == KX_STATUS_OK, "target: %s", kx_last_error());
  EXPECT(kx_engine_last_error(engine)[0] == '\0', "a good target read kept the engine text: %s",
         kx_engine_last_error(engine));

  /* A buffer too small fails with status 3 and still reports the size it needs. */
  output = output_record(joints, 1);
  EXPECT(kx_engine_step(engine, frame, &output) == KX_STATUS_BUFFER_TOO_SMALL, "small buffer accepted");
  EXPECT(output.joint_count == kx_engine_joint_count(engine), "needed size not reported");

  /* A side other than left or right, and a non-finite pose, are invalid arguments. */
  output = output_record(joints, C_CLIENT_MAX_JOINTS);
  bad = *frame;
  bad.hand_side = 7;
  EXPECT(kx_engine_step(engine, &bad, &output) == KX_STATUS_INVALID_ARGUMENT, "side 7 accepted");
  bad = *frame;
  bad.local_tips[0].position[0] = NAN;
  EXPECT(kx_engine_step(engine, &bad, &output) == KX_STATUS_INVALID_ARGUMENT, "NaN pose accepted");
  EXPECT(kx_engine_last_error(engine)[0] != '\0', "NaN pose left no text");

  EXPECT(kx_status_message(KX_STATUS_OK) != NULL && strcmp(kx_status_message(KX_STATUS_OK), "ok") == 0,
         "status text of ok");

done:
  kx_engine_destroy(engine);
  kx_sdk_destroy(sdk);
  return result;
}
