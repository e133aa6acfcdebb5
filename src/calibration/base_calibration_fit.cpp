#include "calibration/base_calibration_fit.hpp"

#include <algorithm>
#include <stdexcept>

#include "calibration/calibration_math.hpp"

namespace kelto::hand {

namespace cm = detail::calmath;

BaseCalibrationFit fit_base_calibration(const std::vector<CalibrationObservation>& observations,
                                        const std::array<double, 9>& mapping_rotation, double scale_base,
                                        std::optional<double> fixed_scale) {
  if (observations.empty()) throw std::runtime_error("Base calibration requires at least one observation");

  std::vector<cm::Vec3> mapped;
  mapped.reserve(observations.size());
  double total_weight = 0.0;
  cm::Vec3 sum_h{}, sum_t{};
  for (const CalibrationObservation& o : observations) {
    const cm::Vec3 s = cm::add(o.source_position, cm::mul(o.source_rotation, o.input_tip_offset_local));
    const cm::Vec3 h = cm::mul(mapping_rotation, s);
    mapped.push_back(h);
    total_weight += o.weight;
    sum_h = cm::add(sum_h, cm::scaled(h, o.weight));
    sum_t = cm::add(sum_t, cm::scaled(o.robot_target, o.weight));
  }
  const double denominator = std::max(total_weight, 1e-9);
  const cm::Vec3 mean_h = cm::scaled(sum_h, 1.0 / denominator);
  const cm::Vec3 mean_t = cm::scaled(sum_t, 1.0 / denominator);

  double covariance = 0.0, spread = 0.0;
  for (std::size_t i = 0; i < observations.size(); ++i) {
    const double w = observations[i].weight;
    const cm::Vec3 dh = cm::sub(mapped[i], mean_h);
    covariance += w * cm::dot(cm::sub(observations[i].robot_target, mean_t), dh);
    spread += w * cm::dot(dh, dh);
  }
  const double slope = covariance / std::max(spread, 1e-9);

  BaseCalibrationFit fit;
  fit.scale_delta = slope;
  fit.human_hand_scale = fixed_scale ? *fixed_scale : scale_base + slope;
  cm::Vec3 palm{};
  for (std::size_t i = 0; i < observations.size(); ++i) {
    const double w = observations[i].weight;
    palm = cm::add(
        palm,
        cm::scaled(cm::sub(observations[i].robot_target, cm::scaled(mapped[i], fit.human_hand_scale)), w));
  }
  fit.palm_offset_local = cm::scaled(palm, 1.0 / denominator);
  return fit;
}

}  // namespace kelto::hand
