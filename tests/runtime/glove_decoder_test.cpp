// GloveDecoder: line grammar, units, hold, filters, biases and error texts.
#include "runtime/glove_decoder.hpp"

#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/test_files.hpp"

namespace kelto::hand::runtime {
namespace {

using Matrix = std::array<double, 9>;  // row-major

constexpr Matrix kIdentity = {1, 0, 0, 0, 1, 0, 0, 0, 1};
constexpr Matrix kRotX90 = {1, 0, 0, 0, 0, -1, 0, 1, 0};
constexpr Matrix kRotY90 = {0, 0, 1, 0, 1, 0, -1, 0, 0};
constexpr Matrix kRotZ90 = {0, -1, 0, 1, 0, 0, 0, 0, 1};
constexpr Matrix kRotZ180 = {-1, 0, 0, 0, -1, 0, 0, 0, 1};
constexpr Matrix kRotZ90X90 = {0, 0, 1, 1, 0, 0, 0, 1, 0};    // Rz(90)·Rx(90)
constexpr Matrix kRotX90Z90 = {0, -1, 0, 0, 0, -1, 1, 0, 0};  // Rx(90)·Rz(90)

// A decoder over the given finger order and, unless empty, runtime configuration text.
std::unique_ptr<GloveDecoder> make_decoder(const std::string& fingers = "[thumb]",
                                           const std::string& runtime = "", kx_hand_side side = KX_HAND_RIGHT,
                                           const std::string& name = "test") {
  kelto::test::TempDir dir;
  const std::string order = fingers.empty() ? "{}" : "{finger_order: " + fingers + "}";
  const Config config =
      Config::load(kelto::test::write_file(dir / "system.yaml", "retargeting: " + order), {}, "");
  if (runtime.empty()) return std::make_unique<GloveDecoder>(config, nullptr, side, name);
  const Config runtime_config = Config::load(kelto::test::write_file(dir / "config.yaml", runtime), {}, "");
  return std::make_unique<GloveDecoder>(config, &runtime_config, side, name);
}

kx_engine_input decode(GloveDecoder& decoder, const std::string& line) {
  const std::optional<kx_engine_input> record = decoder.decode_line(line);
  if (!record) throw std::runtime_error("line did not decode: " + decoder.last_error());
  return *record;
}

void expect_rotation(const kx_pose& pose, const Matrix& rotation) {
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(pose.rotation[i], rotation[i], 1e-6) << "rotation " << i;
}

// Lines that are not pose samples are skipped without an error text (""); malformed samples and bad
// configurations leave theirs.
TEST(GloveDecoder, RefusedLinesAndTheirErrorTexts) {
  const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
      {"[thumb]", "", "", ""},
      {"[thumb]", "", "{fs: [[1, 0, 0, 0]]}", ""},
      {"[thumb]", "", "{t: P, fs: [[1, 0, 0, 0]]}", ""},
      {"[thumb]", "", "{t: p, fs: null, fingers: null}", ""},
      {"[thumb, pinky]", "", "{t: p, fs: [[1, 0, 0, 0]]}", ""},  // fewer items; pinky refused only when used
      {"[thumb]", "", "{t: p, fsq: [[1, 0, 0, 0, 1, 0, 0]]}", ""},   // the quaternion form needs eight
      {"[thumb]", "", "{t: p, fsq: null, fs: [[1, 0, 0, 0]]}", ""},  // fsq wins even when null
      {"[thumb]", "", "{t: p, fs: [", "yaml-cpp: error at line 1"},
      {"[thumb]", "", "{t: p, fs: [[yes, 0, 0, 0]]}", "bad conversion"},
      {"[thumb]", "", "{t: p, fs: [{position: [1, 2]}]}", "position must contain 3 numbers"},
      {"[thumb]", "", "{t: p, fs: [{p: [0, 0, 0], u: [1, 0, 0]}]}", "quaternion must contain 4 numbers"},
      {"[thumb]", "", "{t: p, fsq: [[1, 0, 0, 0, 0, 0, 0, 0]]}", "quaternion norm is too small"},
      {"[pinky]", "", "{t: p, fs: [[1, 0, 0, 0]]}", "unsupported finger: pinky"},
      {"[thumb]", "", "{t: p, fs: [[1, .nan, 0, 0]]}", "glove sample contains a non-finite number"},
      {"[thumb]", "", "{t: p, fsq: [[1, 0, 0, 0, .inf, 0, 0, 1]]}",
       "glove sample contains a non-finite number"},
      {"[thumb, first, middle, ring, little, thumb]", "", "",
       "retargeting.finger_order must contain 1 to 5 fingers"},
      {"[thumb]", "glove: {right: {rpy_bias_deg: {thumb: [1, 2, 3, 4]}}}", "",
       "rpy_bias_deg must contain 3 numbers"},
  };
  for (const auto& [fingers, yaml, line, error] : cases) {
    SCOPED_TRACE(std::string(fingers) + " " + yaml + " " + line);
    std::string text;
    try {
      const auto decoder = make_decoder(fingers, yaml);
      decoder->decode_line("{t: p, fs: [{p: [1]}]}");  // leaves an error text behind
      EXPECT_FALSE(decoder->decode_line(line).has_value());
      text = decoder->last_error();
    } catch (const std::exception& e) {
      text = e.what();
    }
    if (*error == '\0') {
      EXPECT_EQ(text, "");
    } else {
      EXPECT_THAT(text, ::testing::HasSubstr(error));
    }
  }
}

TEST(GloveDecoder, UnitsOfEachForm) {
  const std::tuple<const char*, std::array<double, 3>, Matrix> cases[] = {
      {"{t: o, fs: [[1, 1000, 2000, 3000]]}", {0.001, 0.002, 0.003}, kIdentity},
      {"{t: p, fs: [[1, -500000, 0, 2500000, 0]]}", {-0.5, 0, 2.5}, kIdentity},  // five items: no angles
      {"{t: p, fs: [[1, 0, 0, 0, 90000, 0, 0]]}", {0, 0, 0}, kRotX90},
      {"{t: p, fs: [[1, 0, 0, 0, 0, 0, 90000]]}", {0, 0, 0}, kRotZ90},
      {"{t: p, fs: [[1, 0, 0, 0, 90000, 0, 90000]]}", {0, 0, 0}, kRotZ90X90},  // yaw first, then roll
      {"{t: p, fsq: [[1, 0, 0, 0, 707107, 707107, 0, 0]]}", {0, 0, 0}, kRotX90},
      {"{t: p, fsq: [[1, 0, 0, 0, 0, 0, 0, 1.2]]}", {0, 0, 0}, kRotZ180},
      {"{t: p, fsq: [[1, 0, 0, 0, 1, 0, 0, 0, 99]], fs: [[1, 5, 5, 5]]}", {0, 0, 0}, kIdentity},
      {"{t: pose, fs: [{p: [1000000, 0, 0]}]}", {1, 0, 0}, kIdentity},
      {"{t: p, fs: [{p: [0, 0, 0], a: [90000, 0, 0], u: [0, 0, 0, 1]}]}", {0, 0, 0}, kRotX90},  // a wins
      {"{t: p, fs: [{p: null, pos_milli_mm: [7, 8, 9], u: null, quat_micro: [707107, 0, 0, 707107]}]}",
       {7e-6, 8e-6, 9e-6},
       kRotZ90},
      {"{t: p, fs: [{position: [0, 0, 1000], quat: [0, 0, 0, 1]}]}", {0, 0, 0.001}, kRotZ180},
      {"{t: null, type: overview, fingers: [[0, 0, 0, 4000000]]}", {0, 0, 4}, kIdentity},
      {R"({"type": "pose", "fingers": [{"valid": true, "position": [1, 2, 3], "quat": [1, 0, 0, 0]}]})",
       {1e-6, 2e-6, 3e-6},
       kIdentity},
  };
  for (const auto& [line, position, rotation] : cases) {
    SCOPED_TRACE(line);
    const kx_engine_input record = decode(*make_decoder(), line);
    for (const kx_pose& pose : {record.local_tips[0], record.world_tips[0]}) {
      for (int i = 0; i < 3; ++i) EXPECT_NEAR(pose.position[i], position[i], 1e-12);
      expect_rotation(pose, rotation);
    }
  }
}

TEST(GloveDecoder, RecordHeaderSlotsAndZeroBytes) {
  const auto decoder = make_decoder("[little, middle]", "", KX_HAND_LEFT, "glove_left");
  // Item 0 belongs to the little finger, item 1 to the middle one, item 2 to nobody.
  const kx_engine_input record =
      decode(*decoder, "{t: p, fs: [[1, 1000000, 0, 0], [1, 0, 2000000, 0], junk]}");
  EXPECT_EQ(record.struct_size, 1104u);
  EXPECT_EQ(record.abi_version, 2u);
  EXPECT_EQ(std::string(record.source_name.data, record.source_name.size), "glove_left");
  EXPECT_EQ(record.hand_side, KX_HAND_LEFT);
  expect_rotation(record.root, kIdentity);
  EXPECT_EQ(record.local_tip_mask, 0b10100u);
  EXPECT_EQ(record.world_tip_mask, 0b10100u);
  EXPECT_EQ(record.world_tips[4].position[0], 1.0);
  EXPECT_EQ(record.local_tips[2].position[1], 2.0);
  // Every other byte, padding and the slots of fingers outside the order included, is zero.
  kx_engine_input rest = record;
  rest.struct_size = rest.abi_version = rest.local_tip_mask = rest.world_tip_mask = 0;
  rest.source_name = {nullptr, 0};
  rest.timestamp_s = 0;
  rest.hand_side = 0;
  rest.root = kx_pose{};
  for (int slot : {2, 4}) rest.local_tips[slot] = rest.world_tips[slot] = kx_pose{};
  const std::vector<unsigned char> zeros(sizeof rest, 0);
  EXPECT_EQ(std::memcmp(&rest, zeros.data(), sizeof rest), 0);
}

TEST(GloveDecoder, InvalidSamplesRepeatTheLastValidOne) {
  const std::tuple<const char*, double, Matrix> steps[] = {
      {"{t: p, fs: [[0, 5000000, 0, 0]]}", 5, kIdentity},  // a first sample is used even when invalid
      {"{t: p, fs: [[0, 6000000, 0, 0]]}", 5, kIdentity},
      {"{t: p, fs: [[2, 1000000, 0, 0, 0, 0, 90000]]}", 1, kRotZ90},  // any nonzero flag is valid
      {"{t: p, fs: [[0, 9000000, 0, 0, 90000, 0, 0]]}", 1, kRotZ90},
      {"{t: p, fs: [{v: no, p: [8000000, 0, 0]}]}", 1, kRotZ90},
      {"{t: p, fs: [{v: null, valid: yes, p: [2000000, 0, 0]}]}", 2, kIdentity},
      {"{t: p, fs: [{v: null, p: [3000000, 0, 0]}]}", 3, kIdentity},  // no flag: valid
      {"{t: p, fs: [{v: off, p: [7000000, 0, 0]}]}", 3, kIdentity},
  };
  // With both alphas 1 the output is the held sample itself.
  const auto decoder =
      make_decoder("[thumb]", "glove: {position_filter_alpha: 1, orientation_filter_alpha: 1}");
  for (const auto& [line, x, rotation] : steps) {
    SCOPED_TRACE(line);
    const kx_engine_input record = decode(*decoder, line);
    EXPECT_DOUBLE_EQ(record.local_tips[0].position[0], x);
    expect_rotation(record.local_tips[0], rotation);
  }
}

// Position alphas (side section first, clamped, NaN as 1) and the orientation blend toward the nearer sign.
TEST(GloveDecoder, Filters) {
  const std::tuple<const char*, kx_hand_side, double> positions[] = {
      {"", KX_HAND_RIGHT, 0.35},
      {"glove: {position_filter_alpha: 0.5, right: {position_filter_alpha: 0.8}}", KX_HAND_RIGHT, 0.8},
      {"glove: {position_filter_alpha: 2}", KX_HAND_RIGHT, 1.0},
      {"glove: {left: {position_filter_alpha: -0.5}}", KX_HAND_LEFT, 0.0},
      {"glove: {position_filter_alpha: .nan}", KX_HAND_RIGHT, 1.0},
  };
  for (const auto& [yaml, side, alpha] : positions) {
    SCOPED_TRACE(yaml);
    const auto decoder = make_decoder("[thumb]", yaml, side);
    decode(*decoder, "{t: p, fs: [[1, 0, 0, 0]]}");
    EXPECT_NEAR(decode(*decoder, "{t: p, fs: [[1, 0, 1000000, 0]]}").local_tips[0].position[1], alpha, 1e-12);
    EXPECT_NEAR(decode(*decoder, "{t: p, fs: [[1, 0, 1000000, 0]]}").local_tips[0].position[1],
                alpha + alpha * (1 - alpha), 1e-12);
  }
  // Normalised blend of the identity and 90° about z with weight 0.25, as an angle about z.
  const double c = std::cos(M_PI / 4), s = std::sin(M_PI / 4);
  const double blended = 2 * std::atan2(0.25 * s, 0.75 + 0.25 * c) * 180 / M_PI;
  const std::string q90 = "0.7071067811865476, 0, 0, 0.7071067811865476";
  const std::string minus_q90 = "-0.7071067811865476, 0, 0, -0.7071067811865476";
  const std::tuple<const char*, std::string, double> orientations[] = {
      {"", q90, blended},
      {"", minus_q90, blended},
      {"", "-1, 0, 0, 0", 0.0},
      {"glove: {orientation_filter_alpha: 1}", minus_q90, 90.0},
      {"glove: {right: {orientation_filter_alpha: 0}}", q90, 0.0},
  };
  for (const auto& [yaml, sample, yaw] : orientations) {
    SCOPED_TRACE(std::string(yaml) + " / " + sample);
    const auto decoder = make_decoder("[thumb]", yaml);
    decode(*decoder, "{t: p, fsq: [[1, 0, 0, 0, 1, 0, 0, 0]]}");
    const kx_pose pose = decode(*decoder, "{t: p, fsq: [[1, 0, 0, 0, " + sample + "]]}").local_tips[0];
    EXPECT_NEAR(std::atan2(pose.rotation[3], pose.rotation[0]) * 180 / M_PI, yaw, 1e-9);
  }
}

TEST(GloveDecoder, FailedLinesKeepEarlierFingersAndSpareTheFilter) {
  const auto decoder = make_decoder("[thumb, first]", "glove: {position_filter_alpha: 0.5}");
  decode(*decoder, "{t: p, fs: [[1, 0, 0, 0], [1, 0, 0, 0]]}");
  // The thumb moves to 0.5 before the first finger fails; the non-finite thumb sample changes nothing.
  EXPECT_FALSE(decoder->decode_line("{t: p, fs: [[1, 1000000, 0, 0], {p: [1]}]}"));
  EXPECT_FALSE(decoder->decode_line("{t: p, fs: [[1, .inf, 0, 0], [1, 0, 0, 0]]}"));
  const kx_engine_input record = decode(*decoder, "{t: p, fs: [[1, 1000000, 0, 0], [1, 0, 0, 0]]}");
  EXPECT_EQ(decoder->last_error(), "");
  EXPECT_DOUBLE_EQ(record.local_tips[0].position[0], 0.75);
  EXPECT_DOUBLE_EQ(record.local_tips[1].position[0], 0.0);
}

// A side section hides the shared biases; the bias turns the filtered orientation from the right.
TEST(GloveDecoder, Biases) {
  const std::string shared = "glove:\n  rpy_bias_deg:\n    first: [90, 0, 0]\n";
  const std::string sided = shared + "  right:\n    rpy_bias_deg:\n      thumb: [0, 0, 90]\n";
  const std::tuple<std::string, kx_hand_side, const char*, Matrix, Matrix> cases[] = {
      {shared, KX_HAND_RIGHT, "[1, 0, 0, 0]", kIdentity, kRotX90},
      {sided, KX_HAND_RIGHT, "[1, 0, 0, 0]", kRotZ90, kIdentity},
      {sided, KX_HAND_LEFT, "[1, 0, 0, 0]", kIdentity, kRotX90},
      {shared + "  right:\n    rpy_bias_deg: null\n", KX_HAND_RIGHT, "[1, 0, 0, 0]", kIdentity, kIdentity},
      {"glove: {rpy_bias_deg: {thumb: [], first: [0, 90, 0]}}", KX_HAND_RIGHT, "[1, 0, 0, 0]", kIdentity,
       kRotY90},
      {"glove: {rpy_bias_deg: {thumb: [0, 0, 90]}}", KX_HAND_RIGHT, "[1, 0, 0, 0, 90000, 0, 0]", kRotX90Z90,
       kRotX90},
  };
  for (const auto& [yaml, side, sample, thumb, first] : cases) {
    SCOPED_TRACE(yaml);
    const auto decoder = make_decoder("[thumb, first]", yaml, side);
    const kx_engine_input record =
        decode(*decoder, std::string("{t: p, fs: [") + sample + ", " + sample + "]}");
    expect_rotation(record.local_tips[0], thumb);
    expect_rotation(record.local_tips[1], first);
  }
}

}  // namespace
}  // namespace kelto::hand::runtime
