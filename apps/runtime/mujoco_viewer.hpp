// A window that shows one hand's MuJoCo model posed (or simulated) from the engine's joint values.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kelto::hand::runtime {

// Two geoms in contact: their names (empty for an unnamed geom) and MuJoCo's contact distance in metres,
// negative when they penetrate.
struct MujocoContact {
  std::string geom1;
  std::string geom2;
  double dist = 0.0;
};

// The outcome of one viewer update: one joint value per name passed in, and the contacts.
struct MujocoObservation {
  std::vector<double> joints;
  std::vector<MujocoContact> contacts;
};

// One GLFW window with MuJoCo's renderer. The first viewer of the process initialises GLFW and the last
// one destroyed terminates it. Escape or the window's close control stop the viewer. Not copyable; used
// from one thread.
class MujocoViewer {
 public:
  // Loads `model` (for the OpenXR-style hand with anthropometry, a personalised copy written to the
  // model cache from the configuration `config_path` with `bone_config_path`; skipped when `config_path`
  // is empty) and opens a 1000x800 window titled `title`. With `physics` the model's actuators follow the
  // joint values and the simulation steps `steps_per_render` times per update (at least 1), zeroing the
  // velocities first when `reset_qvel`; `iterations` and `ls_iterations` above 0 replace the model's
  // solver settings. Throws std::runtime_error on every failure, leaving nothing behind.
  MujocoViewer(const std::filesystem::path& model, bool physics, int steps_per_render, bool reset_qvel,
               int iterations, int ls_iterations, const std::filesystem::path& config_path,
               const std::filesystem::path& bone_config_path, const std::string& side,
               const std::string& title);
  ~MujocoViewer();
  MujocoViewer(const MujocoViewer&) = delete;
  MujocoViewer& operator=(const MujocoViewer&) = delete;

  // Applies the joint values (the common prefix of the two lists; unknown names are ignored), steps or
  // poses the model, handles window events and draws at most every 33 ms. Returns each named joint's
  // position (the given value for a name the model lacks, 0.0 when there is none) and the contacts; all
  // zeros, untouched, once the window is closing.
  MujocoObservation update(const std::vector<std::string>& names, const std::vector<double>& values);

  // True while the window has not been asked to close.
  bool is_running() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelto::hand::runtime
