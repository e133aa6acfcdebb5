// Scripted hand motions for the glove simulator: a looping sequence of named poses of the pose library,
// each reached by a smooth blend and then held.
#pragma once

#include <string>
#include <vector>

#include "kinematics/pinocchio_hand_kinematics.hpp"

namespace kelto::hand::simulator {

enum class MotionScriptKind { cycle, pinch, fist, all };

// "cycle", "pinch", "fist" or "all"; anything else throws std::invalid_argument.
MotionScriptKind parse_motion_script_kind(const std::string& text);

struct MotionKeyframe {
  std::string pose_name;
  std::vector<double> q_active;
  double move_s = 0.0;  // blend from the previous keyframe (the last one, for the first keyframe)
  double hold_s = 0.0;  // then held for this long
};

struct HandMotionScript {
  std::vector<MotionKeyframe> keyframes;

  // Length of one loop of the script.
  double period_s() const;
};

// The script of a kind over the poses of the hand's pose library:
// - cycle: open and close the hand (open, fist) three times;
// - pinch: from the open hand, each "pinch_<finger>" pose of the non-thumb fingers of `finger_order`
//   that the library has, in turn;
// - fist: close into a fist, hold it, open again;
// - all: cycle, then pinch, then fist.
// A pose the library lacks (other than an optional pinch pose) throws the model's error.
HandMotionScript make_motion_script(MotionScriptKind kind, const PinocchioHandKinematics& kinematics,
                                    const std::vector<std::string>& finger_order);

// The active joint vector at time `t_s` (looping; negative times count as 0). Between keyframes the
// vector follows a cosine ease from one pose to the next, so it starts and stops without a jump in speed.
std::vector<double> sample_motion(const HandMotionScript& script, double t_s);

}  // namespace kelto::hand::simulator
