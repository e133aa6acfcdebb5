#include "glove_simulator/glove_line_writer.hpp"

#include <cmath>
#include <stdexcept>

namespace kelto::hand::simulator {
namespace {

constexpr double kRadToDeg = 180.0 / 3.14159265358979323846;

void append_integer(std::string& out, double value) {
  out += std::to_string(std::llround(value));
}

// "[valid,x,y,z,...]" for one finger in the glove's integer units.
void append_item(std::string& out, const Pose& pose, GloveLineFormat format, bool valid) {
  out += valid ? "[1" : "[0";
  for (double p : pose.position) {
    out += ',';
    append_integer(out, p * 1e6);
  }
  if (format == GloveLineFormat::rpy) {
    for (double a : rpy_deg_from_rotation(pose.rotation)) {
      out += ',';
      append_integer(out, a * 1e3);
    }
  } else {
    for (double q : quaternion_from_rotation(pose.rotation)) {
      out += ',';
      append_integer(out, q * 1e6);
    }
  }
  out += ']';
}

std::string pose_line(const GloveFeatureFrame& frame, const std::vector<std::string>& fingers,
                      GloveLineFormat format, bool valid) {
  std::string out = format == GloveLineFormat::rpy ? "{\"t\":\"p\",\"fs\":[" : "{\"t\":\"p\",\"fsq\":[";
  for (std::size_t i = 0; i < fingers.size(); ++i) {
    if (i > 0) out += ',';
    append_item(out, frame.local_tips.at(fingers[i]), format, valid);
  }
  out += "]}";
  return out;
}

}  // namespace

GloveLineFormat parse_glove_line_format(const std::string& text) {
  if (text == "rpy") return GloveLineFormat::rpy;
  if (text == "quat") return GloveLineFormat::quaternion;
  throw std::invalid_argument("line format must be rpy or quat: " + text);
}

const char* glove_line_format_name(GloveLineFormat format) {
  return format == GloveLineFormat::rpy ? "rpy" : "quat";
}

InvalidLineKind invalid_line_kind(std::size_t n) {
  return static_cast<InvalidLineKind>(n % kInvalidLineKindCount);
}

std::array<double, 3> rpy_deg_from_rotation(const std::array<double, 9>& m) {
  // R = Rz(yaw) Ry(pitch) Rx(roll): R20 = -sin(pitch), R21/R22 carry roll, R10/R00 carry yaw.
  const double cos_pitch = std::hypot(m[7], m[8]);
  const double pitch = std::atan2(-m[6], cos_pitch);
  double roll = 0.0;
  double yaw = 0.0;
  if (cos_pitch > 1e-9) {
    roll = std::atan2(m[7], m[8]);
    yaw = std::atan2(m[3], m[0]);
  } else {
    yaw = std::atan2(-m[1], m[4]);  // roll and yaw share one axis; all of it goes to yaw
  }
  return {roll * kRadToDeg, pitch * kRadToDeg, yaw * kRadToDeg};
}

std::array<double, 4> quaternion_from_rotation(const std::array<double, 9>& m) {
  const double trace = m[0] + m[4] + m[8];
  std::array<double, 4> q{};  // w, x, y, z
  if (trace > 0.0) {
    const double s = 2.0 * std::sqrt(trace + 1.0);
    q = {0.25 * s, (m[7] - m[5]) / s, (m[2] - m[6]) / s, (m[3] - m[1]) / s};
  } else if (m[0] > m[4] && m[0] > m[8]) {
    const double s = 2.0 * std::sqrt(1.0 + m[0] - m[4] - m[8]);
    q = {(m[7] - m[5]) / s, 0.25 * s, (m[1] + m[3]) / s, (m[2] + m[6]) / s};
  } else if (m[4] > m[8]) {
    const double s = 2.0 * std::sqrt(1.0 + m[4] - m[0] - m[8]);
    q = {(m[2] - m[6]) / s, (m[1] + m[3]) / s, 0.25 * s, (m[5] + m[7]) / s};
  } else {
    const double s = 2.0 * std::sqrt(1.0 + m[8] - m[0] - m[4]);
    q = {(m[3] - m[1]) / s, (m[2] + m[6]) / s, (m[5] + m[7]) / s, 0.25 * s};
  }
  const double norm = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  const double sign = q[0] < 0.0 ? -1.0 : 1.0;
  for (double& c : q) c *= sign / norm;
  return q;
}

std::string write_glove_line(const GloveFeatureFrame& frame, const std::vector<std::string>& fingers,
                             GloveLineFormat format) {
  return pose_line(frame, fingers, format, true);
}

std::string write_invalid_glove_line(InvalidLineKind kind, const GloveFeatureFrame& frame,
                                     const std::vector<std::string>& fingers, GloveLineFormat format) {
  switch (kind) {
    case InvalidLineKind::truncated: {
      const std::string line = pose_line(frame, fingers, format, true);
      return line.substr(0, line.size() / 2);
    }
    case InvalidLineKind::bad_number: {
      std::string line = pose_line(frame, fingers, format, true);
      // The first finger's x coordinate follows its valid flag "[1,".
      const std::size_t flag = line.find("[[1,");
      if (flag == std::string::npos) return line + "x?";
      const std::size_t start = flag + 4;
      return line.replace(start, line.find(',', start) - start, "\"x?\"");
    }
    case InvalidLineKind::unknown_type:
      return "{\"t\":\"s\",\"status\":\"ok\"}";
    case InvalidLineKind::sensors_not_valid: {
      // Sensors that lost tracking report zeros.
      GloveFeatureFrame zeros;
      for (const std::string& f : fingers) zeros.local_tips[f] = Pose{};
      return pose_line(zeros, fingers, format, false);
    }
  }
  throw std::invalid_argument("unknown invalid line kind");
}

}  // namespace kelto::hand::simulator
