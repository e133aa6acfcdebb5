#include "synthetic_glove/synthetic_glove.hpp"

#include <cmath>
#include <stdexcept>

#include "kinematics/frame_math.hpp"
#include "kinematics/vec3.hpp"

namespace kelto::hand::synthetic {
namespace {

using detail::axis_angle;
using detail::column;
using detail::determinant;
using detail::kIdentity;
using detail::Mat3;
using detail::mul;
using detail::sub;
using detail::transpose;
using detail::Vec3;

Mat3 inverse(const Mat3& m) {
  const double det = determinant(m);
  if (!(std::abs(det) > 1e-12)) throw std::runtime_error("synthetic glove: tip mapping rotation is singular");
  const double k = 1.0 / det;
  return {k * (m[4] * m[8] - m[5] * m[7]), k * (m[2] * m[7] - m[1] * m[8]), k * (m[1] * m[5] - m[2] * m[4]),
          k * (m[5] * m[6] - m[3] * m[8]), k * (m[0] * m[8] - m[2] * m[6]), k * (m[2] * m[3] - m[0] * m[5]),
          k * (m[3] * m[7] - m[4] * m[6]), k * (m[1] * m[6] - m[0] * m[7]), k * (m[0] * m[4] - m[1] * m[3])};
}

}  // namespace

SyntheticGlove::SyntheticGlove(TipMappingParameters params, SyntheticGloveOptions options)
    : params_(std::move(params)), options_(std::move(options)), rng_(options_.seed) {}

GloveFeatureFrame SyntheticGlove::frame_from_state(const HandKinematicsState& state, double timestamp_s) {
  // Forward mapping: target = P + s * M * B * (R_f * o + p_f), target rotation = M * B * R_f * T.
  const Mat3 MB = mul(params_.rotation_matrix, params_.input_base_rotation_offset);
  const Mat3 MB_inv = inverse(MB);
  const double s = options_.human_hand_scale.value_or(params_.human_hand_scale);
  if (!(std::abs(s) > 1e-12)) throw std::runtime_error("synthetic glove: human hand scale must not be zero");
  std::normal_distribution<double> gauss(0.0, 1.0);

  GloveFeatureFrame frame;
  frame.source = options_.source;
  frame.timestamp_s = timestamp_s;
  frame.side = options_.side;
  for (const std::string& f : params_.finger_order) {
    const Vec3& t = state.tip_positions_wrist.at(f);
    const Mat3& Rt = state.tip_rotations_wrist.at(f);
    const auto offset_it = params_.input_tip_offset_local.find(f);
    const Vec3 o = offset_it == params_.input_tip_offset_local.end() ? Vec3{0, 0, 0} : offset_it->second;
    const auto rot_it = params_.input_tip_rotation_offset_local.find(f);
    const Mat3 T = rot_it == params_.input_tip_rotation_offset_local.end() ? kIdentity : rot_it->second;

    // Tip rotation: R_f * T follows MB^-1 * R_t (made orthonormal again when MB is no rotation).
    const Mat3 local_t = mul(MB_inv, Rt);
    const Mat3 RfT = build_rotation_from_xz(column(local_t, 0), column(local_t, 2));
    Mat3 Rf = mul(RfT, transpose(T));

    const Vec3 scaled{(t[0] - params_.palm_offset_local[0]) / s, (t[1] - params_.palm_offset_local[1]) / s,
                      (t[2] - params_.palm_offset_local[2]) / s};
    const Vec3 tip = mul(MB_inv, scaled);
    const Vec3 Ro = mul(Rf, o);
    Vec3 p = sub(tip, Ro);

    if (options_.position_noise_m > 0.0) {
      for (double& value : p) value += options_.position_noise_m * gauss(rng_);
    }
    if (options_.rotation_noise_rad > 0.0) {
      const Vec3 axis = normalize_vector({gauss(rng_), gauss(rng_), gauss(rng_)}, {1.0, 0.0, 0.0});
      Rf = mul(axis_angle(axis, options_.rotation_noise_rad * gauss(rng_)), Rf);
    }
    frame.local_tips[f] = Pose{p, Rf};
    frame.world_tips[f] = Pose{p, Rf};  // the glove root is the identity
  }
  return frame;
}

GloveFeatureFrame SyntheticGlove::frame_from_active(PinocchioHandKinematics& kinematics,
                                                    const std::vector<double>& q_active, double timestamp_s) {
  return frame_from_state(kinematics.state_from_active(q_active), timestamp_s);
}

GloveFeatureFrame SyntheticGlove::frame_from_full(PinocchioHandKinematics& kinematics,
                                                  const std::vector<double>& q_full, double timestamp_s) {
  return frame_from_active(kinematics, kinematics.active_from_full(q_full), timestamp_s);
}

}  // namespace kelto::hand::synthetic
