/* A plain C caller of libkelto_hand, as a C application would use it. The C++ test around it only
 * makes the glove frames (with the synthetic glove) and reads the reports. */
#ifndef KELTO_TESTS_C_CLIENT_H
#define KELTO_TESTS_C_CLIENT_H

#include <stddef.h>

#include "kelto_hand.h"

#ifdef __cplusplus
extern "C" {
#endif

#define C_CLIENT_MAX_JOINTS 64
#define C_CLIENT_MAX_NODES 32

typedef struct c_client_report {
  size_t joint_count;
  double joints[C_CLIENT_MAX_JOINTS]; /* output of the last step */
  char first_joint_name[64];
  int32_t target_side; /* hand side of the last target */
  uint32_t target_finger_mask;
  double first_finger_wrist_target[3];
  size_t skeleton_node_count;
  kx_skeleton_node_pose skeleton[C_CLIENT_MAX_NODES];
  char error[512]; /* what went wrong when the run returns nonzero */
} c_client_report;

/* Creates an SDK on resource_root and an engine for hand_name, steps every frame in order and reads
 * joints, the last target and the last skeleton pose. Returns 0, or nonzero with report->error. */
int c_client_run(const char* resource_root, const char* hand_name, const kx_engine_input* frames,
                 size_t frame_count, c_client_report* report);

/* Checks the status codes and error-text rules a C caller meets; `frame` is one valid glove frame.
 * Returns 0, or nonzero with a description in error. */
int c_client_check_errors(const char* resource_root, const char* hand_name, const kx_engine_input* frame,
                          char* error, size_t error_size);

#ifdef __cplusplus
}
#endif

#endif
