// Reading, writing and dumping configuration values by dotted key.
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "config/config.hpp"
#include "support/test_files.hpp"

namespace kelto::hand {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A configuration holding exactly the given YAML (the loader's reserved keys removed).
Config config_from(const std::string& yaml) {
  test::TempDir dir;
  Config config = Config::load(test::write_file(dir / "config.yaml", yaml), {}, "");
  for (const char* key : {"__config_path__", "__config_dir__", "__resource_root__"}) config.remove(key);
  return config;
}

template <typename Call>
std::string error_text(Call&& call) {
  try {
    call();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no exception";
}

TEST(ConfigRead, WalksMappingsAndSequenceIndices) {
  const Config config = config_from("a: [10, 20, 30]\nm: {b: ~, s: text}\nn: {x: {y: 5}, list: [{k: 7}]}\n");
  const std::pair<const char*, double> found[] = {{"a.1", 20},   {"a. 2", 30},     {"a.+1", 20},
                                                  {"a.-0", 10},  {"a.001", 20},    {"n.x.y", 5},
                                                  {"n.x.y.", 5}, {"n.list.0.k", 7}};
  for (const auto& [key, value] : found) {
    EXPECT_TRUE(config.contains(key)) << key;
    EXPECT_EQ(config.number(key), value) << key;
  }
  for (const char* key : {"a.3", "a.-1", "a.x", "a.01x", "a.1 ", "a..1", ".a.1", "n.x.y..", "m.s.x", "m.b.c",
                          "a.1.x", "N.x.y", "a.18446744073709551616", "a.99999999999999999999999999"}) {
    EXPECT_FALSE(config.contains(key)) << key;
    EXPECT_THROW(config.number(key), std::out_of_range) << key;
    EXPECT_EQ(error_text([&] { config.string(key); }), std::string("Config key was not found: ") + key);
  }
  EXPECT_TRUE(config.contains(""));  // the root
  EXPECT_EQ(config.size(""), 3u);
  EXPECT_THROW(config.string(""), YAML::BadConversion);
  EXPECT_EQ(config.numbers("a."), (std::vector<double>{10, 20, 30}));
  EXPECT_TRUE(config.contains("m.b"));
  EXPECT_EQ(config.string("m.b"), "null");
}

TEST(ConfigRead, ConvertsOrFailsWithTheLibraryError) {
  const Config config = config_from(R"(
text: hello
flag: true
number: -2.5e-3
names: [thumb, ~, "3"]
values: [1, 2.5, -3]
mixed: [1, x]
map: {a: 1, b: 2}
nothing: ~
good: [[1, 2, 3], [4, 5, 6], [7, 8, 9]]
two_rows: [[1, 2, 3], [4, 5, 6]]
short_row: [[1, 2, 3], [4, 5], [7, 8, 9]]
scalar_row: [[1, 2, 3], 4, [7, 8, 9]]
flat: [1, 2, 3, 4, 5, 6, 7, 8, 9]
text_item: [[1, 2, 3], [4, x, 6], [7, 8, 9]]
)");
  EXPECT_EQ(config.string("number"), "-2.5e-3");
  EXPECT_TRUE(config.boolean("flag"));
  EXPECT_EQ(config.number("number"), -2.5e-3);
  EXPECT_EQ(config.strings("names"), (std::vector<std::string>{"thumb", "null", "3"}));
  EXPECT_EQ(config.numbers("values"), (std::vector<double>{1, 2.5, -3}));
  EXPECT_EQ(config.size("map"), 2u);
  EXPECT_EQ(config.size("values"), 3u);
  EXPECT_EQ(config.matrix3("good"), (std::array<double, 9>{1, 2, 3, 4, 5, 6, 7, 8, 9}));

  for (const char* key : {"text", "nothing"}) {
    EXPECT_EQ(error_text([&] { config.size(key); }),
              std::string("Expected a mapping or sequence at: ") + key);
  }
  for (const char* key : {"two_rows", "short_row", "scalar_row", "flat", "map", "text"}) {
    EXPECT_EQ(error_text([&] { config.matrix3(key); }), std::string("Expected a 3x3 matrix at: ") + key);
  }
  EXPECT_THROW(config.matrix3("text_item"), YAML::BadConversion);
  EXPECT_THROW(config.number("text"), YAML::BadConversion);
  EXPECT_THROW(config.boolean("text"), YAML::BadConversion);
  EXPECT_THROW(config.string("map"), YAML::BadConversion);
  EXPECT_THROW(config.strings("text"), YAML::BadConversion);
  EXPECT_THROW(config.numbers("mixed"), YAML::BadConversion);
  EXPECT_THROW(config.numbers("map"), YAML::BadConversion);
}

TEST(ConfigWrite, BuildsReplacesAndRejectsPaths) {
  const struct {
    const char* before;
    const char* key;
    const char* after;  // the dump after set_string(key, "v"), or the error text
  } cases[] = {
      {"{}", "x.y.z", "x:\n  y:\n    z: v"},
      {"x: 3\n", "x.y", "x:\n  y: v"},
      {"x: [1, 2]\n", "x.y", "x:\n  y: v"},
      {"a: [1, 2]\n", "a.0", "a:\n  0: v"},  // no indices when writing
      {"a: 1\nb: {c: 2}\nd: 3\n", "b", "a: 1\nb: v\nd: 3"},
      {"a: 1\nb: {c: 2}\n", "b.e", "a: 1\nb:\n  c: 2\n  e: v"},
      {"{}", "a..b", "a:\n  b: v"},
      {"b: 1\n", ".a", "b: 1\na: v"},
      {"a: 1\n", "", "Config path must not be empty"},
      {"a: 1\n", "a.", "Config path must not be empty"},
      {"a: 1\n", ".", "Config path must not be empty"},
      {"a: 1\n", "a...b", "Config path must not contain empty keys"},
      {"a: 1\n", ".b.c", "Config path must not contain empty keys"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    Config config = config_from(c.before);
    const std::string error = error_text([&] { config.set_string(c.key, "v"); });
    EXPECT_EQ(error == "no exception" ? config.dump_yaml() : error, c.after);
    if (error != "no exception") {
      EXPECT_EQ(error_text([&] { config.remove(c.key); }), error);
    }
  }
}

TEST(ConfigWrite, RemoveCreatesParentsButNeverFails) {
  Config config = config_from("a: 1\nb: {c: 2, d: 3}\n");
  config.remove("b.c");
  config.remove("b.missing");
  config.remove("p.q");
  config.remove("a");
  EXPECT_EQ(config.dump_yaml(), "b:\n  d: 3\np:\n  {}");
}

TEST(ConfigWrite, NumbersReadBackExactly) {
  Config config = config_from("{}");
  for (double value : {0.1, 1e-9, -0.0, 1.0 / 3.0, 123456789.123456789, 5e-324, 1.7e308, 1e17, kInf, -kInf}) {
    config.set_number("n.value", value);
    const double back = config.number("n.value");
    EXPECT_EQ(std::memcmp(&back, &value, sizeof value), 0) << config.string("n.value");
  }
  config.set_number("n.value", kNaN);
  EXPECT_TRUE(std::isnan(config.number("n.value")));

  config.set_vec3("v", {0.1, -2.0, 3e-9});
  EXPECT_EQ(config.numbers("v"), (std::vector<double>{0.1, -2.0, 3e-9}));
  const std::array<double, 9> m{0.1, 0.2, 0.3, -1, -2, -3, 1e-9, 1e9, 7};
  config.set_matrix3("rot", m);
  EXPECT_EQ(config.matrix3("rot"), m);
  EXPECT_EQ(config.numbers("rot.1"), (std::vector<double>{-1, -2, -3}));
  config.set_strings("names", {"thumb", "", "a: b"});
  EXPECT_EQ(config.strings("names"), (std::vector<std::string>{"thumb", "", "a: b"}));
  config.set_boolean("flag", false);
  EXPECT_FALSE(config.boolean("flag"));
}

TEST(ConfigDump, WritesSeventeenDigitsInBlockStyleAndLoadsBack) {
  Config config = config_from("flow: {a: [1, {b: c}]}\n");
  config.set_number("a", 0.1);
  config.set_number("b", 1e-9);
  config.set_number("c", 1.5);
  config.set_number("d", kNaN);
  config.set_number("e", kInf);
  config.set_number("f", -kInf);
  config.set_boolean("g", true);
  config.set_vec3("h", {1, 0.25, -3});
  config.set_matrix3("i", {1, 0, 0, 0, 1, 0, 0, 0, 1});
  config.set_strings("j", {"- x"});
  const std::string text = config.dump_yaml();
  EXPECT_EQ(
      text,
      "flow:\n  a:\n    - 1\n    - b: c\n"
      "a: 0.10000000000000001\nb: 1.0000000000000001e-09\nc: 1.5\nd: .nan\ne: .inf\nf: -.inf\ng: true\n"
      "h:\n  - 1\n  - 0.25\n  - -3\n"
      "i:\n  -\n    - 1\n    - 0\n    - 0\n  -\n    - 0\n    - 1\n    - 0\n  -\n    - 0\n    - 0\n    - 1\n"
      "j:\n  - \"- x\"");
  const Config again = config_from(text);
  EXPECT_EQ(again.dump_yaml(), text);
  EXPECT_EQ(again.number("a"), 0.1);
  EXPECT_EQ(again.number("f"), -kInf);
}

TEST(ConfigValue, CopiesAreIndependent) {
  Config a = config_from("x: 1\nnested: {list: [1, 2]}\n");
  Config b(a);
  b.set_number("x", 2.0);
  b.set_numbers("nested.list", {9});
  EXPECT_EQ(a.number("x"), 1.0);
  EXPECT_EQ(a.numbers("nested.list"), (std::vector<double>{1, 2}));

  Config c = config_from("other: 1\n");
  c = a;
  a.set_number("nested.y", 3.0);
  EXPECT_FALSE(c.contains("nested.y"));
  Config& self = c;
  c = self;
  EXPECT_EQ(c.number("x"), 1.0);

  Config d = std::move(b);
  EXPECT_EQ(d.number("x"), 2.0);
  b = c;  // a moved-from value may be assigned to again
  EXPECT_EQ(b.number("x"), 1.0);
}

}  // namespace
}  // namespace kelto::hand
