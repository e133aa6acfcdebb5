// The direct reader of plain glove lines against the YAML library: generated lines of every shape and
// randomly mutated ones give the same records (bit for bit), the same error texts and the same decoder
// state whichever way they are read.
#include "runtime/glove_line_parser.hpp"

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "glove_simulator/glove_line_writer.hpp"
#include "runtime/glove_decoder.hpp"
#include "support/test_files.hpp"

namespace kelto::hand::runtime {
namespace {

const std::vector<std::string> kFingers = {"thumb", "first", "middle", "ring", "little"};

// Two decoders of one configuration: one reads lines the usual way, the other by the YAML library only.
struct DecoderPair {
  std::unique_ptr<GloveDecoder> usual;
  std::unique_ptr<GloveDecoder> yaml;
};

DecoderPair make_pair(const std::string& fingers, const std::string& runtime) {
  kelto::test::TempDir dir;
  const Config config = Config::load(
      kelto::test::write_file(dir / "system.yaml", "retargeting: {finger_order: " + fingers + "}"), {}, "");
  const Config runtime_config = Config::load(kelto::test::write_file(dir / "config.yaml", runtime), {}, "");
  return {std::make_unique<GloveDecoder>(config, &runtime_config, KX_HAND_LEFT, "glove"),
          std::make_unique<GloveDecoder>(config, &runtime_config, KX_HAND_LEFT, "glove")};
}

// The record's bytes without its time and name view, which differ between decoders by nature.
std::vector<unsigned char> comparable_bytes(kx_engine_input record) {
  record.timestamp_s = 0.0;
  record.source_name = {nullptr, 0};
  std::vector<unsigned char> bytes(sizeof record);
  std::memcpy(bytes.data(), &record, sizeof record);
  return bytes;
}

void expect_same_outcome(DecoderPair& pair, const std::string& line) {
  const std::optional<kx_engine_input> usual = pair.usual->decode_line(line);
  const std::optional<kx_engine_input> yaml = pair.yaml->decode_yaml_line(line);
  ASSERT_EQ(usual.has_value(), yaml.has_value()) << line << "\n" << pair.yaml->last_error();
  ASSERT_EQ(pair.usual->last_error(), pair.yaml->last_error()) << line;
  if (!usual) return;
  ASSERT_EQ(comparable_bytes(*usual), comparable_bytes(*yaml)) << line;
}

// Feeds a line to both decoders, then a line of not-valid samples, which shows the held raw samples and
// the filters of both.
void expect_same(DecoderPair& pair, const std::string& line) {
  expect_same_outcome(pair, line);
  expect_same_outcome(pair,
                      "{t: p, fs: [[0, 0, 0, 0], [0, 0, 0, 0], [0, 0, 0, 0], [0, 0, 0, 0], [0, 0, 0, 0]]}");
}

// Finger orders with and without unused items, an unknown finger after a known one, biases and alphas.
std::vector<DecoderPair> decoder_pairs() {
  std::vector<DecoderPair> pairs;
  pairs.push_back(make_pair("[thumb, first, middle, ring, little]",
                            "glove: {position_filter_alpha: 0.4, orientation_filter_alpha: 0.3,"
                            " rpy_bias_deg: {first: [10, -20, 30], little: [0, 0, 90]}}"));
  pairs.push_back(make_pair("[middle, thumb]", "glove: {left: {position_filter_alpha: 1}}"));
  pairs.push_back(make_pair("[thumb, pinky]", "{}"));
  return pairs;
}

// Numbers that the YAML library reads differently from plain decimals, or not at all.
const char* const kOddNumbers[] = {"+5",     ".inf",   "-.inf",
                                   "+.inf",  ".nan",   ".NaN",
                                   "0x10",   "0o7",    "1_000",
                                   "\"5\"",  "'5'",    "x?",
                                   "~",      "null",   "",
                                   "1 2",    "1:2",    "- 1",
                                   "1#",     "1 #c",   "!!int 1",
                                   "*a",     "&a 1",   "1.5e3.2",
                                   "--1",    "1e5e5",  "true",
                                   "[1]",    "{}",     "1e400",
                                   "-1e400", "1e-400", "4e-320",
                                   "1e",     "1e+",    ".",
                                   "-",      "e5",     "1.7976931348623159e308"};

// Random glove lines: mostly the plain shape with plain numbers, now and then anything the YAML
// library reads differently or not at all.
class LineGenerator {
 public:
  explicit LineGenerator(unsigned seed) : random_(seed) {}

  // Half the lines are plain throughout (in any spacing the plain shape allows); the others mostly carry
  // an odd part or two.
  std::string line() {
    odd_ = chance(0.5);
    std::vector<std::string> entries;
    if (!odd(0.03)) entries.push_back(key(pick({"t", "t", "type"})) + tag());
    const bool quaternion = chance(0.5);
    const std::string list_key = quaternion ? "fsq" : pick({"fs", "fs", "fingers"});
    if (!odd(0.03)) entries.push_back(key(list_key) + list(quaternion));
    if (odd(0.03)) entries.push_back(key(pick({"fs", "fsq", "t", "ts", "\"x y\""})) + number());
    if (odd(0.03)) entries.push_back(key(pick({"fs", "fsq"})) + list(!quaternion));
    if (!entries.empty() && chance(0.3)) std::swap(entries.front(), entries.back());
    std::string text = space() + "{" + space();
    for (std::size_t i = 0; i < entries.size(); ++i) text += (i > 0 ? separator() : "") + entries[i];
    return text + space() + "}" + (odd(0.05) ? pick({"\t", " # note", "\r", "x", "}", ","}) : space());
  }

 private:
  bool chance(double p) { return std::uniform_real_distribution<double>(0.0, 1.0)(random_) < p; }
  bool odd(double p) { return odd_ && chance(p); }
  int between(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random_); }
  std::string pick(std::initializer_list<const char*> options) {
    return *(options.begin() + between(0, static_cast<int>(options.size()) - 1));
  }

  std::string space() {
    if (odd(0.01)) return pick({"\t", " \t"});
    return chance(0.7) ? "" : pick({" ", "  "});
  }
  std::string separator() {
    if (odd(0.005)) return pick({",,", ",\t", "\t,"});
    return pick({",", ", ", ", ", " ,", " , ", ",  "});
  }
  std::string key(const std::string& name) {
    if (chance(0.5)) return "\"" + name + "\"" + (odd(0.1) ? pick({" :", "  : "}) : pick({":", ": ", ":  "}));
    return name + (odd(0.1) ? pick({":", " : ", ":\t", " :"}) : pick({": ", ":  "}));
  }
  std::string tag() {
    if (odd(0.1)) {
      return pick({"x", "P", "null", "~", "'p'", "!!str p", "&a p", "p q", "\"p\\n\"", "[p]", "1", "", "\"\"",
                   "\"pose\" x", "po se"});
    }
    const std::string word = pick({"p", "pose", "o", "overview"});
    return chance(0.5) ? word : "\"" + word + "\"";
  }

  std::string integer() {
    const int digits = between(1, 8);
    std::string text = chance(0.4) ? "-" : "";
    text += std::to_string(between(digits == 1 ? 0 : 1, 9));
    for (int i = 1; i < digits; ++i) text += std::to_string(between(0, 9));
    return text;
  }
  // Plain decimals in all forms, and now and then a number the YAML library reads differently or not.
  std::string number() {
    if (odd(0.01)) return kOddNumbers[between(0, std::size(kOddNumbers) - 1)];
    if (chance(0.8)) return integer();
    return pick({"", "-"}) + pick({"1", "12", "0", "", "007", "98765432109876543210"}) +
           pick({".", ".5", ".25", ".000001", ""}) +
           pick({"e3", "E-3", "e+2", "e0", "", "", "e-300", "E+300"});
  }
  std::string flag() {
    if (odd(0.04)) {
      return pick({"1.0", "01", "00", "yes", "true", "\"1\"", "1e0", "+1", "0x1", "1234567890", "9999999999",
                   "", "08", "-"});
    }
    return pick({"1", "1", "1", "0", "2", "-1", "-0", "123456789"});
  }
  std::string item(bool quaternion) {
    if (odd(0.02)) {
      return pick({"{p: [1, 2, 3]}", "{v: no, p: [1, 2, 3], a: [1000, 2000, 3000]}",
                   "{valid: true, position: [4, 5, 6], quat: [0, 0, 0, 1]}", "7", "null", "[]", "{p: [1, 2]}",
                   "[[1, 2, 3, 4]]", "[1, 2, 3, 4],"});
    }
    // Eight values (quaternion form) or four or seven, sometimes more, and with odd lines any number.
    int count = quaternion ? (chance(0.2) ? 9 : 8) : (chance(0.3) ? 4 : chance(0.7) ? 7 : between(5, 8));
    if (odd(0.02)) count = between(1, 18);
    std::string text = "[" + space() + flag();
    for (int i = 1; i < count; ++i) text += separator() + value(quaternion, i);
    return text + space() + (odd(0.01) ? ",]" : "]");
  }
  // Quaternion values now and then as unit values or zero.
  std::string value(bool quaternion, int index) {
    if (quaternion && index >= 4 && chance(0.2))
      return pick({"0", "0.5", "-0.5", "1", "0.70710678", "1.5", "1.6"});
    return number();
  }
  std::string list(bool quaternion) {
    const int count = odd(0.05) ? between(0, 6) : 5;
    std::string text = "[" + space();
    for (int i = 0; i < count; ++i) text += (i > 0 ? separator() : "") + item(quaternion);
    return text + space() + "]";
  }

  std::mt19937 random_;
  bool odd_ = false;
};

// One byte replaced, removed or inserted, from characters that matter to the grammar or to numbers.
std::string mutate(std::string line, std::mt19937& random) {
  static const std::string kBytes = "0123456789-+.eE,[]{}:\"' #&*!?|>%@`\t\\xnaby~\x01\xff";
  const int edits = std::uniform_int_distribution<int>(1, 3)(random);
  for (int e = 0; e < edits && !line.empty(); ++e) {
    const std::size_t at = std::uniform_int_distribution<std::size_t>(0, line.size() - 1)(random);
    const char byte = kBytes[std::uniform_int_distribution<std::size_t>(0, kBytes.size() - 1)(random)];
    switch (std::uniform_int_distribution<int>(0, 2)(random)) {
      case 0:
        line[at] = byte;
        break;
      case 1:
        line.erase(at, 1);
        break;
      default:
        line.insert(at, 1, byte);
        break;
    }
  }
  return line;
}

// The lines the glove simulator writes for random fingertip poses, both forms.
std::vector<std::string> simulator_lines(int count) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> position(-0.2, 0.2), angle(-M_PI, M_PI);
  std::vector<std::string> lines;
  for (int k = 0; k < count; ++k) {
    GloveFeatureFrame frame;
    for (const std::string& finger : kFingers) {
      const double a = angle(random), b = angle(random);
      Pose& pose = frame.local_tips[finger];
      pose.position = {position(random), position(random), position(random)};
      pose.rotation = {std::cos(a),
                       -std::sin(a) * std::cos(b),
                       std::sin(a) * std::sin(b),
                       std::sin(a),
                       std::cos(a) * std::cos(b),
                       -std::cos(a) * std::sin(b),
                       0.0,
                       std::sin(b),
                       std::cos(b)};
    }
    for (const auto format : {simulator::GloveLineFormat::rpy, simulator::GloveLineFormat::quaternion}) {
      lines.push_back(simulator::write_glove_line(frame, kFingers, format));
    }
  }
  return lines;
}

TEST(GloveLineParser, SimulatorLinesAreReadDirectly) {
  for (const std::string& line : simulator_lines(20)) {
    const std::optional<GloveLineValues> values = parse_glove_line(line);
    ASSERT_TRUE(values.has_value()) << line;
    EXPECT_EQ(values->samples.size(), 5u);
  }
  const std::optional<GloveLineValues> values =
      parse_glove_line("{t: o, fsq: [[0, -1.5, 2e3, 7, 1, 0, 0, 0, 9]]}");
  ASSERT_TRUE(values.has_value());
  EXPECT_TRUE(values->quaternion_form);
  const GloveSampleValues& sample = values->samples.at(0);
  EXPECT_FALSE(sample.valid);
  EXPECT_EQ(sample.position, (std::array<double, 3>{-1.5, 2000.0, 7.0}));
  EXPECT_EQ(sample.orientation_form, GloveOrientationForm::quaternion);
  EXPECT_EQ(sample.orientation, (std::array<double, 4>{1.0, 0.0, 0.0, 0.0}));
}

// Lines of the plain shape with one part changed: numbers and flags at the edges of what is read directly,
// and spacing, keys and trailers that the YAML library reads otherwise.
TEST(GloveLineParser, EdgeLinesDecodeAsTheYamlLibraryReadsThem) {
  const std::string rest =
      ", [1, 10, 20, 30, 100, 200, 300], [0, 1, 2, 3], [1, 1, 1, 1, 0, 0, 0], [2, 5, 5, 5]";
  const std::string rest_q =
      ", [1, 1, 2, 3, 1, 0, 0, 0], [0, 1, 2, 3, 0, 1, 0, 0], [1, 4, 5, 6, 0.5, 0.5, 0.5, 0.5], "
      "[1, 0, 0, 0, 1, 0, 0, 0]";
  std::vector<std::string> lines;
  for (const char* item : {"[08, 1, 2, 3]",
                           "[01, 1, 2, 3]",
                           "[-0, 1, 2, 3]",
                           "[+1, 1, 2, 3]",
                           "[1.0, 1, 2, 3]",
                           "[0x1, 1, 2, 3]",
                           "[1234567890, 1, 2, 3]",
                           "[1, +5, 2, 3]",
                           "[1, 1e400, 2, 3]",
                           "[1, 1e-400, 2, 3]",
                           "[1, 4e-320, 2, 3]",
                           "[1, -0, .5, 5.]",
                           "[1, 007, 1E+3, -2.5e-3]",
                           "[1, .inf, 2, 3]",
                           "[1, .nan, 2, 3]",
                           "[1, 0x10, 2, 3]",
                           "[1, 1_000, 2, 3]",
                           "[1, \"5\", 2, 3]",
                           "[1, 98765432109876543210, 0.1, 2.2250738585072011e-308]",
                           "[1, 1.7976931348623157e308, 2, 3]",
                           "[1, 1.7976931348623159e308, 2, 3]",
                           "[1, 2, 3]",
                           "[1, 2, 3, 4,]",
                           "[1, 2, 3, 4, 5, 6]",
                           "[1, 2, 3, 4, 90000, 45000, -30000, 8, x]",
                           "[1, 2, 3, 4, 1e3, 2e3, 3e3, 4e3]",
                           "{p: [1, 2, 3]}",
                           "[1, 2 , 3 ,4]",
                           "[ 1,2,3,4 ]",
                           "[1, 2,\t3, 4]",
                           "[1, 2, 3, 4] ,"}) {
    lines.push_back("{t: p, fs: [" + std::string(item) + rest + "]}");
  }
  for (const char* item :
       {"[1, 0, 0, 0, 0, 0, 0, 0]", "[1, 0, 0, 0, 1.6, 0, 0, 1]", "[1, 0, 0, 0, 1.5, 0, 0, 1]",
        "[1, 0, 0, 0, 1, 0, 0]", "[1, 0, 0, 0, -707107, 0, 707107, 0, 5]", "[1, 0, 0, 0, 1e-12, 0, 0, 0]"}) {
    lines.push_back("{t: p, fsq: [" + std::string(item) + rest_q + "]}");
  }
  const std::string items = "[[1, 0, 0, 0]" + rest + "]";
  for (const std::string& text : {"{\"t\":\"p\",\"fs\":" + items + "}",
                                  "{t:p, fs: " + items + "}",
                                  "{\"t\" : \"p\", fs: " + items + "}",
                                  "{t : p, fs: " + items + "}",
                                  "{t: p, fs:" + items + "}",
                                  "{t: p, fs: " + items + "} # c",
                                  "{t: p, fs: " + items + "}\r",
                                  "{t: p, fs: " + items + "}}",
                                  "  { t: p , fs: " + items + " }  ",
                                  "{t: p, t: x, fs: " + items + "}",
                                  "{t: p, type: x, fs: " + items + "}",
                                  "{t: x, fs: " + items + "}",
                                  "{t: p, fsq: [], fs: " + items + "}",
                                  "{fingers: " + items + ", type: overview}",
                                  std::string("{t: p, fs: []}"),
                                  "{t: 'p', fs: " + items + "}",
                                  "{t: !!str p, fs: " + items + "}",
                                  "{t: p, fs: &a " + items + "}",
                                  "{t: p, fs: " + items + ", ts: 12}",
                                  "{t: p\t, fs: " + items + "}",
                                  "{\"t\":\"pose\"x, fs: " + items + "}",
                                  "{t: p, fs: " + items + ",}",
                                  "{t: p,, fs: " + items + "}"}) {
    lines.push_back(text);
  }
  std::vector<DecoderPair> pairs = decoder_pairs();
  for (const std::string& line : lines) {
    for (DecoderPair& pair : pairs) ASSERT_NO_FATAL_FAILURE(expect_same(pair, line));
  }
}

// Generated lines, every prefix of some of them, and the simulator's lines.
TEST(GloveLineParser, GeneratedLinesDecodeAsTheYamlLibraryReadsThem) {
  std::vector<DecoderPair> pairs = decoder_pairs();
  LineGenerator generator(2024);
  std::vector<std::string> lines;
  int direct = 0;
  for (int k = 0; k < 1000; ++k) {
    lines.push_back(generator.line());
    if (parse_glove_line(lines.back())) ++direct;
  }
  // The comparison means something only when both ways are taken often.
  EXPECT_GT(direct, 250);
  EXPECT_LT(direct, 750);
  for (int k = 0; k < 10; ++k) {
    const std::string line = lines[static_cast<std::size_t>(k) * 37];
    for (std::size_t n = 0; n < line.size(); n += 1 + k % 3) lines.push_back(line.substr(0, n));
  }
  for (const std::string& line : simulator_lines(5)) lines.push_back(line);
  for (const std::string& line : lines) {
    for (DecoderPair& pair : pairs) ASSERT_NO_FATAL_FAILURE(expect_same(pair, line));
  }
}

TEST(GloveLineParser, MutatedLinesDecodeAsTheYamlLibraryReadsThem) {
  std::vector<DecoderPair> pairs = decoder_pairs();
  std::mt19937 random(99);
  const std::vector<std::string> seeds = simulator_lines(20);
  int direct = 0;
  for (int k = 0; k < 2000; ++k) {
    const std::string line = mutate(seeds[static_cast<std::size_t>(k) % seeds.size()], random);
    if (parse_glove_line(line)) ++direct;
    for (DecoderPair& pair : pairs) ASSERT_NO_FATAL_FAILURE(expect_same(pair, line));
  }
  EXPECT_GT(direct, 200);
}

}  // namespace
}  // namespace kelto::hand::runtime
