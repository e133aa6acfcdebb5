#include "glove_simulator/simulated_glove.hpp"

#include <cmath>
#include <stdexcept>

#include "retargeting/tip_mapping_parameters.hpp"
#include "synthetic_glove/synthetic_glove.hpp"

namespace kelto::hand::simulator {
namespace {

constexpr double kDegToRad = 3.14159265358979323846 / 180.0;

void require_finite_non_negative(double value, const char* name) {
  if (!std::isfinite(value) || value < 0.0) {
    throw std::runtime_error(std::string(name) + " must be a finite number >= 0");
  }
}

}  // namespace

std::array<double, 9> mounting_rotation(double yaw_deg, double tilt_deg) {
  const double cy = std::cos(yaw_deg * kDegToRad), sy = std::sin(yaw_deg * kDegToRad);
  const double ct = std::cos(tilt_deg * kDegToRad), st = std::sin(tilt_deg * kDegToRad);
  // [cy -sy 0; sy cy 0; 0 0 1] * [ct 0 st; 0 1 0; -st 0 ct]
  return {cy * ct, -sy, cy * st, sy * ct, cy, sy * st, -st, 0.0, ct};
}

struct SimulatedGlove::Impl {
  Config config;
  std::string side;
  PinocchioHandKinematics kinematics;
  synthetic::SyntheticGlove glove;

  static synthetic::SyntheticGlove make_glove(const Config& config, const SimulatedGloveOptions& options) {
    TipMappingParameters params = TipMappingParameters::from_config(config, options.side);
    if (options.mount_yaw_deg || options.base_tilt_deg) {
      params.input_base_rotation_offset =
          mounting_rotation(options.mount_yaw_deg.value_or(0.0), options.base_tilt_deg.value_or(0.0));
    }
    synthetic::SyntheticGloveOptions glove_options;
    if (options.human_hand_scale) {
      if (!std::isfinite(*options.human_hand_scale) || *options.human_hand_scale <= 0.0) {
        throw std::runtime_error("human hand scale must be a finite number > 0");
      }
      glove_options.human_hand_scale = options.human_hand_scale;
    }
    require_finite_non_negative(options.noise_mm, "position noise");
    require_finite_non_negative(options.noise_deg, "rotation noise");
    glove_options.position_noise_m = options.noise_mm * 1e-3;
    glove_options.rotation_noise_rad = options.noise_deg * kDegToRad;
    glove_options.seed = options.seed;
    glove_options.source = "kelto_glove_simulator";
    glove_options.side = options.side;
    return synthetic::SyntheticGlove(std::move(params), std::move(glove_options));
  }

  Impl(Config loaded, const SimulatedGloveOptions& options)
      : config(std::move(loaded)),
        side(options.side),
        kinematics(config, options.side),
        glove(make_glove(config, options)) {}
};

namespace {

Config load_side_config(const SimulatedGloveOptions& options) {
  if (options.side != "left" && options.side != "right") {
    throw std::runtime_error("side must be left or right: " + options.side);
  }
  return Config::load(options.config, {}, options.side);
}

}  // namespace

SimulatedGlove::SimulatedGlove(const SimulatedGloveOptions& options)
    : impl_(std::make_unique<Impl>(load_side_config(options), options)) {}
SimulatedGlove::~SimulatedGlove() = default;
SimulatedGlove::SimulatedGlove(SimulatedGlove&&) noexcept = default;
SimulatedGlove& SimulatedGlove::operator=(SimulatedGlove&&) noexcept = default;

const Config& SimulatedGlove::config() const {
  return impl_->config;
}
const std::string& SimulatedGlove::side() const {
  return impl_->side;
}
const std::vector<std::string>& SimulatedGlove::finger_order() const {
  return impl_->glove.parameters().finger_order;
}
PinocchioHandKinematics& SimulatedGlove::kinematics() {
  return impl_->kinematics;
}

GloveFeatureFrame SimulatedGlove::frame(const std::vector<double>& q_active, double timestamp_s) {
  return impl_->glove.frame_from_active(impl_->kinematics, q_active, timestamp_s);
}

}  // namespace kelto::hand::simulator
