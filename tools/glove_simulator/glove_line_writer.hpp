// Glove line text: one fingertip sample per finger as the glove sends it over its serial line, a compact
// JSON object with a pose type tag. Positions go out in micrometres; orientations either as roll, pitch
// and yaw in millidegrees ("fs" items [valid, x, y, z, roll, pitch, yaw]) or as a unit quaternion in
// micro-units ("fsq" items [valid, x, y, z, w, qx, qy, qz]). All numbers are integers.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "retargeting/glove_feature_frame.hpp"

namespace kelto::hand::simulator {

enum class GloveLineFormat { rpy, quaternion };

// "rpy" or "quat"; anything else throws std::invalid_argument.
GloveLineFormat parse_glove_line_format(const std::string& text);
const char* glove_line_format_name(GloveLineFormat format);

// Kinds of broken or unusable lines a glove may send now and then.
enum class InvalidLineKind {
  truncated,          // a pose line cut off half way (not parseable)
  bad_number,         // a pose line with a coordinate that is not a number
  unknown_type,       // a status line of a type the program does not read
  sensors_not_valid,  // a well-formed pose line whose fingers are all flagged not valid
};
inline constexpr std::size_t kInvalidLineKindCount = 4;
// The kinds in turn: the n-th invalid line (counting from 0) is of this kind.
InvalidLineKind invalid_line_kind(std::size_t n);

// Roll, pitch and yaw (degrees) of a rotation: R = Rz(yaw) * Ry(pitch) * Rx(roll). At pitch +-90 degrees
// roll is taken as 0.
std::array<double, 3> rpy_deg_from_rotation(const std::array<double, 9>& rotation);
// Unit quaternion (w, x, y, z) of a rotation, with w >= 0.
std::array<double, 4> quaternion_from_rotation(const std::array<double, 9>& rotation);

// The line (without its line feed) for the local fingertip poses of `fingers`, in that order. A finger
// missing from the frame throws std::out_of_range.
std::string write_glove_line(const GloveFeatureFrame& frame, const std::vector<std::string>& fingers,
                             GloveLineFormat format);

// A line of the given invalid kind, made from the same frame.
std::string write_invalid_glove_line(InvalidLineKind kind, const GloveFeatureFrame& frame,
                                     const std::vector<std::string>& fingers, GloveLineFormat format);

}  // namespace kelto::hand::simulator
