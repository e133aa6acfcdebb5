// One glove sample as fingertip poses by finger.
#pragma once

#include <array>
#include <map>
#include <string>

namespace kelto::hand {

struct Pose {
  std::array<double, 3> position{0.0, 0.0, 0.0};
  std::array<double, 9> rotation{1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
};

struct GloveFeatureFrame {
  std::string source;
  double timestamp_s = 0.0;
  Pose root;
  std::map<std::string, Pose> world_tips;  // fingertips in world coordinates
  std::map<std::string, Pose> local_tips;  // fingertips relative to the glove root
  std::string side;
};

}  // namespace kelto::hand
