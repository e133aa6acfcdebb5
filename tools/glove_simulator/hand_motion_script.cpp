#include "glove_simulator/hand_motion_script.hpp"

#include <cmath>
#include <stdexcept>

namespace kelto::hand::simulator {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Seconds for one move between poses and for a short and a long hold.
constexpr double kMove = 0.8;
constexpr double kShortHold = 0.3;
constexpr double kLongHold = 1.5;

bool has_pose(const PinocchioHandKinematics& kinematics, const std::string& name) {
  try {
    kinematics.pose_active(name);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void add(std::vector<MotionKeyframe>& frames, const PinocchioHandKinematics& kinematics,
         const std::string& pose, double hold_s) {
  frames.push_back(MotionKeyframe{pose, kinematics.pose_active(pose), kMove, hold_s});
}

void add_cycle(std::vector<MotionKeyframe>& frames, const PinocchioHandKinematics& kinematics) {
  for (int i = 0; i < 3; ++i) {
    add(frames, kinematics, "open", kShortHold);
    add(frames, kinematics, "fist", kShortHold);
  }
}

void add_pinches(std::vector<MotionKeyframe>& frames, const PinocchioHandKinematics& kinematics,
                 const std::vector<std::string>& finger_order) {
  for (const std::string& finger : finger_order) {
    if (finger == "thumb") continue;
    const std::string pose = "pinch_" + finger;
    if (!has_pose(kinematics, pose)) continue;
    add(frames, kinematics, "open", kShortHold);
    add(frames, kinematics, pose, kLongHold);
  }
}

void add_fist(std::vector<MotionKeyframe>& frames, const PinocchioHandKinematics& kinematics) {
  add(frames, kinematics, "open", kShortHold);
  add(frames, kinematics, "fist", 2.0 * kLongHold);
}

}  // namespace

MotionScriptKind parse_motion_script_kind(const std::string& text) {
  if (text == "cycle") return MotionScriptKind::cycle;
  if (text == "pinch") return MotionScriptKind::pinch;
  if (text == "fist") return MotionScriptKind::fist;
  if (text == "all") return MotionScriptKind::all;
  throw std::invalid_argument("script must be cycle, pinch, fist or all: " + text);
}

double HandMotionScript::period_s() const {
  double total = 0.0;
  for (const MotionKeyframe& frame : keyframes) total += frame.move_s + frame.hold_s;
  return total;
}

HandMotionScript make_motion_script(MotionScriptKind kind, const PinocchioHandKinematics& kinematics,
                                    const std::vector<std::string>& finger_order) {
  HandMotionScript script;
  if (kind == MotionScriptKind::cycle || kind == MotionScriptKind::all)
    add_cycle(script.keyframes, kinematics);
  if (kind == MotionScriptKind::pinch || kind == MotionScriptKind::all) {
    add_pinches(script.keyframes, kinematics, finger_order);
  }
  if (kind == MotionScriptKind::fist || kind == MotionScriptKind::all) add_fist(script.keyframes, kinematics);
  if (script.keyframes.empty()) {
    throw std::runtime_error("the pose library has no pinch_<finger> poses for the pinch script");
  }
  return script;
}

std::vector<double> sample_motion(const HandMotionScript& script, double t_s) {
  if (script.keyframes.empty()) throw std::invalid_argument("motion script has no keyframes");
  const double period = script.period_s();
  if (!(period > 0.0)) return script.keyframes.front().q_active;
  double t = std::isfinite(t_s) && t_s > 0.0 ? std::fmod(t_s, period) : 0.0;
  const std::size_t n = script.keyframes.size();
  for (std::size_t i = 0; i < n; ++i) {
    const MotionKeyframe& to = script.keyframes[i];
    if (t < to.move_s) {
      const MotionKeyframe& from = script.keyframes[(i + n - 1) % n];
      const double ease = 0.5 - 0.5 * std::cos(kPi * t / to.move_s);
      std::vector<double> q(to.q_active.size());
      for (std::size_t j = 0; j < q.size(); ++j) {
        q[j] = from.q_active[j] + ease * (to.q_active[j] - from.q_active[j]);
      }
      return q;
    }
    t -= to.move_s;
    if (t < to.hold_s) return to.q_active;
    t -= to.hold_s;
  }
  return script.keyframes.back().q_active;  // rounding at the very end of the period
}

}  // namespace kelto::hand::simulator
