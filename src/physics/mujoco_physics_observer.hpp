// MuJoCo simulation of one hand side that follows the engine's joint values and reports the simulated
// joints, the steps taken and the contacts.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kelto::hand {

class Config;

// "kelto_sdk.physics_enabled" when present, else "viewer.physics_enabled" when present, else false.
bool sdk_physics_enabled(const Config& config);

// A moved-from observer holds no simulation: every use but destruction and assignment throws
// std::logic_error.
class MujocoPhysicsObserver {
 public:
  // Finds the side's MJCF model (personalised for `dynamic_openxr_hand`), loads it and applies the
  // `viewer.physics_*` settings. Throws std::runtime_error on every failure.
  MujocoPhysicsObserver(const Config& config, const std::filesystem::path& config_path,
                        const std::string& side);
  ~MujocoPhysicsObserver();
  MujocoPhysicsObserver(MujocoPhysicsObserver&&) noexcept;
  MujocoPhysicsObserver& operator=(MujocoPhysicsObserver&&) noexcept;
  MujocoPhysicsObserver(const MujocoPhysicsObserver&) = delete;
  MujocoPhysicsObserver& operator=(const MujocoPhysicsObserver&) = delete;

  // Drives the actuators (or poses unactuated joints) towards `values`, steps the simulation and returns
  // `values` with every joint the model knows replaced by its simulated position.
  std::vector<double> observe(const std::vector<std::string>& names, const std::vector<double>& values);

  const std::filesystem::path& model_path() const;
  std::int64_t step_count() const;
  int contact_count() const;
  int actuator_count() const;
  int collision_geom_count() const;

 private:
  struct Impl;
  // The simulation; throws std::logic_error for a moved-from observer.
  Impl& state() const;

  std::unique_ptr<Impl> impl_;
};

}  // namespace kelto::hand
