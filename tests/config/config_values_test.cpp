// Reading, writing and dumping configuration values by dotted key.
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "support/test_files.hpp"

namespace kelto::hand {
namespace {

using test::TempDir;
using test::write_file;

// A configuration holding exactly the given YAML (the loader's reserved keys removed).
Config config_from(const std::string& yaml) {
  TempDir dir;
  Config config = Config::load(write_file(dir / "config.yaml", yaml), {}, "");
  config.remove("__config_path__");
  config.remove("__config_dir__");
  config.remove("__resource_root__");
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

constexpr const char* kReadTree = R"(a: [10, 20, 30]
m:
  b: ~
  s: text
n:
  x:
    y: 5
  list:
    - {k: 7}
)";

struct ReadCase {
  const char* key;
  std::optional<double> value;  // nothing: the key is not found
};

TEST(ConfigReadWalk, FindsOrRejectsKeys) {
  const Config config = config_from(kReadTree);
  const ReadCase cases[] = {
      {"a.0", 10.0},
      {"a.1", 20.0},
      {"a. 2", 30.0},  // leading blanks are admitted
      {"a.+1", 20.0},  // so is a sign
      {"a.-0", 10.0},
      {"a.001", 20.0},  // leading zeros are digits
      {"n.x.y", 5.0},
      {"n.x.y.", 5.0},  // one trailing dot adds no segment
      {"n.list.0.k", 7.0},
      {"a.3", std::nullopt},
      {"a.-1", std::nullopt},
      {"a.x", std::nullopt},
      {"a.01x", std::nullopt},
      {"a.1 ", std::nullopt},  // leftover characters
      {"a.18446744073709551616", std::nullopt},
      {"a.99999999999999999999999999", std::nullopt},
      {"a..1", std::nullopt},
      {".a.1", std::nullopt},
      {"n..x.y", std::nullopt},
      {"n.x.y..", std::nullopt},
      {"m.s.x", std::nullopt},
      {"m.b.c", std::nullopt},
      {"a.1.x", std::nullopt},
      {"N.x.y", std::nullopt},
      {"missing", std::nullopt},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.key);
    if (c.value) {
      EXPECT_TRUE(config.contains(c.key));
      EXPECT_EQ(config.number(c.key), *c.value);
    } else {
      EXPECT_FALSE(config.contains(c.key));
      try {
        config.number(c.key);
        ADD_FAILURE() << "expected not found";
      } catch (const std::out_of_range& error) {
        EXPECT_EQ(std::string(error.what()), std::string("Config key was not found: ") + c.key);
      }
    }
  }
}

TEST(ConfigReadWalk, EmptyKeyIsTheRootAndNullIsFound) {
  const Config config = config_from(kReadTree);
  EXPECT_TRUE(config.contains(""));
  EXPECT_EQ(config.size(""), 3u);
  EXPECT_THROW(config.string(""), YAML::BadConversion);
  EXPECT_EQ(config.numbers("a."), (std::vector<double>{10, 20, 30}));

  EXPECT_TRUE(config.contains("m.b"));
  EXPECT_EQ(config.string("m.b"), "null");
  EXPECT_FALSE(config.contains("m.b.c"));
}

TEST(ConfigReadWalk, EveryGetterReportsMissingKeys) {
  const Config config = config_from(kReadTree);
  const std::string expected = "Config key was not found: m.zz";
  EXPECT_EQ(error_text([&] { config.string("m.zz"); }), expected);
  EXPECT_EQ(error_text([&] { config.boolean("m.zz"); }), expected);
  EXPECT_EQ(error_text([&] { config.strings("m.zz"); }), expected);
  EXPECT_EQ(error_text([&] { config.numbers("m.zz"); }), expected);
  EXPECT_EQ(error_text([&] { config.size("m.zz"); }), expected);
  EXPECT_EQ(error_text([&] { config.matrix3("m.zz"); }), expected);
  EXPECT_THROW(config.matrix3("m.zz"), std::out_of_range);
}

TEST(ConfigGetters, ConvertValuesOrFailWithTheLibraryError) {
  const Config config = config_from(R"(
text: hello
flag: true
off: false
number: -2.5e-3
names: [thumb, ~, "3"]
values: [1, 2.5, -3]
mixed: [1, x]
map: {a: 1, b: 2}
empty_seq: []
)");
  EXPECT_EQ(config.string("text"), "hello");
  EXPECT_EQ(config.string("number"), "-2.5e-3");
  EXPECT_TRUE(config.boolean("flag"));
  EXPECT_FALSE(config.boolean("off"));
  EXPECT_DOUBLE_EQ(config.number("number"), -2.5e-3);
  EXPECT_EQ(config.strings("names"), (std::vector<std::string>{"thumb", "null", "3"}));
  EXPECT_EQ(config.numbers("values"), (std::vector<double>{1, 2.5, -3}));
  EXPECT_EQ(config.size("map"), 2u);
  EXPECT_EQ(config.size("values"), 3u);
  EXPECT_EQ(config.size("empty_seq"), 0u);

  EXPECT_THROW(config.number("text"), YAML::BadConversion);
  EXPECT_THROW(config.boolean("text"), YAML::BadConversion);
  EXPECT_THROW(config.string("map"), YAML::BadConversion);
  EXPECT_THROW(config.string("values"), YAML::BadConversion);
  EXPECT_THROW(config.strings("text"), YAML::BadConversion);
  EXPECT_THROW(config.strings("map"), YAML::BadConversion);
  EXPECT_THROW(config.numbers("mixed"), YAML::BadConversion);
  EXPECT_THROW(config.numbers("map"), YAML::BadConversion);
  EXPECT_EQ(error_text([&] { config.size("text"); }), "Expected a mapping or sequence at: text");
}

TEST(ConfigGetters, SizeRejectsNull) {
  const Config config = config_from("nothing: ~\n");
  EXPECT_EQ(error_text([&] { config.size("nothing"); }), "Expected a mapping or sequence at: nothing");
}

TEST(ConfigGetters, Matrix3IsRowMajorAndChecksItsShape) {
  const Config config = config_from(R"(
good: [[1, 2, 3], [4, 5, 6], [7, 8, 9]]
two_rows: [[1, 2, 3], [4, 5, 6]]
four_rows: [[1, 2, 3], [4, 5, 6], [7, 8, 9], [1, 1, 1]]
short_row: [[1, 2, 3], [4, 5], [7, 8, 9]]
scalar_row: [[1, 2, 3], 4, [7, 8, 9]]
flat: [1, 2, 3, 4, 5, 6, 7, 8, 9]
map: {a: 1, b: 2, c: 3}
text_item: [[1, 2, 3], [4, x, 6], [7, 8, 9]]
)");
  EXPECT_EQ(config.matrix3("good"), (std::array<double, 9>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  for (const char* key : {"two_rows", "four_rows", "short_row", "scalar_row", "flat", "map"}) {
    EXPECT_EQ(error_text([&] { config.matrix3(key); }), std::string("Expected a 3x3 matrix at: ") + key);
  }
  EXPECT_THROW(config.matrix3("text_item"), YAML::BadConversion);
}

TEST(ConfigWriteWalk, BuildsReplacesAndRejectsPaths) {
  struct Case {
    const char* name;
    const char* before;
    const char* key;
    const char* after;  // the dump after set_string(key, "v")
  };
  const Case cases[] = {
      {"creates parents", "{}", "x.y.z", "x:\n  y:\n    z: v"},
      {"replaces a scalar parent", "x: 3\n", "x.y", "x:\n  y: v"},
      {"replaces a sequence parent", "x: [1, 2]\n", "x.y", "x:\n  y: v"},
      {"replaces a null parent", "x: ~\n", "x.y", "x:\n  y: v"},
      {"digits are mapping keys", "a: [1, 2]\n", "a.0", "a:\n  0: v"},
      {"keeps the position of a replaced leaf", "a: 1\nb: {c: 2}\nd: 3\n", "b", "a: 1\nb: v\nd: 3"},
      {"appends a new leaf", "a: 1\nb: {c: 2}\n", "b.e", "a: 1\nb:\n  c: 2\n  e: v"},
      {"double dot before the leaf", "{}", "a..b", "a:\n  b: v"},
      {"leading dot is the root", "b: 1\n", ".a", "b: 1\na: v"},
      {"keys with blanks", "{}", "a b. c", "a b:\n  \" c\": v"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Config config = config_from(c.before);
    config.set_string(c.key, "v");
    EXPECT_EQ(config.dump_yaml(), c.after);
  }
}

TEST(ConfigWriteWalk, RejectsEmptyLeavesAndSegments) {
  const struct {
    const char* key;
    const char* message;
  } cases[] = {
      {"", "Config path must not be empty"},
      {"a.", "Config path must not be empty"},
      {"a.b.", "Config path must not be empty"},
      {".", "Config path must not be empty"},
      {"a...b", "Config path must not contain empty keys"},
      {".b.c", "Config path must not contain empty keys"},
      {"a..b.c", "Config path must not contain empty keys"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    Config config = config_from("a: 1\n");
    EXPECT_EQ(error_text([&] { config.set_number(c.key, 1.0); }), c.message);
    EXPECT_EQ(error_text([&] { config.remove(c.key); }), c.message);
    EXPECT_THROW(config.set_string(c.key, "x"), std::runtime_error);
  }
  // An empty leaf fails before anything changes.
  Config config = config_from("a: 1\n");
  EXPECT_THROW(config.set_string("a.", "x"), std::runtime_error);
  EXPECT_EQ(config.dump_yaml(), "a: 1");
}

TEST(ConfigWriteWalk, RemoveCreatesParentsButNeverFails) {
  Config config = config_from("a: 1\nb: {c: 2, d: 3}\n");
  config.remove("b.c");
  config.remove("b.missing");
  config.remove("p.q");
  config.remove("zz");
  EXPECT_EQ(config.dump_yaml(), "a: 1\nb:\n  d: 3\np:\n  {}");
  config.remove("a");
  EXPECT_FALSE(config.contains("a"));
}

TEST(ConfigSetters, ValuesReadBackExactly) {
  Config config = config_from("{}");
  const double values[] = {0.1,     1e-9,   1.5,  -0.0, 1.0 / 3.0, 123456789.123456789,     5e-324,
                           1.7e308, -2e-17, 1e16, 1e17, 0.0,       std::nextafter(1.0, 2.0)};
  for (double value : values) {
    SCOPED_TRACE(value);
    config.set_number("n.value", value);
    const double back = config.number("n.value");
    EXPECT_EQ(std::memcmp(&back, &value, sizeof value), 0) << config.string("n.value");
  }

  config.set_number("special.nan", std::numeric_limits<double>::quiet_NaN());
  config.set_number("special.inf", std::numeric_limits<double>::infinity());
  config.set_number("special.ninf", -std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(config.number("special.nan")));
  EXPECT_EQ(config.number("special.inf"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(config.number("special.ninf"), -std::numeric_limits<double>::infinity());

  config.set_boolean("flags.on", true);
  config.set_boolean("flags.off", false);
  EXPECT_TRUE(config.boolean("flags.on"));
  EXPECT_FALSE(config.boolean("flags.off"));
  EXPECT_EQ(config.string("flags.on"), "true");
  EXPECT_EQ(config.string("flags.off"), "false");

  config.set_strings("names", {"thumb", "", "a: b"});
  EXPECT_EQ(config.strings("names"), (std::vector<std::string>{"thumb", "", "a: b"}));
  config.set_strings("names", {});
  EXPECT_EQ(config.size("names"), 0u);

  config.set_vec3("v", {0.1, -2.0, 3e-9});
  EXPECT_EQ(config.numbers("v"), (std::vector<double>{0.1, -2.0, 3e-9}));

  const std::array<double, 9> m{0.1, 0.2, 0.3, -1, -2, -3, 1e-9, 1e9, 7};
  config.set_matrix3("rot", m);
  EXPECT_EQ(config.matrix3("rot"), m);
  EXPECT_EQ(config.numbers("rot.1"), (std::vector<double>{-1, -2, -3}));

  // A setter replaces collections by scalars and the reverse.
  config.set_number("rot", 2.0);
  EXPECT_EQ(config.number("rot"), 2.0);
  config.set_numbers("flags", {4.0});
  EXPECT_EQ(config.numbers("flags"), (std::vector<double>{4.0}));
}

TEST(ConfigDump, WritesNumbersWithSeventeenDigitsInBlockStyle) {
  Config config = config_from("{}");
  config.set_number("a", 0.1);
  config.set_number("b", 1e-9);
  config.set_number("c", 1.5);
  config.set_number("d", std::numeric_limits<double>::quiet_NaN());
  config.set_number("e", std::numeric_limits<double>::infinity());
  config.set_number("f", -std::numeric_limits<double>::infinity());
  config.set_boolean("g", true);
  config.set_vec3("h", {1, 0.25, -3});
  config.set_matrix3("i", {1, 0, 0, 0, 1, 0, 0, 0, 1});
  config.set_strings("j", {"x"});
  EXPECT_EQ(
      config.dump_yaml(),
      "a: 0.10000000000000001\n"
      "b: 1.0000000000000001e-09\n"
      "c: 1.5\n"
      "d: .nan\n"
      "e: .inf\n"
      "f: -.inf\n"
      "g: true\n"
      "h:\n  - 1\n  - 0.25\n  - -3\n"
      "i:\n  -\n    - 1\n    - 0\n    - 0\n  -\n    - 0\n    - 1\n    - 0\n  -\n    - 0\n    - 0\n    - 1\n"
      "j:\n  - x");
}

TEST(ConfigDump, DumpedTextLoadsBackToTheSameTree) {
  Config config = config_from("flow: {a: [1, 2], b: {c: d}}\nlist: [x, y]\n");
  config.set_number("n.tenth", 0.1);
  config.set_number("n.nan", std::numeric_limits<double>::quiet_NaN());
  config.set_string("s.colon", "a: b");
  config.set_string("s.dash", "- item");
  const std::string text = config.dump_yaml();
  EXPECT_EQ(text.find('{'), std::string::npos) << text;  // no flow style survives loading
  const Config again = config_from(text);
  EXPECT_EQ(again.dump_yaml(), text);
  EXPECT_EQ(again.number("n.tenth"), 0.1);
  EXPECT_TRUE(std::isnan(again.number("n.nan")));
  EXPECT_EQ(again.string("s.colon"), "a: b");
  EXPECT_EQ(again.string("s.dash"), "- item");
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
  EXPECT_EQ(c.number("x"), 1.0);

  Config& self = c;
  c = self;
  EXPECT_EQ(c.number("x"), 1.0);

  Config d = config_from("d: 1\n");
  d = std::move(b);
  EXPECT_EQ(d.number("x"), 2.0);
  b = c;  // a moved-from value may be assigned to again
  EXPECT_EQ(b.number("x"), 1.0);

  Config e(std::move(d));
  EXPECT_EQ(e.number("x"), 2.0);
}

}  // namespace
}  // namespace kelto::hand
