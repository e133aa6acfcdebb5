#include "runtime/glove_decoder.hpp"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <stdexcept>
#include <utility>

#include "runtime/glove_line_parser.hpp"

namespace kelto::hand::runtime {

namespace {

using Quaternion = std::array<double, 4>;  // w, x, y, z
using Vec3 = std::array<double, 3>;

constexpr double kDegToRad = 0.017453292519943295;
constexpr double kMinNorm = 1e-9;
constexpr double kMicro = 1000000.0;

const char* side_word(kx_hand_side side) {
  return side == KX_HAND_LEFT ? "left" : "right";
}

// A line that is not a glove sample of an accepted shape: skipped without an error text.
struct SilentReject {};

double quaternion_norm(const Quaternion& q) {
  const double norm = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  if (!std::isinf(norm)) return norm;
  // Components near the top of the double range: scale first so the squares do not overflow.
  double largest = 0.0;
  for (double c : q) largest = std::max(largest, std::abs(c));
  double sum = 0.0;
  for (double c : q) sum += (c / largest) * (c / largest);
  return largest * std::sqrt(sum);
}

Quaternion normalized(const Quaternion& q) {
  const double norm = quaternion_norm(q);
  if (!(norm > kMinNorm)) throw std::runtime_error("quaternion norm is too small");
  return {q[0] / norm, q[1] / norm, q[2] / norm, q[3] / norm};
}

// Hamilton product a ⊗ b.
Quaternion multiply(const Quaternion& a, const Quaternion& b) {
  return {a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3],
          a[0] * b[1] + a[1] * b[0] + a[2] * b[3] - a[3] * b[2],
          a[0] * b[2] - a[1] * b[3] + a[2] * b[0] + a[3] * b[1],
          a[0] * b[3] + a[1] * b[2] - a[2] * b[1] + a[3] * b[0]};
}

// Row-major rotation of a unit quaternion; its columns are the rotated x, y and z axes.
void write_rotation(const Quaternion& q, double* r) {
  const double w = q[0], x = q[1], y = q[2], z = q[3];
  r[0] = 1.0 - 2.0 * (y * y + z * z);
  r[1] = 2.0 * (x * y - w * z);
  r[2] = 2.0 * (x * z + w * y);
  r[3] = 2.0 * (x * y + w * z);
  r[4] = 1.0 - 2.0 * (x * x + z * z);
  r[5] = 2.0 * (y * z - w * x);
  r[6] = 2.0 * (x * z - w * y);
  r[7] = 2.0 * (y * z + w * x);
  r[8] = 1.0 - 2.0 * (x * x + y * y);
}

double read_alpha(const Config* runtime, const std::string& side, const std::string& name, double fallback) {
  double value = fallback;
  if (runtime != nullptr) {
    const std::string side_key = "glove." + side + "." + name;
    const std::string shared_key = "glove." + name;
    if (runtime->contains(side_key)) {
      value = runtime->number(side_key);
    } else if (runtime->contains(shared_key)) {
      value = runtime->number(shared_key);
    }
  }
  if (std::isnan(value)) return 1.0;
  return std::clamp(value, 0.0, 1.0);
}

// The configured roll, pitch and yaw bias of one finger, in degrees; no value without one.
std::optional<Vec3> read_bias(const Config& runtime, const std::string& side, const std::string& finger) {
  const std::string side_section = "glove." + side + ".rpy_bias_deg";
  std::vector<double> values;
  if (runtime.contains(side_section + "." + finger)) {
    values = runtime.numbers(side_section + "." + finger);
  } else if (runtime.contains(side_section)) {
    return std::nullopt;  // a side section replaces the shared values for all of its fingers
  } else if (runtime.contains("glove.rpy_bias_deg." + finger)) {
    values = runtime.numbers("glove.rpy_bias_deg." + finger);
  }
  if (values.empty()) return std::nullopt;
  if (values.size() != 3) throw std::runtime_error("rpy_bias_deg must contain 3 numbers");
  return Vec3{values[0], values[1], values[2]};
}

// The first of the keys whose value is present and not null.
YAML::Node first_present(const YAML::Node& map, std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    const YAML::Node value = map[key];
    if (value.IsDefined() && !value.IsNull()) return value;
  }
  return YAML::Node(YAML::NodeType::Undefined);
}

bool present(const YAML::Node& node) {
  return node.IsDefined() && !node.IsNull();
}

// A number from the line; values that would poison the filters are refused.
double finite_number(const YAML::Node& node) {
  const double value = node.as<double>();
  if (!std::isfinite(value)) throw std::runtime_error("glove sample contains a non-finite number");
  return value;
}

// N items of a sequence node, from item `from` on, as numbers.
template <std::size_t N>
std::array<double, N> finite_numbers(const YAML::Node& node, std::size_t from = 0) {
  std::array<double, N> values;
  for (std::size_t k = 0; k < N; ++k) values[k] = finite_number(node[from + k]);
  return values;
}

std::array<double, 3> read_position(const YAML::Node& node) {
  if (!node.IsSequence() || node.size() < 3) throw std::runtime_error("position must contain 3 numbers");
  return finite_numbers<3>(node);
}

// Orientation of a mapping item: roll-pitch-yaw when given as three or more numbers, else the quaternion,
// else the identity.
void read_orientation(const YAML::Node& rpy, const YAML::Node& quaternion, GloveSampleValues& sample) {
  if (rpy.IsDefined() && rpy.IsSequence() && rpy.size() >= 3) {
    const std::array<double, 3> angles = finite_numbers<3>(rpy);
    sample.orientation_form = GloveOrientationForm::rpy;
    std::copy(angles.begin(), angles.end(), sample.orientation.begin());
  } else if (present(quaternion)) {
    if (!quaternion.IsSequence() || quaternion.size() < 4) {
      throw std::runtime_error("quaternion must contain 4 numbers");
    }
    sample.orientation_form = GloveOrientationForm::quaternion;
    sample.orientation = finite_numbers<4>(quaternion);
  }
}

// The values of one finger item of a line read by the YAML library.
GloveSampleValues read_sample_values(const YAML::Node& item, bool quaternion_form) {
  GloveSampleValues sample;
  if (item.IsSequence()) {
    const std::size_t needed = quaternion_form ? 8 : 4;
    if (item.size() < needed) throw SilentReject{};
    sample.valid = item[0].as<int>() != 0;
    sample.position = finite_numbers<3>(item, 1);
    if (quaternion_form) {
      sample.orientation_form = GloveOrientationForm::quaternion;
      sample.orientation = finite_numbers<4>(item, 4);
    } else if (item.size() >= 7) {
      const std::array<double, 3> angles = finite_numbers<3>(item, 4);
      sample.orientation_form = GloveOrientationForm::rpy;
      std::copy(angles.begin(), angles.end(), sample.orientation.begin());
    }
    return sample;
  }
  if (item.IsMap()) {
    const YAML::Node valid = first_present(item, {"v", "valid"});
    sample.valid = valid.IsDefined() ? valid.as<bool>() : true;
    sample.position = read_position(first_present(item, {"p", "pos_milli_mm", "position"}));
    read_orientation(item["a"], first_present(item, {"u", "quat_micro", "quat"}), sample);
    return sample;
  }
  throw SilentReject{};
}

// w, x, y, z as unit values, or as micro-units when any of them is larger than 1.5 in magnitude.
Quaternion unit_quaternion(Quaternion q) {
  if (std::any_of(q.begin(), q.end(), [](double c) { return std::abs(c) > 1.5; })) {
    for (double& c : q) c /= kMicro;
  }
  return normalized(q);
}

struct Sample {
  bool valid = true;
  Vec3 position{};
  Quaternion orientation{1.0, 0.0, 0.0, 0.0};
};

// A sample in metres and as a unit quaternion.
Sample to_sample(const GloveSampleValues& values) {
  Sample sample;
  sample.valid = values.valid;
  for (std::size_t k = 0; k < 3; ++k) sample.position[k] = values.position[k] / kMicro;
  const std::array<double, 4>& o = values.orientation;
  if (values.orientation_form == GloveOrientationForm::rpy) {
    sample.orientation = quaternion_from_rpy_deg(o[0] / 1000.0, o[1] / 1000.0, o[2] / 1000.0);
  } else if (values.orientation_form == GloveOrientationForm::quaternion) {
    sample.orientation = unit_quaternion(o);
  }
  return sample;
}

void write_pose(const Vec3& position, const Quaternion& orientation, kx_pose& pose) {
  std::copy(position.begin(), position.end(), pose.position);
  write_rotation(orientation, pose.rotation);
}

// Runs one decoding step: its record, or no value with the error text of a failure.
template <typename Decode>
std::optional<kx_engine_input> guarded(std::string& last_error, Decode&& decode) {
  last_error.clear();
  try {
    return decode();
  } catch (const SilentReject&) {
    return std::nullopt;
  } catch (const std::exception& error) {
    last_error = error.what();
    return std::nullopt;
  }
}

}  // namespace

std::size_t glove_finger_index(const std::string& finger) {
  static const char* const kNames[] = {"thumb", "first", "middle", "ring", "little"};
  for (std::size_t i = 0; i < 5; ++i) {
    if (finger == kNames[i]) return i;
  }
  throw std::runtime_error("unsupported finger: " + finger);
}

std::array<double, 4> quaternion_from_rpy_deg(double roll, double pitch, double yaw) {
  const double hr = roll * kDegToRad / 2.0;
  const double hp = pitch * kDegToRad / 2.0;
  const double hy = yaw * kDegToRad / 2.0;
  const double cr = std::cos(hr), sr = std::sin(hr);
  const double cp = std::cos(hp), sp = std::sin(hp);
  const double cy = std::cos(hy), sy = std::sin(hy);
  return normalized({cr * cp * cy + sr * sp * sy, sr * cp * cy - cr * sp * sy, cr * sp * cy + sr * cp * sy,
                     cr * cp * sy - sr * sp * cy});
}

GloveDecoder::GloveDecoder(const Config& config, const Config* runtime_config, kx_hand_side side,
                           std::string name)
    : side_(side), name_(std::move(name)), finger_order_(config.strings("retargeting.finger_order")) {
  if (finger_order_.empty() || finger_order_.size() > 5) {
    throw std::runtime_error("retargeting.finger_order must contain 1 to 5 fingers");
  }
  const std::string side_text = side_word(side_);
  position_filter_alpha_ = read_alpha(runtime_config, side_text, "position_filter_alpha", 0.35);
  orientation_filter_alpha_ = read_alpha(runtime_config, side_text, "orientation_filter_alpha", 0.25);
  if (runtime_config == nullptr) return;
  for (const std::string& finger : finger_order_) {
    const std::optional<Vec3> bias = read_bias(*runtime_config, side_text, finger);
    if (!bias) continue;
    fingers_[glove_finger_index(finger)].bias_quaternion =
        quaternion_from_rpy_deg((*bias)[0], (*bias)[1], (*bias)[2]);
  }
}

GloveDecoder::~GloveDecoder() = default;

std::optional<kx_engine_input> GloveDecoder::decode_line(const std::string& line) {
  const std::optional<GloveLineValues> values = parse_glove_line(line);
  if (!values) return decode_yaml_line(line);
  return guarded(last_error_, [&]() -> std::optional<kx_engine_input> {
    if (values->samples.size() < finger_order_.size()) return std::nullopt;
    kx_engine_input record = start_record();
    for (std::size_t i = 0; i < finger_order_.size(); ++i) {
      add_sample(glove_finger_index(finger_order_[i]), values->samples[i], record);
    }
    return record;
  });
}

std::optional<kx_engine_input> GloveDecoder::decode_yaml_line(const std::string& line) {
  return guarded(last_error_, [&]() -> std::optional<kx_engine_input> {
    const YAML::Node document = YAML::Load(line);
    if (!document.IsMap()) return std::nullopt;

    const YAML::Node tag = first_present(document, {"t", "type"});
    if (!tag.IsDefined()) return std::nullopt;
    const std::string type = tag.as<std::string>();
    if (type != "p" && type != "pose" && type != "o" && type != "overview") return std::nullopt;

    const bool quaternion_form = document["fsq"].IsDefined();
    const YAML::Node list = quaternion_form ? document["fsq"] : first_present(document, {"fs", "fingers"});
    if (!list.IsDefined() || !list.IsSequence() || list.size() < finger_order_.size()) return std::nullopt;

    kx_engine_input record = start_record();
    for (std::size_t i = 0; i < finger_order_.size(); ++i) {
      const std::size_t index = glove_finger_index(finger_order_[i]);
      add_sample(index, read_sample_values(list[i], quaternion_form), record);
    }
    return record;
  });
}

kx_engine_input GloveDecoder::start_record() const {
  kx_engine_input record;
  std::memset(&record, 0, sizeof record);
  record.struct_size = sizeof(kx_engine_input);
  record.abi_version = KX_ABI_VERSION_MAJOR;
  record.source_name.data = name_.data();
  record.source_name.size = name_.size();
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  record.timestamp_s =
      static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) / 1e6;
  record.hand_side = side_;
  record.root.rotation[0] = record.root.rotation[4] = record.root.rotation[8] = 1.0;
  return record;
}

void GloveDecoder::add_sample(std::size_t index, const GloveSampleValues& values, kx_engine_input& record) {
  const Sample sample = to_sample(values);
  GloveFingerState& state = fingers_[index];

  Vec3 position = sample.position;
  Quaternion orientation = sample.orientation;
  if (hold_last_valid_ && !sample.valid && state.has_raw) {
    position = state.raw_position;
    orientation = state.raw_quaternion;
  } else {
    state.raw_position = position;
    state.raw_quaternion = orientation;
    state.has_raw = true;
  }

  if (!state.has_filtered) {
    state.filtered_position = position;
    state.filtered_quaternion = orientation;
  } else {
    const Quaternion& previous = state.filtered_quaternion;
    const double dot = orientation[0] * previous[0] + orientation[1] * previous[1] +
                       orientation[2] * previous[2] + orientation[3] * previous[3];
    if (dot < 0.0) {
      for (double& c : orientation) c = -c;
    }
    Quaternion blended;
    for (std::size_t k = 0; k < 4; ++k) {
      blended[k] = previous[k] + orientation_filter_alpha_ * (orientation[k] - previous[k]);
    }
    state.filtered_quaternion = normalized(blended);
    for (std::size_t k = 0; k < 3; ++k) {
      state.filtered_position[k] += position_filter_alpha_ * (position[k] - state.filtered_position[k]);
    }
  }
  state.has_filtered = true;

  const Quaternion output = normalized(multiply(state.filtered_quaternion, state.bias_quaternion));
  write_pose(state.filtered_position, output, record.local_tips[index]);
  write_pose(state.filtered_position, output, record.world_tips[index]);
  const std::uint32_t bit = 1u << index;
  record.local_tip_mask |= bit;
  record.world_tip_mask |= bit;
}

}  // namespace kelto::hand::runtime
