// A synthetic glove frame as the C interface's glove frame record.
#pragma once

#include <cstring>
#include <map>
#include <string>

#include "kelto_hand.h"
#include "retargeting/glove_feature_frame.hpp"

namespace kelto::hand::synthetic {

// Fills a kx_engine_input with every local and world fingertip of `frame`; `source` must outlive the
// record (the record only points at it).
inline kx_engine_input engine_input(const GloveFeatureFrame& frame, kx_hand_side side, double timestamp_s,
                                    const char* source) {
  static const std::map<std::string, unsigned> kSlots = {
      {"thumb", 0}, {"first", 1}, {"middle", 2}, {"ring", 3}, {"little", 4}};
  const auto copy = [](const Pose& pose, kx_pose& record) {
    std::memcpy(record.position, pose.position.data(), sizeof record.position);
    std::memcpy(record.rotation, pose.rotation.data(), sizeof record.rotation);
  };
  kx_engine_input input;
  std::memset(&input, 0, sizeof input);
  input.struct_size = sizeof input;
  input.abi_version = 2;
  input.source_name = kx_string_view{source, std::strlen(source)};
  input.timestamp_s = timestamp_s;
  input.hand_side = side;
  copy(frame.root, input.root);
  for (const auto& [finger, pose] : frame.local_tips) {
    input.local_tip_mask |= 1u << kSlots.at(finger);
    copy(pose, input.local_tips[kSlots.at(finger)]);
  }
  for (const auto& [finger, pose] : frame.world_tips) {
    input.world_tip_mask |= 1u << kSlots.at(finger);
    copy(pose, input.world_tips[kSlots.at(finger)]);
  }
  return input;
}

}  // namespace kelto::hand::synthetic
