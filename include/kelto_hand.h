/*
 * Kelto Hand: the C interface of libkelto_hand.
 *
 * Every record passed by pointer, except the header-less array elements kx_skeleton_node_pose and
 * kx_calibration_observation, begins with struct_size (the caller's allocation, at least the record's
 * size) and abi_version (KX_ABI_VERSION_MAJOR). A too small struct_size fails with
 * KX_STATUS_INVALID_ARGUMENT before abi_version is looked at; a wrong abi_version fails with
 * KX_STATUS_ABI_MISMATCH.
 *
 * The library never keeps a caller's pointer: string views are copied on entry and output records are
 * written only during the call. Texts and views returned by the library stay valid until the next call
 * that changes them on the same thread or handle, or until the handle is destroyed.
 */
#ifndef KELTO_HAND_H
#define KELTO_HAND_H

#include <stddef.h>
#include <stdint.h>

/* The library is built with hidden visibility; only the kx_ functions are exported. */
#if defined(__GNUC__) || defined(__clang__)
#define KX_API __attribute__((visibility("default")))
#else
#define KX_API
#endif

/* Enumerations are int-sized; C++ pins the underlying type so that every int converts safely. */
#ifdef __cplusplus
#define KX_ENUM_TYPE : int
extern "C" {
#else
#define KX_ENUM_TYPE
#endif

#define KX_ABI_VERSION_MAJOR 2
#define KX_ABI_VERSION_MINOR 0
#define KX_FINGER_COUNT 5

typedef enum kx_status KX_ENUM_TYPE {
  KX_STATUS_OK = 0,
  KX_STATUS_INVALID_ARGUMENT = 1,
  KX_STATUS_ABI_MISMATCH = 2,
  KX_STATUS_BUFFER_TOO_SMALL = 3,
  KX_STATUS_NOT_IMPLEMENTED = 4,
  KX_STATUS_INTERNAL_ERROR = 5
} kx_status;

/* Records carry the side as int32_t; values other than these are rejected. */
typedef enum kx_hand_side KX_ENUM_TYPE { KX_HAND_RIGHT = 0, KX_HAND_LEFT = 1 } kx_hand_side;

/* Bytes of text, not NUL-terminated; a NULL data pointer is the empty text whatever size says. */
typedef struct kx_string_view {
  const char* data;
  size_t size;
} kx_string_view;

/* Position in metres, then a row-major 3x3 rotation whose columns are the frame's x, y and z axes. */
typedef struct kx_pose {
  double position[3];
  double rotation[9];
} kx_pose;

typedef struct kx_sdk kx_sdk;
typedef struct kx_engine kx_engine;
typedef struct kx_calibrator kx_calibrator;

typedef struct kx_sdk_options {
  uint32_t struct_size;
  uint32_t abi_version;
  kx_string_view resource_root; /* directory of the hand resources; required */
} kx_sdk_options;

typedef struct kx_engine_options {
  uint32_t struct_size;
  uint32_t abi_version;
  kx_string_view config_path;      /* hand system configuration file; required */
  kx_string_view bone_config_path; /* per-user bone configuration overlay; empty = none */
} kx_engine_options;

typedef struct kx_calibrator_options {
  uint32_t struct_size;
  uint32_t abi_version;
  kx_string_view config_path;      /* required */
  kx_string_view bone_config_path; /* empty = none */
  int32_t use_fixed_scale;         /* nonzero: the fit uses fixed_scale as the hand scale */
  double fixed_scale;              /* must be finite when use_fixed_scale is nonzero */
} kx_calibrator_options;

/* One glove frame. Finger slots are indexed thumb, first, middle, ring, little (0 to 4); mask bit i
 * marks slot i as holding data. */
typedef struct kx_engine_input {
  uint32_t struct_size;
  uint32_t abi_version;
  kx_string_view source_name; /* text id of the sample */
  double timestamp_s;
  int32_t hand_side; /* kx_hand_side */
  uint32_t local_tip_mask;
  uint32_t world_tip_mask;
  kx_pose root;                        /* glove root (wrist) pose */
  kx_pose local_tips[KX_FINGER_COUNT]; /* fingertips relative to the glove root */
  kx_pose world_tips[KX_FINGER_COUNT]; /* fingertips in world coordinates */
} kx_engine_input;

typedef struct kx_engine_output {
  uint32_t struct_size;
  uint32_t abi_version;
  double timestamp_s; /* copied from the input */
  int32_t hand_side;  /* side of the runtime that stepped */
  size_t joint_count; /* all joints of the model, full vector order; written even when too small */
  size_t joint_capacity;
  double* joints; /* caller-owned buffer of joint_capacity values */
} kx_engine_output;

typedef struct kx_target_output {
  uint32_t struct_size;
  uint32_t abi_version;
  kx_string_view source; /* borrowed from the engine */
  double timestamp_s;
  int32_t hand_side;
  uint32_t finger_mask;
  uint32_t pinch_mask;
  kx_pose wrist;                          /* robot wrist in world */
  kx_pose world_targets[KX_FINGER_COUNT]; /* fingertip targets in world */
  kx_pose wrist_targets[KX_FINGER_COUNT]; /* fingertip targets in the robot wrist frame */
  double human_tips[KX_FINGER_COUNT][3];  /* glove fingertips in robot wrist axes */
  double shape_weights[KX_FINGER_COUNT];
  double pinch_vectors[KX_FINGER_COUNT][3]; /* desired finger-minus-thumb vectors */
  double pinch_weights[KX_FINGER_COUNT];
  double orientation_weights[KX_FINGER_COUNT];
} kx_target_output;

/* No header: an element of the caller's node array. */
typedef struct kx_skeleton_node_pose {
  double position[3];    /* relative to the wrist */
  double orientation[4]; /* quaternion x, y, z, w */
} kx_skeleton_node_pose;

typedef struct kx_skeleton_pose_output {
  uint32_t struct_size;
  uint32_t abi_version;
  double timestamp_s;
  int32_t hand_side;
  size_t node_count; /* written even when the buffer is too small */
  size_t node_capacity;
  kx_skeleton_node_pose* nodes; /* caller-owned buffer of node_capacity entries */
} kx_skeleton_pose_output;

typedef struct kx_base_calibration_options {
  uint32_t struct_size;
  uint32_t abi_version;
  double base_rotation[9]; /* row-major rotation from glove to robot wrist axes */
  double scale_base;       /* added to the fitted slope to give the hand scale */
  int32_t use_fixed_scale; /* nonzero: use fixed_scale */
  double fixed_scale;
} kx_base_calibration_options;

/* No header: an element of the caller's observation array. */
typedef struct kx_calibration_observation {
  double source_position[3];
  double source_rotation[9];
  double input_tip_offset_local[3];
  double robot_target[3];
  double weight;
} kx_calibration_observation;

typedef struct kx_calibration_result {
  uint32_t struct_size;
  uint32_t abi_version;
  double scale_delta;          /* fitted slope */
  double human_hand_scale;     /* scale base plus slope, or the fixed scale */
  double palm_offset_local[3]; /* in the robot wrist frame */
} kx_calibration_result;

/* Versions and availability. */
KX_API int kx_abi_version_major(void);
KX_API int kx_abi_version_minor(void);
KX_API const char* kx_library_version(void);
KX_API int kx_native_retargeting_available(void);
KX_API int kx_native_calibration_available(void);

/* Status texts and last-error texts. */
KX_API const char* kx_status_message(kx_status status);
KX_API const char* kx_last_error(void);
KX_API const char* kx_sdk_last_error(kx_sdk* sdk);
KX_API const char* kx_engine_last_error(kx_engine* engine);
KX_API const char* kx_calibrator_last_error(kx_calibrator* calibrator);

/* Static JSON documents describing the two algorithms. */
KX_API const char* kx_retargeting_manifest_json(void);
KX_API const char* kx_calibration_manifest_json(void);

/* SDK. */
KX_API kx_status kx_sdk_create(const kx_sdk_options* options, kx_sdk** out_sdk);
KX_API void kx_sdk_destroy(kx_sdk* sdk);
KX_API kx_status kx_sdk_create_engine(kx_sdk* sdk, kx_string_view hand_name, kx_string_view bone_config_path,
                                      kx_engine** out_engine);
KX_API kx_status kx_sdk_create_calibrator(kx_sdk* sdk, kx_string_view hand_name,
                                          kx_string_view bone_config_path, kx_calibrator** out_calibrator);

/* Engine. */
KX_API kx_status kx_engine_create(const kx_engine_options* options, kx_engine** out_engine);
KX_API void kx_engine_destroy(kx_engine* engine);
KX_API size_t kx_engine_joint_count(kx_engine* engine);
KX_API const char* kx_engine_joint_name(kx_engine* engine, size_t index);
KX_API size_t kx_engine_skeleton_node_count(kx_engine* engine);
KX_API const char* kx_engine_skeleton_node_name(kx_engine* engine, size_t index);
KX_API int kx_engine_physics_enabled(kx_engine* engine);
KX_API int64_t kx_engine_physics_step_count(kx_engine* engine);
KX_API int kx_engine_physics_contact_count(kx_engine* engine);
KX_API int kx_engine_physics_actuator_count(kx_engine* engine);
KX_API int kx_engine_physics_collision_geom_count(kx_engine* engine);
KX_API const char* kx_engine_physics_model_path(kx_engine* engine);
KX_API kx_status kx_engine_step(kx_engine* engine, const kx_engine_input* input, kx_engine_output* output);
KX_API kx_status kx_engine_get_last_target(kx_engine* engine, kx_target_output* out);
KX_API kx_status kx_engine_get_last_skeleton_pose(kx_engine* engine, kx_skeleton_pose_output* out);

/* Calibrator and the stateless base fit. */
KX_API kx_status kx_calibrator_create(const kx_calibrator_options* options, kx_calibrator** out_calibrator);
KX_API void kx_calibrator_destroy(kx_calibrator* calibrator);
KX_API kx_status kx_calibrator_add_frame(kx_calibrator* calibrator, kx_string_view stage_id,
                                         const kx_engine_input* frame);
KX_API kx_status kx_calibrator_fit(kx_calibrator* calibrator);
KX_API kx_status kx_calibrator_get_result(kx_calibrator* calibrator, kx_calibration_result* result);
KX_API kx_status kx_calibrator_result_yaml(kx_calibrator* calibrator, kx_string_view* out_yaml);
KX_API kx_status kx_fit_base_calibration(const kx_base_calibration_options* options,
                                         const kx_calibration_observation* observations, size_t count,
                                         kx_calibration_result* result);

#ifdef __cplusplus
} /* extern "C" */
#endif

#undef KX_ENUM_TYPE

#endif /* KELTO_HAND_H */
