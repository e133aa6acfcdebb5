/* A plain C caller of libkelto_hand; the C++ test around it makes the glove frames and reads the reports. */
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
  int32_t target_side; /* of the last target */
  uint32_t target_finger_mask;
  size_t skeleton_node_count;
  kx_skeleton_node_pose skeleton[C_CLIENT_MAX_NODES];
  char error[512]; /* what went wrong when a call returns nonzero */
} c_client_report;

/* Creates an SDK on resource_root and an engine for hand_name, steps every frame in order and reads
 * joints, the last target and the last skeleton pose. Both return 0, or nonzero with report->error. */
int c_client_run(const char* resource_root, const char* hand_name, const kx_engine_input* frames,
                 size_t frame_count, c_client_report* report);

/* Checks the statuses and error-text rules a C caller meets; `frame` is one valid glove frame. */
int c_client_check_errors(const char* resource_root, const char* hand_name, const kx_engine_input* frame,
                          c_client_report* report);

#ifdef __cplusplus
}
#endif

#endif
