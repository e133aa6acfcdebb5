// Creating and destroying engines, and the plain getters on the selected side.
#include <memory>
#include <stdexcept>
#include <string>

#include "capi/engine.hpp"
#include "capi/fingers.hpp"
#include "capi/last_error.hpp"
#include "capi/records.hpp"

namespace kelto::hand::detail {
namespace {

Config load_side_config(const std::string& config_path, const std::string& bone_config_path,
                        kx_hand_side side) {
  Config config = Config::load(config_path, bone_config_path, side_word(side));
  config.set_string("hand.side", side_word(side));
  return config;
}

// Reads an optional flag; the member keeps its default when the key is absent.
void read_flag(const Config& config, const char* key, bool& member) {
  if (config.contains(key)) member = config.boolean(key);
}

// Reads an optional non-negative number: values below zero become zero (a NaN stays as it is).
void read_non_negative(const Config& config, const char* key, double& member) {
  if (!config.contains(key)) return;
  const double value = config.number(key);
  member = value < 0.0 ? 0.0 : value;
}

// The side a fresh engine reports on: hand.side, else hand.default_side, else right.
kx_hand_side config_side(const Config& config) {
  std::string side = "right";
  if (config.contains("hand.side")) {
    side = config.string("hand.side");
  } else if (config.contains("hand.default_side")) {
    side = config.string("hand.default_side");
  }
  if (side == "left") return KX_HAND_LEFT;
  if (side == "right" || side == "both") return KX_HAND_RIGHT;
  throw std::runtime_error("hand.side must be left or right");
}

}  // namespace

EngineSideRuntime::EngineSideRuntime(const std::string& config_path, const std::string& bone_config_path,
                                     kx_hand_side side_value)
    : side(side_value),
      config(load_side_config(config_path, bone_config_path, side_value)),
      tip_mapping(TipMappingParameters::from_config(config, side_word(side_value))),
      finger_order(tip_mapping.finger_order),
      finger_mask(detail::finger_mask(finger_order)),
      smoother(config) {
  kinematics = std::make_unique<PinocchioHandKinematics>(config, side_word(side));
  solver = std::make_unique<PinocchioGNSolver>(*kinematics, config);

  read_flag(config, "solver.error_reseed.enabled", reseed_enabled);
  read_non_negative(config, "solver.error_reseed.shape_max_threshold_m", reseed_shape_max_threshold_m);
  read_flag(config, "solver.output_hold_when_stalled.enabled", hold_enabled);
  read_flag(config, "solver.output_velocity_limit.enabled", velocity_limit_enabled);
  read_non_negative(config, "solver.output_velocity_limit.max_velocity_rad_s", max_velocity_rad_s);
  read_non_negative(config, "solver.output_velocity_limit.max_dt_s", max_dt_s);
  read_non_negative(config, "solver.output_hold_when_stalled.target_delta_threshold_m",
                    hold_target_delta_threshold_m);
  read_non_negative(config, "solver.output_hold_when_stalled.shape_delta_threshold_m",
                    hold_shape_delta_threshold_m);
  read_non_negative(config, "solver.output_hold_when_stalled.q_delta_norm_threshold_rad",
                    hold_q_delta_norm_threshold_rad);

  if (sdk_physics_enabled(config)) {
    observer = std::make_unique<MujocoPhysicsObserver>(config, config_path, side_word(side));
    physics_model_path = observer->model_path().string();
  }
}

}  // namespace kelto::hand::detail

namespace {

using kelto::hand::detail::EngineSideRuntime;

EngineSideRuntime* selected_runtime(kx_engine* engine) {
  return engine == nullptr ? nullptr : engine->selected;
}

}  // namespace

extern "C" {

kx_status kx_engine_create(const kx_engine_options* options, kx_engine** out_engine) {
  using namespace kelto::hand;
  using detail::fail;
  return detail::guard_thread("unknown native exception", [&]() -> kx_status {
    if (options == nullptr || out_engine == nullptr) {
      fail("options and out_engine are required");
      return KX_STATUS_INVALID_ARGUMENT;
    }
    *out_engine = nullptr;
    if (const kx_status header = detail::check_record_header(
            {"engine options struct_size is invalid", "engine options ABI version does not match"}, fail,
            options);
        header != KX_STATUS_OK) {
      return header;
    }
    const std::string config_path = detail::view_text(options->config_path);
    if (config_path.empty()) {
      fail("config_path is required");
      return KX_STATUS_INVALID_ARGUMENT;
    }
    auto engine = std::make_unique<kx_engine>();
    engine->config_path = config_path;
    const std::string bone_config_path = detail::view_text(options->bone_config_path);
    engine->left = std::make_unique<EngineSideRuntime>(config_path, bone_config_path, KX_HAND_LEFT);
    engine->right = std::make_unique<EngineSideRuntime>(config_path, bone_config_path, KX_HAND_RIGHT);
    if (engine->left->finger_order != engine->right->finger_order) {
      throw std::runtime_error("left and right runtimes must use the same finger order");
    }
    const Config shared = Config::load(config_path, std::filesystem::path(), std::string());
    engine->selected = detail::config_side(shared) == KX_HAND_LEFT ? engine->left.get() : engine->right.get();
    *out_engine = engine.release();
    detail::clear_thread_error();
    return KX_STATUS_OK;
  });
}

void kx_engine_destroy(kx_engine* engine) {
  delete engine;
}

const char* kx_engine_last_error(kx_engine* engine) {
  if (engine == nullptr) return "engine is null";
  if (!engine->last_error.empty()) return engine->last_error.c_str();
  if (engine->selected == nullptr) return "";
  return engine->selected->last_error.c_str();
}

size_t kx_engine_joint_count(kx_engine* engine) {
  const EngineSideRuntime* runtime = selected_runtime(engine);
  return runtime == nullptr ? 0 : runtime->kinematics->joint_names().size();
}

const char* kx_engine_joint_name(kx_engine* engine, size_t index) {
  const EngineSideRuntime* runtime = selected_runtime(engine);
  if (runtime == nullptr) return nullptr;
  const auto& names = runtime->kinematics->joint_names();
  return index < names.size() ? names[index].c_str() : nullptr;
}

size_t kx_engine_skeleton_node_count(kx_engine* engine) {
  const EngineSideRuntime* runtime = selected_runtime(engine);
  return runtime == nullptr ? 0 : runtime->kinematics->skeleton_node_names().size();
}

const char* kx_engine_skeleton_node_name(kx_engine* engine, size_t index) {
  const EngineSideRuntime* runtime = selected_runtime(engine);
  if (runtime == nullptr) return nullptr;
  const auto& names = runtime->kinematics->skeleton_node_names();
  return index < names.size() ? names[index].c_str() : nullptr;
}

int kx_engine_physics_enabled(kx_engine* engine) {
  const EngineSideRuntime* runtime = selected_runtime(engine);
  return runtime != nullptr && runtime->observer ? 1 : 0;
}

int64_t kx_engine_physics_step_count(kx_engine* engine) {
  const EngineSideRuntime* runtime = selected_runtime(engine);
  return runtime != nullptr && runtime->observer ? runtime->observer->step_count() : 0;
}

int kx_engine_physics_contact_count(kx_engine* engine) {
  const EngineSideRuntime* runtime = selected_runtime(engine);
  return runtime != nullptr && runtime->observer ? runtime->observer->contact_count() : 0;
}

int kx_engine_physics_actuator_count(kx_engine* engine) {
  const EngineSideRuntime* runtime = selected_runtime(engine);
  return runtime != nullptr && runtime->observer ? runtime->observer->actuator_count() : 0;
}

int kx_engine_physics_collision_geom_count(kx_engine* engine) {
  const EngineSideRuntime* runtime = selected_runtime(engine);
  return runtime != nullptr && runtime->observer ? runtime->observer->collision_geom_count() : 0;
}

const char* kx_engine_physics_model_path(kx_engine* engine) {
  const EngineSideRuntime* runtime = selected_runtime(engine);
  return runtime != nullptr && runtime->observer ? runtime->physics_model_path.c_str() : nullptr;
}

}  // extern "C"
