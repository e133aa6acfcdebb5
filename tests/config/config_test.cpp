// The configuration store: loading (extends chains, merging, reserved keys, bone overlay), dotted key
// paths, value conversion, writing and dumping, and the error texts a caller sees.
#include "config/config.hpp"

#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "support/error_text.hpp"
#include "support/test_files.hpp"

namespace kelto::hand {
namespace {

namespace fs = std::filesystem;
using test::error_text;
using test::ScopedEnv;
using test::TempDir;
using test::write_file;
using Vec = std::vector<double>;

constexpr double kInf = std::numeric_limits<double>::infinity();
const char* const kReserved[] = {"__config_path__", "__config_dir__", "__resource_root__",
                                 "__bone_config_stem__"};

std::string resolved(const fs::path& path) {
  return fs::weakly_canonical(path).string();
}

// The dump without the reserved keys the loader adds.
std::string bare_dump(Config config) {
  for (const char* key : kReserved) config.remove(key);
  return config.dump_yaml();
}

// A configuration holding exactly the given YAML.
Config config_from(const std::string& yaml) {
  TempDir dir;
  Config config = Config::load(write_file(dir / "c.yaml", yaml), {}, "");
  for (const char* key : kReserved) config.remove(key);
  return config;
}

TEST(ConfigLoad, ChildMergesOverItsExtendsChain) {
  TempDir dir;
  write_file(dir / "a/base.yaml",
             "first: 1\nlist: [1, 2, 3]\ngone: {a: 1}\ndeep: {keep: 1, change: 2, inner: {x: 1, y: 2}}\n"
             "scalar: 5\nlast: end\n");
  write_file(dir / "a/b/middle.yaml", "extends: ../base.yaml\nlist: [7]\n");
  const fs::path child =
      write_file(dir / "c/child.yaml", "extends: " + (dir / "a/b/middle.yaml").string() +
                                           "\nadded: new\nlist: [9]\ngone: ~\n"
                                           "deep: {change: 3, inner: {y: 4, z: 5}, more: 6}\n"
                                           "scalar: {now: map}\n");
  const Config config = Config::load(child, {}, "");
  EXPECT_EQ(bare_dump(config),
            "first: 1\nlist:\n  - 9\ngone: ~\n"
            "deep:\n  keep: 1\n  change: 3\n  inner:\n    x: 1\n    y: 4\n    z: 5\n  more: 6\n"
            "scalar:\n  now: map\nlast: end\nadded: new");
  EXPECT_EQ(config.string("__config_path__"), resolved(child));
  EXPECT_EQ(config.string("__config_dir__"), resolved(dir / "c"));

  // Each file is normalised: repeated keys keep the first position and the last value, aliases become
  // independent copies, empty documents are empty mappings.
  const std::pair<const char*, const char*> normalised[] = {
      {"a: 1\nextends: ~\nb: 2\n", "a: 1\nb: 2"},
      {"a: 1\nb: {x: 1}\nc: 3\nb: {y: 2}\n", "a: 1\nb:\n  y: 2\nc: 3"},
      {"~\n", "{}"},
      {"a: &x {k: 1}\nb: *x\n", "a:\n  k: 1\nb:\n  k: 1"},
  };
  for (const auto& [text, dump] : normalised) EXPECT_EQ(config_from(text).dump_yaml(), dump) << text;
  Config aliased = config_from("a: &x {k: 1}\nb: *x\n");
  aliased.set_number("a.k", 2.0);
  EXPECT_EQ(aliased.number("b.k"), 1.0);

  // Hostile text fails with the parser's or converter's exceptions, never worse.
  EXPECT_THROW(config_from("a: [1, 2\nb: {\n"), YAML::ParserException);
  EXPECT_THROW(config_from("? [a]\n: v\n"), YAML::BadConversion);
  EXPECT_THROW(config_from("a: " + std::string(100000, '[')), YAML::Exception);
  EXPECT_THROW(config_from(std::string("a: \0\xff\xfe: [", 9)), YAML::Exception);
}

TEST(ConfigLoad, ResourceRootAndHomeExpansion) {
  TempDir dir;
  const fs::path root = fs::weakly_canonical(dir.path());
  fs::create_directories(root / "hands/foo/resources");
  const fs::path system = write_file(root / "hands/foo/foo_system.yaml", "hand: {type: foo}\n");
  EXPECT_EQ(Config::load(system, {}, "").string("__resource_root__"), root.string());
  const fs::path user = write_file(root / "users/me/overlay.yaml", "extends: " + system.string() + "\n");
  EXPECT_EQ(Config::load(user, {}, "").string("__resource_root__"), root.string());
  write_file(root / "x/hands/baz/resources", "");  // a file, not a directory
  EXPECT_FALSE(
      Config::load(write_file(root / "x/hands/baz/b.yaml", ""), {}, "").contains("__resource_root__"));

  TempDir home;
  write_file(home / "base.yaml", "from: home\n");
  ScopedEnv env("HOME", home.path().string());
  EXPECT_EQ(Config::load(write_file(dir / "child.yaml", "extends: ~/base.yaml\n"), {}, "").string("from"),
            "home");
  EXPECT_EQ(Config::load("~/base.yaml", {}, "").string("__config_path__"), resolved(home / "base.yaml"));
}

TEST(ConfigBoneOverlay, ReplacesTheMeasurementsOfTheChosenSide) {
  TempDir dir;
  const fs::path system =
      write_file(dir / "system.yaml",
                 "hand:\n  side: left\n  anthropometry: {enabled: false, palm_length_m: 0.1}\n"
                 "viewer:\n  anthropometry: {palm_length_m: 0.2}\nsolver: {x: 1}\n");
  const fs::path direct = write_file(
      dir / "d/user.bones.yaml", "left: {palm_length_m: 0.3}\nright: {palm_length_m: 0.4, enabled: false}\n");
  const fs::path nested = write_file(dir / "n/user.bones.yaml",
                                     "left: {anthropometry: {palm_length_m: 0.3}}\n"
                                     "right: {anthropometry: {palm_length_m: 0.4, enabled: false}}\n");
  const Config left = Config::load(system, direct, "");  // hand.side says left
  EXPECT_EQ(bare_dump(left),
            "hand:\n  side: left\n  anthropometry:\n    palm_length_m: 0.3\n    enabled: true\n"
            "viewer:\n  anthropometry:\n    palm_length_m: 0.3\n    enabled: true\nsolver:\n  x: 1");
  EXPECT_EQ(left.string("__bone_config_stem__"), "user.bones");
  const Config right = Config::load(system, direct, "right");
  EXPECT_EQ(right.number("hand.anthropometry.palm_length_m"), 0.4);
  EXPECT_FALSE(right.boolean("viewer.anthropometry.enabled"));
  for (const char* side : {"left", "right"}) {
    EXPECT_EQ(Config::load(system, direct, side).dump_yaml(), Config::load(system, nested, side).dump_yaml());
  }
  // Without a section for the side only the stem is added.
  const fs::path only_left = write_file(dir / "only_left.yaml", "left: {palm_length_m: 0.3}\n");
  EXPECT_EQ(Config::load(system, only_left, "right").dump_yaml(),
            Config::load(system, {}, "").dump_yaml() + "\n__bone_config_stem__: only_left");

  // The single form keeps separate viewer measurements; without them the viewer takes the hand's.
  const fs::path odd = write_file(dir / "odd.yaml", "hand: 3\nviewer: [1]\n");
  const fs::path both = write_file(dir / "both.yaml",
                                   "hand: {anthropometry: {anthropometry: {palm_length_m: 0.5}}}\n"
                                   "viewer: {anthropometry: {palm_length_m: 0.6, enabled: ~}}\n");
  EXPECT_EQ(bare_dump(Config::load(odd, both, "")),
            "hand:\n  anthropometry:\n    palm_length_m: 0.5\n    enabled: true\n"
            "viewer:\n  anthropometry:\n    palm_length_m: 0.6\n    enabled: ~");
  const fs::path hand_only = write_file(dir / "hand_only.yaml", "hand: {anthropometry: {k: 7}}\n");
  EXPECT_EQ(Config::load(odd, hand_only, "").number("viewer.anthropometry.k"), 7.0);

  // The side: the argument, else hand.side, else hand.default_side, else right.
  const fs::path bones =
      write_file(dir / "bones.yaml", "left: {palm_length_m: 1}\nright: {palm_length_m: 2}\n");
  const std::tuple<const char*, const char*, double> sides[] = {
      {"hand: {side: left}\n", "right", 2},
      {"hand: {side: left, default_side: right}\n", "", 1},
      {"hand: {side: '', default_side: left}\n", "", 1},
      {"a: 1\n", "", 2},
  };
  for (const auto& [text, side, palm] : sides) {
    EXPECT_EQ(Config::load(write_file(dir / "s.yaml", text), bones, side)
                  .number("hand.anthropometry.palm_length_m"),
              palm)
        << text << side;
  }
}

// The store's error texts, one row per failure class.
TEST(ConfigErrors, TextsCallersSee) {
  TempDir dir;
  const fs::path system = write_file(dir / "system.yaml", "hand: {side: left}\n");
  const fs::path ping = write_file(dir / "ping.yaml", "extends: pong.yaml\n");
  write_file(dir / "pong.yaml", "extends: ping.yaml\n");
  const fs::path loop = write_file(dir / "loop.yaml", "a: &x [1, *x]\n");
  // Seven levels of ten aliases each would expand to ten million nodes.
  std::string nested = "l0: &l0 [x, x, x, x, x, x, x, x, x, x]\n";
  for (int level = 1; level <= 6; ++level) {
    const std::string alias = "*l" + std::to_string(level - 1);
    nested += "l" + std::to_string(level) + ": &l" + std::to_string(level) + " [" + alias;
    for (int item = 1; item < 10; ++item) nested += ", " + alias;
    nested += "]\n";
  }
  const fs::path bomb = write_file(dir / "bomb.yaml", nested);
  const fs::path child = write_file(dir / "child.yaml", "extends: ~/base.yaml\n");
  const Config values = config_from("text: t\nrows: [[1, 2, 3], [4, 5]]\n");
  const auto load = [](const fs::path& file, const fs::path& bones = {}, const std::string& side = "") {
    return [=] { Config::load(file, bones, side); };
  };
  int files = 0;  // each row reads its own bone file
  const auto bones = [&](const std::string& text) {
    return write_file(dir / ("bones" + std::to_string(++files) + ".yaml"), text);
  };
  const auto set = [&](const std::string& key) {
    return [=] { config_from("a: 1\n").set_string(key, "v"); };
  };
  const std::string no_bones = "bone_config must contain left/right calibration data or hand.anthropometry";
  const std::vector<std::pair<std::function<void()>, std::string>> rows = {
      {load(write_file(dir / "seq.yaml", "- 1\n")),
       "Config root must be a mapping: " + resolved(dir / "seq.yaml")},
      {load(ping), "Config extends cycle detected at: " + resolved(ping)},
      {load(write_file(dir / "to_missing.yaml", "extends: nowhere/x.yaml\n")),
       "Config file was not found: " + resolved(dir / "nowhere/x.yaml")},
      {load(system, dir / "absent.yaml"), "Config file was not found: " + resolved(dir / "absent.yaml")},
      // A self-containing alias would otherwise be copied without end.
      {load(loop), "Config alias refers to a node that contains it: " + resolved(loop)},
      {load(bomb), "Config aliases expand to more than 1000000 nodes: " + resolved(bomb)},
      {load(write_file(dir / "named.yaml", "extends: ~user/base.yaml\n")),
       "Config file was not found: " + resolved(dir / "~user/base.yaml")},  // only "~" and "~/" expand
      {load(system, bones("left: {a: 1}\n"), "both"), "bone_config side must be left or right"},
      {load(system, bones("left: ~\n")), no_bones},
      {load(system, bones("")), no_bones},
      {[&] { values.size("text"); }, "Expected a mapping or sequence at: text"},
      {[&] { values.matrix3("rows"); }, "Expected a 3x3 matrix at: rows"},
      {set(""), "Config path must not be empty"},
      {set("a...b"), "Config path must not contain empty keys"},
      {[] { config_from("a: 1\n").remove("a...b"); }, "Config path must not contain empty keys"},
  };
  for (const auto& [call, text] : rows) EXPECT_EQ(error_text(call), text);
  for (const std::optional<std::string>& unset :
       {std::optional<std::string>(), std::optional<std::string>("")}) {
    ScopedEnv env("HOME", unset);
    EXPECT_EQ(error_text(load(child)), "HOME is not set; cannot expand config path");
  }
  EXPECT_THROW(values.number("missing"), std::out_of_range);

  // A moved-from value refuses every use but assignment.
  Config moved = config_from("x: 1\n");
  Config taker = std::move(moved);
  EXPECT_THROW(moved.contains("x"), std::logic_error);  // NOLINT(bugprone-use-after-move)
  EXPECT_THROW(moved.set_number("x", 1), std::logic_error);
  EXPECT_EQ(error_text([&] { moved.dump_yaml(); }), "Config was moved from");
  moved = taker;
  EXPECT_EQ(moved.number("x"), 1.0);
}

TEST(ConfigRead, KeyPathsWalkMappingsAndIndicesAndRejectHostileKeys) {
  const Config config = config_from("a: [10, 20, 30]\nm: {b: ~, s: text}\nn: {x: {y: 5}, list: [{k: 7}]}\n");
  const std::pair<const char*, double> found[] = {{"a.1", 20},   {"a. 2", 30},     {"a.+1", 20},
                                                  {"a.-0", 10},  {"a.001", 20},    {"n.x.y", 5},
                                                  {"n.x.y.", 5}, {"n.list.0.k", 7}};
  for (const auto& [key, value] : found) EXPECT_EQ(config.number(key), value) << key;
  for (const char* key : {"a.3", "a.-1", "a.x", "a.01x", "a.1 ", "a..1", ".a.1", "n.x.y..", "m.s.x", "m.b.c",
                          "a.1.x", "N.x.y", "a.18446744073709551616", "a.99999999999999999999999999"}) {
    EXPECT_FALSE(config.contains(key)) << key;
    EXPECT_EQ(error_text([&] { config.number(key); }), std::string("Config key was not found: ") + key);
  }
  EXPECT_EQ(config.size(""), 3u);  // the root
  EXPECT_EQ(config.numbers("a."), (Vec{10, 20, 30}));

  // Conversions, or the YAML library's exceptions.
  const Config typed =
      config_from("text: hi\nnames: [thumb, ~, \"3\"]\nbad: [[1, 2, 3], [4, x, 6], [7, 8, 9]]\n");
  EXPECT_EQ(typed.strings("names"), (std::vector<std::string>{"thumb", "null", "3"}));
  EXPECT_THROW(typed.matrix3("bad"), YAML::BadConversion);
  EXPECT_THROW(typed.number("text"), YAML::BadConversion);
  EXPECT_THROW(typed.string(""), YAML::BadConversion);
}

TEST(ConfigWrite, SettersBuildPathsAndNumbersReadBackExactly) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"{}", "x.y.z", "x:\n  y:\n    z: v"},
      {"x: [1, 2]\n", "x.y", "x:\n  y: v"},  // non-mapping parents are replaced
      {"a: [1, 2]\n", "a.0", "a:\n  0: v"},  // no indices when writing
      {"a: 1\nb: {c: 2}\n", "b.e", "a: 1\nb:\n  c: 2\n  e: v"},
      {"{}", "a..b", "a:\n  b: v"},
      {"b: 1\n", ".a", "b: 1\na: v"},
  };
  for (const auto& [before, key, after] : cases) {
    Config config = config_from(before);
    config.set_string(key, "v");
    EXPECT_EQ(config.dump_yaml(), after) << key;
  }
  Config removed = config_from("a: 1\nb: {c: 2, d: 3}\n");
  for (const char* key : {"b.c", "b.missing", "p.q", "a"}) removed.remove(key);
  EXPECT_EQ(removed.dump_yaml(), "b:\n  d: 3\np:\n  {}");  // removing never fails; parents are made

  Config config = config_from("{}");
  for (double value : {0.1, 1e-9, -0.0, 1.0 / 3.0, 123456789.123456789, 5e-324, 1.7e308, kInf, -kInf}) {
    config.set_number("n", value);
    const double back = config.number("n");
    EXPECT_EQ(std::memcmp(&back, &value, sizeof value), 0) << config.string("n");
  }
}

TEST(ConfigDump, SeventeenDigitsBlockStyleAndLoadsBack) {
  Config config = config_from("flow: {a: [1, {b: c}]}\n");
  config.set_number("a", 0.1);
  config.set_number("d", std::nan(""));
  config.set_number("f", -kInf);
  config.set_boolean("g", true);
  config.set_vec3("h", {1, 0.25, -3});
  config.set_matrix3("i", {1, 0, 0, 0, 1, 0, 0, 0, 1});
  config.set_strings("j", {"- x", ""});
  const std::string text = config.dump_yaml();
  EXPECT_EQ(
      text,
      "flow:\n  a:\n    - 1\n    - b: c\na: 0.10000000000000001\nd: .nan\nf: -.inf\ng: true\n"
      "h:\n  - 1\n  - 0.25\n  - -3\n"
      "i:\n  -\n    - 1\n    - 0\n    - 0\n  -\n    - 0\n    - 1\n    - 0\n  -\n    - 0\n    - 0\n    - 1\n"
      "j:\n  - \"- x\"\n  - \"\"");
  const Config again = config_from(text);
  EXPECT_EQ(again.dump_yaml(), text);
  EXPECT_EQ(again.matrix3("i"), (std::array<double, 9>{1, 0, 0, 0, 1, 0, 0, 0, 1}));

  // Copies are deep.
  Config copy(config);
  config.set_number("flow.a.0", 3.0);
  EXPECT_EQ(copy.dump_yaml(), text);
}

}  // namespace
}  // namespace kelto::hand
