#include "physics/mujoco_physics_observer.hpp"

#include <mujoco/mujoco.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <system_error>
#include <unordered_map>

#include "config/config.hpp"
#include "physics/count_setting.hpp"
#include "physics/dynamic_openxr_mjcf.hpp"
#include "physics/joint_actuators.hpp"
#include "physics/mujoco_model_lookup.hpp"

namespace kelto::hand {
namespace {

constexpr int kMinimumMujocoVersion = 334;

}  // namespace

bool sdk_physics_enabled(const Config& config) {
  if (config.contains("kelto_sdk.physics_enabled")) return config.boolean("kelto_sdk.physics_enabled");
  if (config.contains("viewer.physics_enabled")) return config.boolean("viewer.physics_enabled");
  return false;
}

struct MujocoPhysicsObserver::Impl {
  mjModel* model = nullptr;
  mjData* data = nullptr;
  std::filesystem::path model_path;
  std::unordered_map<std::string, int> joint_qpos;
  std::unordered_map<std::string, int> joint_dof;
  std::unordered_map<std::string, int> joint_actuator;
  std::unordered_map<std::string, double> held;
  std::unordered_map<std::string, double> last_step;
  std::unordered_map<std::string, double> prev_command;
  std::unordered_map<std::string, double> command;
  int steps_per_render = 1;
  bool reset_qvel = false;
  std::int64_t step_count = 0;
  int contact_count = 0;
  int collision_geom_count = 0;
  int hold_frames = 0;
  bool contact_hold = false;
  bool limit_clamp = false;
  std::string joint_prefix;
  bool generated_model = false;

  Impl() = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  ~Impl() {
    if (data != nullptr) mj_deleteData(data);
    if (model != nullptr) mj_deleteModel(model);
    if (generated_model && !model_path.empty()) {
      std::error_code ignored;
      std::filesystem::remove(model_path, ignored);
    }
  }

  void load(const Config& config, const std::filesystem::path& config_path, const std::string& side);
  void map_names();
  void clamp_limited_joints();
  void hold_on_contact();
};

void MujocoPhysicsObserver::Impl::load(const Config& config, const std::filesystem::path& config_path,
                                       const std::string& side) {
  if (mj_version() < kMinimumMujocoVersion) {
    throw std::runtime_error("native physics requires MuJoCo 3.3.4 or newer");
  }
  const std::string hand_type = config.string("hand.type");
  contact_hold = hand_type == "zarv3";
  if (hand_type == "plekt5") {
    joint_prefix = side + "_viewer_";
    limit_clamp = true;
  }

  const std::filesystem::path found = detail::resolve_model(config, config_path, hand_type, side);
  model_path = detail::dynamic_openxr_model(found, config, side);
  generated_model = model_path != found;

  char error[1024] = "";
  model = mj_loadXML(model_path.c_str(), nullptr, error, sizeof(error));
  if (model == nullptr) throw std::runtime_error(std::string("MuJoCo model load failed: ") + error);
  data = mj_makeData(model);
  if (data == nullptr) throw std::runtime_error("MuJoCo data allocation failed");

  steps_per_render = count_setting(config, "viewer.physics_steps_per_render", 1);
  if (config.contains("viewer.physics_reset_qvel")) reset_qvel = config.boolean("viewer.physics_reset_qvel");
  model->opt.iterations = count_setting(config, "viewer.physics_iterations", model->opt.iterations);
  model->opt.ls_iterations = count_setting(config, "viewer.physics_ls_iterations", model->opt.ls_iterations);

  map_names();
  if (joint_actuator.empty()) {
    throw std::runtime_error("MuJoCo physics model has no joint actuators: " + model_path.string());
  }

  mj_forward(model, data);
  for (const auto& [name, actuator] : joint_actuator) {
    const auto qpos = joint_qpos.find(name);
    if (qpos == joint_qpos.end()) continue;
    const double q = data->qpos[qpos->second];
    data->ctrl[actuator] = q;
    held[name] = q;
    prev_command[name] = q;
    command[name] = q;
    last_step[name] = 0.0;
  }
}

void MujocoPhysicsObserver::Impl::map_names() {
  for (int j = 0; j < model->njnt; ++j) {
    const char* name = mj_id2name(model, mjOBJ_JOINT, j);
    if (name == nullptr) continue;
    joint_qpos.emplace(name, model->jnt_qposadr[j]);
    joint_dof.emplace(name, model->jnt_dofadr[j]);
  }
  joint_actuator = detail::joint_actuators(*model);
  for (int g = 0; g < model->ngeom; ++g) {
    if (model->geom_contype[g] != 0 && model->geom_conaffinity[g] != 0) ++collision_geom_count;
  }
}

void MujocoPhysicsObserver::Impl::clamp_limited_joints() {
  bool changed = false;
  for (int j = 0; j < model->njnt; ++j) {
    // A range bounds the single coordinate of a hinge or slide; a ball's range is an angle, not a
    // bound on its quaternion.
    const int type = model->jnt_type[j];
    if (model->jnt_limited[j] != 1 || (type != mjJNT_HINGE && type != mjJNT_SLIDE)) continue;
    mjtNum& q = data->qpos[model->jnt_qposadr[j]];
    const mjtNum low = model->jnt_range[2 * j];
    const mjtNum high = model->jnt_range[2 * j + 1];
    const mjtNum clamped = q < low ? low : (q > high ? high : q);
    if (clamped != q) {
      q = clamped;
      changed = true;
    }
  }
  if (changed) mj_forward(model, data);
}

void MujocoPhysicsObserver::Impl::hold_on_contact() {
  bool active = false;
  if (data->ncon >= 1) {
    hold_frames = 3;
    active = true;
  } else if (hold_frames >= 1) {
    active = hold_frames != 1;
    --hold_frames;
  }
  for (const auto& [name, actuator] : joint_actuator) {
    (void)actuator;
    const auto qpos = joint_qpos.find(name);
    const auto dof = joint_dof.find(name);
    if (qpos == joint_qpos.end() || dof == joint_dof.end()) continue;
    double b = data->qpos[qpos->second];
    const double g = held[name];
    const double d = command[name];
    double h = b - g;
    if (active) {
      const double diff = d - prev_command[name];
      const double m = std::abs(diff);
      const double bound = m + 0.01;
      const double o = std::clamp(0.35 * h, -bound, bound);
      const bool settle = m <= 0.002 && std::abs(o) <= 0.005 && o * last_step[name] < 0.0;
      const bool against_command = diff * o < 0.0 && m >= 5e-4;
      h = (settle || against_command) ? 0.0 : o;
      b = g + h;
      data->qpos[qpos->second] = b;
      data->qvel[dof->second] *= 0.35;
    }
    held[name] = b;
    last_step[name] = h;
    prev_command[name] = d;
  }
  if (active) mj_forward(model, data);
}

MujocoPhysicsObserver::Impl& MujocoPhysicsObserver::state() const {
  if (!impl_) throw std::logic_error("MujocoPhysicsObserver was moved from");
  return *impl_;
}

MujocoPhysicsObserver::MujocoPhysicsObserver(const Config& config, const std::filesystem::path& config_path,
                                             const std::string& side)
    : impl_(std::make_unique<Impl>()) {
  // A failure part way frees what was loaded and removes a model file generated for this observer.
  impl_->load(config, config_path, side);
}

MujocoPhysicsObserver::~MujocoPhysicsObserver() = default;
MujocoPhysicsObserver::MujocoPhysicsObserver(MujocoPhysicsObserver&&) noexcept = default;
MujocoPhysicsObserver& MujocoPhysicsObserver::operator=(MujocoPhysicsObserver&&) noexcept = default;

std::vector<double> MujocoPhysicsObserver::observe(const std::vector<std::string>& names,
                                                   const std::vector<double>& values) {
  Impl& s = state();
  std::vector<double> out = values;
  const std::size_t k = std::min(names.size(), values.size());
  std::vector<int> qpos_of(k, -1);
  for (std::size_t i = 0; i < k; ++i) {
    const std::string key = s.joint_prefix + names[i];
    const auto qpos = s.joint_qpos.find(key);
    if (qpos != s.joint_qpos.end()) qpos_of[i] = qpos->second;
    const auto actuator = s.joint_actuator.find(key);
    if (actuator != s.joint_actuator.end()) {
      const int a = actuator->second;
      double c = values[i];
      if (s.model->actuator_ctrllimited[a] == 1) {
        const double low = s.model->actuator_ctrlrange[2 * a];
        const double high = s.model->actuator_ctrlrange[2 * a + 1];
        if (c < low) {
          c = low;
        } else if (c > high) {
          c = high;
        }
      }
      s.data->ctrl[a] = c;
      s.command[key] = c;
    } else if (qpos_of[i] >= 0) {
      s.data->qpos[qpos_of[i]] = values[i];
    }
  }

  if (s.reset_qvel) std::fill(s.data->qvel, s.data->qvel + s.model->nv, 0.0);
  for (int step = 0; step < s.steps_per_render; ++step) {
    mj_step(s.model, s.data);
    ++s.step_count;
  }
  s.contact_count = s.data->ncon;
  if (s.limit_clamp) s.clamp_limited_joints();
  if (s.contact_hold) s.hold_on_contact();

  for (std::size_t i = 0; i < k; ++i) {
    if (qpos_of[i] >= 0) out[i] = s.data->qpos[qpos_of[i]];
  }
  return out;
}

const std::filesystem::path& MujocoPhysicsObserver::model_path() const {
  return state().model_path;
}
std::int64_t MujocoPhysicsObserver::step_count() const {
  return state().step_count;
}
int MujocoPhysicsObserver::contact_count() const {
  return state().contact_count;
}
int MujocoPhysicsObserver::actuator_count() const {
  const Impl& s = state();
  return s.model != nullptr ? s.model->nu : 0;
}
int MujocoPhysicsObserver::collision_geom_count() const {
  return state().collision_geom_count;
}

}  // namespace kelto::hand
