#include "runtime/mujoco_viewer.hpp"

#include <GLFW/glfw3.h>
#include <mujoco/mujoco.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <unordered_map>

#include "config/config.hpp"
#include "kinematics/model_cache.hpp"
#include "physics/dynamic_openxr_mjcf.hpp"
#include "physics/joint_actuators.hpp"

namespace kelto::hand::runtime {
namespace {

namespace fs = std::filesystem;

constexpr int kMinimumMujocoVersion = 310;
constexpr int kWindowWidth = 1000;
constexpr int kWindowHeight = 800;
constexpr int kMaxSceneGeoms = 2000;
constexpr std::int64_t kRenderIntervalNs = 33'000'000;

// Viewers holding a share of GLFW: the first share initialises it, giving back the last terminates it.
int window_users = 0;

std::int64_t steady_now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The model file the viewer loads: `model` itself, or the OpenXR-style hand personalised from the run's
// configuration and written to <cache dir>/<stem>_<side>.xml.
fs::path dynamic_openxr_xml(const fs::path& model, const fs::path& config_path,
                            const fs::path& bone_config_path, const std::string& side) {
  const Config config = Config::load(config_path, bone_config_path, side);
  const std::optional<std::string> xml = detail::personalised_openxr_mjcf(model, config, side);
  if (!xml) return model;
  const fs::path output =
      detail::dynamic_openxr_cache_dir() / (detail::dynamic_openxr_cache_stem(config) + "_" + side + ".xml");
  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot open MuJoCo cache file: " + output.string());
  out.write(xml->data(), static_cast<std::streamsize>(xml->size()));
  out.close();
  if (!out) {
    std::error_code ignored;
    fs::remove(output, ignored);  // a half-written model must not be picked up later
    throw std::runtime_error("cannot write MuJoCo cache file: " + output.string());
  }
  return output;
}

void keyboard(GLFWwindow* window, int key, int /*scancode*/, int action, int /*mods*/) {
  if (key == GLFW_KEY_ESCAPE && action == GLFW_PRESS) glfwSetWindowShouldClose(window, GLFW_TRUE);
}

}  // namespace

struct MujocoViewer::Impl {
  mjModel* model = nullptr;
  mjData* data = nullptr;
  GLFWwindow* window = nullptr;
  mjvCamera camera{};
  mjvOption option{};
  mjvScene scene{};
  mjrContext context{};
  bool physics = false;
  int steps_per_render = 1;
  bool reset_qvel = false;
  std::unordered_map<std::string, int> joint_qpos;
  std::unordered_map<std::string, int> joint_actuator;
  bool button_left = false;
  bool button_middle = false;
  bool button_right = false;
  double last_x = 0.0;
  double last_y = 0.0;
  std::int64_t last_render = 0;
  fs::path generated_model;
  bool holds_window_share = false;
  bool scene_made = false;
  bool context_made = false;

  Impl() = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
  ~Impl();

  void take_window_share();
  void open_window(const std::string& title);
  void map_names();
  void apply(const std::vector<std::string>& names, const std::vector<double>& values);
  void couple_joints();
  void render();

  static void mouse_button(GLFWwindow* window, int button, int action, int mods);
  static void cursor_position(GLFWwindow* window, double x, double y);
  static void scroll(GLFWwindow* window, double x_offset, double y_offset);
};

MujocoViewer::Impl::~Impl() {
  // The rendering context holds OpenGL objects of this window's context, so it is freed while that
  // context is current, before the window (and with it the context) goes.
  if (context_made && window != nullptr) {
    glfwMakeContextCurrent(window);
    mjr_freeContext(&context);
  }
  if (window != nullptr) glfwDestroyWindow(window);
  if (scene_made) mjv_freeScene(&scene);
  if (data != nullptr) mj_deleteData(data);
  if (model != nullptr) mj_deleteModel(model);
  if (holds_window_share && --window_users == 0) glfwTerminate();
  if (!generated_model.empty()) {
    std::error_code ignored;
    fs::remove(generated_model, ignored);
  }
}

void MujocoViewer::Impl::take_window_share() {
  if (window_users++ == 0 && glfwInit() != GLFW_TRUE) {
    --window_users;
    throw std::runtime_error("GLFW initialization failed");
  }
  holds_window_share = true;
}

void MujocoViewer::Impl::open_window(const std::string& title) {
  window = glfwCreateWindow(kWindowWidth, kWindowHeight, title.c_str(), nullptr, nullptr);
  if (window == nullptr) throw std::runtime_error("GLFW window creation failed");
  glfwMakeContextCurrent(window);
  glfwSwapInterval(0);
  glfwSetWindowUserPointer(window, this);
  glfwSetKeyCallback(window, keyboard);
  glfwSetMouseButtonCallback(window, mouse_button);
  glfwSetCursorPosCallback(window, cursor_position);
  glfwSetScrollCallback(window, scroll);

  mjv_defaultCamera(&camera);
  mjv_defaultOption(&option);
  mjv_defaultScene(&scene);
  mjr_defaultContext(&context);
  mjv_makeScene(model, &scene, kMaxSceneGeoms);
  scene_made = true;
  mjr_makeContext(model, &context, mjFONTSCALE_150);
  context_made = true;
  camera.type = mjCAMERA_FREE;
  mjv_defaultFreeCamera(model, &camera);
}

void MujocoViewer::Impl::map_names() {
  for (int j = 0; j < model->njnt; ++j) {
    if (const char* name = mj_id2name(model, mjOBJ_JOINT, j)) joint_qpos.emplace(name, model->jnt_qposadr[j]);
  }
  joint_actuator = detail::joint_actuators(*model);
}

void MujocoViewer::Impl::apply(const std::vector<std::string>& names, const std::vector<double>& values) {
  const std::size_t count = std::min(names.size(), values.size());
  for (std::size_t k = 0; k < count; ++k) {
    if (physics) {
      const auto actuator = joint_actuator.find(names[k]);
      if (actuator != joint_actuator.end()) {
        const int a = actuator->second;
        double control = values[k];
        if (model->actuator_ctrllimited[a]) {
          control = std::min(control, model->actuator_ctrlrange[2 * a + 1]);
          control = std::max(control, model->actuator_ctrlrange[2 * a]);
        }
        data->ctrl[a] = control;
        continue;
      }
    }
    const auto qpos = joint_qpos.find(names[k]);
    if (qpos != joint_qpos.end()) data->qpos[qpos->second] = values[k];
  }
}

// Joint equality constraints hold the first joint at a polynomial of the second.
void MujocoViewer::Impl::couple_joints() {
  for (int e = 0; e < model->neq; ++e) {
    if (model->eq_type[e] != mjEQ_JOINT) continue;
    const int first = model->eq_obj1id[e];
    const int second = model->eq_obj2id[e];
    if (first < 0 || first >= model->njnt || second < 0 || second >= model->njnt) continue;
    const mjtNum* c = model->eq_data + static_cast<std::size_t>(e) * mjNEQDATA;
    const mjtNum t = data->qpos[model->jnt_qposadr[second]];
    data->qpos[model->jnt_qposadr[first]] = c[0] + t * (c[1] + t * (c[2] + t * (c[3] + t * c[4])));
  }
}

void MujocoViewer::Impl::render() {
  const std::int64_t now = steady_now_ns();
  if (last_render != 0 && now - last_render < kRenderIntervalNs) return;
  last_render = now;
  // With several viewers the current context may belong to another window.
  glfwMakeContextCurrent(window);
  int width = 0;
  int height = 0;
  glfwGetFramebufferSize(window, &width, &height);
  mjv_updateScene(model, data, &option, nullptr, &camera, mjCAT_ALL, &scene);
  mjr_render(mjrRect{0, 0, width, height}, &scene, &context);
  glfwSwapBuffers(window);
}

void MujocoViewer::Impl::mouse_button(GLFWwindow* window, int button, int action, int /*mods*/) {
  auto* self = static_cast<Impl*>(glfwGetWindowUserPointer(window));
  if (self == nullptr) return;
  const auto pressed = [&](int which) {
    return which == button ? action == GLFW_PRESS : glfwGetMouseButton(window, which) == GLFW_PRESS;
  };
  self->button_left = pressed(GLFW_MOUSE_BUTTON_LEFT);
  self->button_middle = pressed(GLFW_MOUSE_BUTTON_MIDDLE);
  self->button_right = pressed(GLFW_MOUSE_BUTTON_RIGHT);
  glfwGetCursorPos(window, &self->last_x, &self->last_y);
}

void MujocoViewer::Impl::cursor_position(GLFWwindow* window, double x, double y) {
  auto* self = static_cast<Impl*>(glfwGetWindowUserPointer(window));
  if (self == nullptr || !(self->button_left || self->button_middle || self->button_right)) return;
  const double dx = x - self->last_x;
  const double dy = y - self->last_y;
  self->last_x = x;
  self->last_y = y;
  int width = 0;
  int height = 0;
  glfwGetWindowSize(window, &width, &height);
  height = std::max(height, 1);
  const bool shift = glfwGetKey(window, GLFW_KEY_LEFT_SHIFT) == GLFW_PRESS ||
                     glfwGetKey(window, GLFW_KEY_RIGHT_SHIFT) == GLFW_PRESS;
  int action = mjMOUSE_ZOOM;
  if (self->button_right) {
    action = shift ? mjMOUSE_MOVE_H : mjMOUSE_MOVE_V;
  } else if (self->button_left) {
    action = shift ? mjMOUSE_ROTATE_H : mjMOUSE_ROTATE_V;
  }
  mjv_moveCamera(self->model, action, dx / height, dy / height, &self->scene, &self->camera);
}

void MujocoViewer::Impl::scroll(GLFWwindow* window, double /*x_offset*/, double y_offset) {
  auto* self = static_cast<Impl*>(glfwGetWindowUserPointer(window));
  if (self == nullptr) return;
  mjv_moveCamera(self->model, mjMOUSE_ZOOM, 0.0, -0.05 * y_offset, &self->scene, &self->camera);
}

MujocoViewer::MujocoViewer(const fs::path& model, bool physics, int steps_per_render, bool reset_qvel,
                           int iterations, int ls_iterations, const fs::path& config_path,
                           const fs::path& bone_config_path, const std::string& side,
                           const std::string& title)
    : impl_(std::make_unique<Impl>()) {
  if (mj_version() < kMinimumMujocoVersion) {
    throw std::runtime_error(
        "native viewer requires MuJoCo 3.10 or newer (older C libraries do not include the STL decoder)");
  }
  const fs::path file =
      config_path.empty() ? model : dynamic_openxr_xml(model, config_path, bone_config_path, side);
  if (file != model) impl_->generated_model = file;

  char error[1024] = {};
  impl_->model = mj_loadXML(file.c_str(), nullptr, error, sizeof(error));
  if (impl_->model == nullptr) throw std::runtime_error(std::string("MuJoCo model load failed: ") + error);
  impl_->data = mj_makeData(impl_->model);
  if (impl_->data == nullptr) throw std::runtime_error("MuJoCo data allocation failed");

  impl_->take_window_share();
  impl_->open_window(title);

  impl_->physics = physics;
  impl_->steps_per_render = std::max(steps_per_render, 1);
  impl_->reset_qvel = reset_qvel;
  if (iterations > 0) impl_->model->opt.iterations = iterations;
  if (ls_iterations > 0) impl_->model->opt.ls_iterations = ls_iterations;
  impl_->map_names();

  mj_forward(impl_->model, impl_->data);
  if (physics) {
    // Start by holding the model's initial pose.
    for (const auto& [name, actuator] : impl_->joint_actuator) {
      const auto qpos = impl_->joint_qpos.find(name);
      if (qpos != impl_->joint_qpos.end()) impl_->data->ctrl[actuator] = impl_->data->qpos[qpos->second];
    }
  }
}

MujocoViewer::~MujocoViewer() = default;

MujocoObservation MujocoViewer::update(const std::vector<std::string>& names,
                                       const std::vector<double>& values) {
  MujocoObservation result;
  result.joints.assign(names.size(), 0.0);
  Impl& impl = *impl_;
  if (impl.window == nullptr || glfwWindowShouldClose(impl.window)) return result;

  impl.apply(names, values);
  impl.couple_joints();
  if (impl.physics) {
    if (impl.reset_qvel) mju_zero(impl.data->qvel, impl.model->nv);
    for (int step = 0; step < impl.steps_per_render; ++step) mj_step(impl.model, impl.data);
  } else {
    mj_forward(impl.model, impl.data);
  }

  for (std::size_t k = 0; k < names.size(); ++k) {
    const auto qpos = impl.joint_qpos.find(names[k]);
    if (qpos != impl.joint_qpos.end()) {
      result.joints[k] = impl.data->qpos[qpos->second];
    } else if (k < values.size()) {
      result.joints[k] = values[k];
    }
  }
  for (int c = 0; c < impl.data->ncon; ++c) {
    const mjContact& contact = impl.data->contact[c];
    const char* geom1 = mj_id2name(impl.model, mjOBJ_GEOM, contact.geom[0]);
    const char* geom2 = mj_id2name(impl.model, mjOBJ_GEOM, contact.geom[1]);
    result.contacts.push_back({geom1 ? geom1 : "", geom2 ? geom2 : "", contact.dist});
  }

  glfwPollEvents();
  impl.render();
  return result;
}

bool MujocoViewer::is_running() const {
  return impl_->window != nullptr && !glfwWindowShouldClose(impl_->window);
}

}  // namespace kelto::hand::runtime
