// The values of one glove line before units, hold and filters, and a reader for the line shape that gloves
// send all the time, which spares those lines the YAML library.
#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <vector>

namespace kelto::hand::runtime {

// How a fingertip sample gives its orientation.
enum class GloveOrientationForm { identity, rpy, quaternion };

// One fingertip sample in the line's own units: the position in micrometres, and roll, pitch and yaw in
// millidegrees (first three values) or a quaternion w, x, y, z in unit values or micro-units.
struct GloveSampleValues {
  bool valid = true;
  std::array<double, 3> position{};
  GloveOrientationForm orientation_form = GloveOrientationForm::identity;
  std::array<double, 4> orientation{};
};

// The samples of one pose line, in the order of the line.
struct GloveLineValues {
  bool quaternion_form = false;
  std::vector<GloveSampleValues> samples;
};

// The values of a pose line of the plain shape: one flow mapping of a pose type tag ("t" or "type") and one
// finger list ("fs", "fingers" or "fsq") whose items are lists of plain decimal numbers, long enough for
// their form, with an integer valid flag. Keys and the tag may be double-quoted as in JSON. Anything else,
// down to an unusual number or space, gives no value; such lines are for the YAML library to read, and every
// line read here gives the values the YAML library would.
std::optional<GloveLineValues> parse_glove_line(std::string_view line);

}  // namespace kelto::hand::runtime
