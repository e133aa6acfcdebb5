// Turns the text lines of one glove stream into glove frame records for the engine and the calibrator.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "kelto_hand.h"

namespace kelto::hand::runtime {

struct GloveSampleValues;

// Per-finger state kept across lines. Quaternions are ordered w, x, y, z.
struct GloveFingerState {
  bool has_raw = false;
  bool has_filtered = false;
  std::array<double, 3> raw_position{};
  std::array<double, 4> raw_quaternion{1.0, 0.0, 0.0, 0.0};
  std::array<double, 3> filtered_position{};
  std::array<double, 4> filtered_quaternion{1.0, 0.0, 0.0, 0.0};
  std::array<double, 4> bias_quaternion{1.0, 0.0, 0.0, 0.0};
};

// One decoder per glove stream. Each line is a YAML (or JSON) flow mapping with a type tag and one
// fingertip sample per finger of `retargeting.finger_order`; positions come in micrometres, roll, pitch
// and yaw in millidegrees and quaternions as unit values or micro-units. Invalid samples repeat the
// finger's last valid one, and every finger is low-pass filtered and turned by its fixed bias.
//
// The records hand out a view of the decoder's name, so a decoder stays where it was built.
class GloveDecoder {
 public:
  // Reads the finger order from `config` and the filter alphas and roll-pitch-yaw biases from
  // `runtime_config` (`glove.<side>.*` before `glove.*`); a null runtime configuration keeps the defaults.
  GloveDecoder(const Config& config, const Config* runtime_config, kx_hand_side side, std::string name);
  ~GloveDecoder();
  GloveDecoder(const GloveDecoder&) = delete;
  GloveDecoder& operator=(const GloveDecoder&) = delete;
  GloveDecoder(GloveDecoder&&) = delete;
  GloveDecoder& operator=(GloveDecoder&&) = delete;

  // The record for one line, or no value. Lines of other types or shapes are skipped silently (empty
  // last_error); malformed values leave their text in last_error. Lines of the plain shape that gloves
  // send are read directly, all others by the YAML library, with the same records and texts.
  std::optional<kx_engine_input> decode_line(const std::string& line);

  // As decode_line, but every line is read by the YAML library.
  std::optional<kx_engine_input> decode_yaml_line(const std::string& line);

  // The text of the last rejected line; empty after a silent rejection or a decoded line.
  const std::string& last_error() const { return last_error_; }

 private:
  // A record with its header and no fingertips.
  kx_engine_input start_record() const;
  // Hold, filters and bias of the finger in slot `index` for one sample; writes its poses and mask bits.
  void add_sample(std::size_t index, const GloveSampleValues& values, kx_engine_input& record);

  kx_hand_side side_;
  std::string name_;
  std::vector<std::string> finger_order_;
  bool hold_last_valid_ = true;
  double position_filter_alpha_ = 0.35;
  double orientation_filter_alpha_ = 0.25;
  std::array<GloveFingerState, 5> fingers_{};
  std::string last_error_;
};

// Slot of a finger name: thumb 0, first 1, middle 2, ring 3, little 4; "unsupported finger: " otherwise.
std::size_t glove_finger_index(const std::string& finger);

// Unit quaternion (w, x, y, z) of yaw about z, then pitch about y, then roll about x, in degrees.
std::array<double, 4> quaternion_from_rpy_deg(double roll, double pitch, double yaw);

}  // namespace kelto::hand::runtime
