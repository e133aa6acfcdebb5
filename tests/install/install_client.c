/* An application built against the installed tree: an SDK on the installed resource root (given at
 * compile time as KELTO_RESOURCE_ROOT, as the package reports it), an engine of the bundled hand, and
 * one glove frame stepped. */
#include <kelto_hand.h>

#include <math.h>
#include <stdio.h>
#include <string.h>

#define MAX_JOINTS 64

static kx_string_view view(const char* text) {
  kx_string_view v = {text, strlen(text)};
  return v;
}

static kx_pose pose_at(double x, double y, double z) {
  kx_pose pose = {{x, y, z}, {1, 0, 0, 0, 1, 0, 0, 0, 1}};
  return pose;
}

/* A right glove frame: the root at the origin and the fingertips spread in front of it. */
static kx_engine_input glove_frame(void) {
  static const double tips[KX_FINGER_COUNT][3] = {
      {0.03, -0.04, 0.06}, {0.01, -0.02, 0.16}, {0.0, 0.0, 0.17}, {-0.01, 0.02, 0.16}, {-0.02, 0.04, 0.14}};
  kx_engine_input input;
  int i;
  memset(&input, 0, sizeof input);
  input.struct_size = sizeof input;
  input.abi_version = KX_ABI_VERSION_MAJOR;
  input.source_name = view("install_client");
  input.hand_side = KX_HAND_RIGHT;
  input.local_tip_mask = (1u << KX_FINGER_COUNT) - 1u;
  input.root = pose_at(0, 0, 0);
  for (i = 0; i < KX_FINGER_COUNT; ++i) {
    input.local_tips[i] = pose_at(tips[i][0], tips[i][1], tips[i][2]);
  }
  return input;
}

static int step_one_frame(kx_engine* engine) {
  double joints[MAX_JOINTS];
  kx_engine_output output;
  kx_engine_input input = glove_frame();
  size_t i;
  memset(&output, 0, sizeof output);
  output.struct_size = sizeof output;
  output.abi_version = KX_ABI_VERSION_MAJOR;
  output.joints = joints;
  output.joint_capacity = MAX_JOINTS;
  if (kx_engine_step(engine, &input, &output) != KX_STATUS_OK) {
    fprintf(stderr, "step: %s\n", kx_engine_last_error(engine));
    return 1;
  }
  if (output.joint_count == 0 || output.joint_count != kx_engine_joint_count(engine)) {
    fprintf(stderr, "step gave %zu joints\n", output.joint_count);
    return 1;
  }
  for (i = 0; i < output.joint_count; ++i) {
    if (!isfinite(joints[i])) {
      fprintf(stderr, "joint %s is not finite\n", kx_engine_joint_name(engine, i));
      return 1;
    }
  }
  printf("stepped %zu joints of %s\n", output.joint_count, KELTO_RESOURCE_ROOT);
  return 0;
}

int main(void) {
  kx_sdk_options options = {sizeof(kx_sdk_options), KX_ABI_VERSION_MAJOR, {NULL, 0}};
  kx_sdk* sdk = NULL;
  kx_engine* engine = NULL;
  int result = 1;
  options.resource_root = view(KELTO_RESOURCE_ROOT);
  if (kx_sdk_create(&options, &sdk) != KX_STATUS_OK) {
    fprintf(stderr, "sdk: %s\n", kx_last_error());
    return 1;
  }
  if (kx_sdk_create_engine(sdk, view("dynamic_openxr_hand"), view(""), &engine) != KX_STATUS_OK) {
    fprintf(stderr, "engine: %s\n", kx_sdk_last_error(sdk));
  } else {
    result = step_one_frame(engine);
  }
  kx_engine_destroy(engine);
  kx_sdk_destroy(sdk);
  return result;
}
