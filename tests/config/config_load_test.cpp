// Loading configuration files: extends chains, merging, reserved keys and the bone overlay.
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "config/config.hpp"
#include "config/resource_root.hpp"
#include "support/test_files.hpp"

namespace kelto::hand {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;
using test::TempDir;
using test::write_file;

template <typename Call>
std::string error_text(Call&& call) {
  try {
    call();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no exception";
}

// The dump without the reserved keys the loader adds.
std::string bare_dump(Config config) {
  for (const char* key : {"__config_path__", "__config_dir__", "__resource_root__", "__bone_config_stem__"}) {
    config.remove(key);
  }
  return config.dump_yaml();
}

std::string resolved(const fs::path& path) {
  return fs::weakly_canonical(path).string();
}

TEST(ConfigLoad, ChildMergesOverParent) {
  TempDir dir;
  write_file(dir / "a/base.yaml", R"(
first: 1
list: [1, 2, 3]
gone: {a: 1}
deep: {keep: 1, change: 2, inner: {x: 1, y: 2}}
scalar: 5
last: end
)");
  write_file(dir / "a/b/middle.yaml", "extends: ../base.yaml\nlist: [7]\n");
  const fs::path child =
      write_file(dir / "c/child.yaml", "extends: " + (dir / "a/b/middle.yaml").string() + R"(
added: new
list: [9]
gone: ~
deep: {change: 3, inner: {y: 4, z: 5}, more: 6}
scalar: {now: map}
)");
  const Config config = Config::load(child, {}, "");
  EXPECT_EQ(bare_dump(config),
            "first: 1\nlist:\n  - 9\ngone: ~\n"
            "deep:\n  keep: 1\n  change: 3\n  inner:\n    x: 1\n    y: 4\n    z: 5\n  more: 6\n"
            "scalar:\n  now: map\nlast: end\nadded: new");
  EXPECT_EQ(config.string("__config_path__"), resolved(child));
  EXPECT_EQ(config.string("__config_dir__"), resolved(dir / "c"));
}

TEST(ConfigLoad, NormalisesEachFile) {
  const struct {
    const char* text;
    const char* dump;
  } cases[] = {
      {"a: 1\nextends: ~\nb: 2\n", "a: 1\nb: 2"},
      {"a: 1\nb: {x: 1}\nc: 3\nb: {y: 2}\n", "a: 1\nb:\n  y: 2\nc: 3"},  // last value, first position
      {"# only a comment\n", "{}"},
      {"", "{}"},
      {"~\n", "{}"},
      {"a: &x {k: 1}\nb: *x\n", "a:\n  k: 1\nb:\n  k: 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TempDir dir;
    EXPECT_EQ(bare_dump(Config::load(write_file(dir / "c.yaml", c.text), {}, "")), c.dump);
  }
  // Aliased nodes become independent copies.
  TempDir dir;
  Config config = Config::load(write_file(dir / "c.yaml", "a: &x {k: 1}\nb: *x\n"), {}, "");
  config.set_number("a.k", 2.0);
  EXPECT_EQ(config.number("b.k"), 1.0);
}

TEST(ConfigLoad, RejectsBadFiles) {
  TempDir dir;
  const fs::path seq = write_file(dir / "seq.yaml", "- 1\n- 2\n");
  const fs::path self = write_file(dir / "self.yaml", "extends: self.yaml\n");
  const fs::path ping = write_file(dir / "ping.yaml", "extends: pong.yaml\n");
  write_file(dir / "pong.yaml", "extends: ping.yaml\n");
  const fs::path to_missing = write_file(dir / "to_missing.yaml", "extends: nowhere/missing.yaml\n");
  const fs::path to_dir = write_file(dir / "to_dir.yaml", "extends: .\n");
  const struct {
    fs::path file;
    std::string message;
  } cases[] = {
      {seq, "Config root must be a mapping: " + resolved(seq)},
      {write_file(dir / "scalar.yaml", "text\n"),
       "Config root must be a mapping: " + resolved(dir / "scalar.yaml")},
      {self, "Config extends cycle detected at: " + resolved(self)},
      {ping, "Config extends cycle detected at: " + resolved(ping)},
      {to_missing, "Config file was not found: " + resolved(dir / "nowhere/missing.yaml")},
      {to_dir, "Config file was not found: " + resolved(dir.path())},
      {dir / "absent.yaml", "Config file was not found: " + resolved(dir / "absent.yaml")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(error_text([&] { Config::load(c.file, {}, ""); }), c.message);
  }

  // Hostile text fails with the parser's or the converter's exceptions, never worse.
  EXPECT_THROW(Config::load(write_file(dir / "f.yaml", "a: [1, 2\nb: {\n"), {}, ""), YAML::ParserException);
  EXPECT_THROW(Config::load(write_file(dir / "f.yaml", "extends: {a: 1}\n"), {}, ""), YAML::BadConversion);
  EXPECT_THROW(Config::load(write_file(dir / "f.yaml", "? [a]\n: v\n"), {}, ""), YAML::BadConversion);
  EXPECT_THROW(Config::load(write_file(dir / "f.yaml", "a: &x [1, *x]\n"), {}, ""), std::runtime_error);
  EXPECT_THROW(Config::load(write_file(dir / "f.yaml", "a: " + std::string(100000, '[')), {}, ""),
               YAML::Exception);
  EXPECT_THROW(Config::load(write_file(dir / "f.yaml", std::string("a: \0\xff\xfe: [", 9)), {}, ""),
               YAML::Exception);
}

TEST(ConfigLoad, ResourceRootComesFromTheNearestQualifyingFile) {
  TempDir dir;
  const fs::path root = fs::weakly_canonical(dir.path());
  fs::create_directories(root / "hands/foo/resources");
  const fs::path system = write_file(root / "hands/foo/foo_system.yaml", "hand: {type: foo}\n");
  EXPECT_EQ(Config::load(system, {}, "").string("__resource_root__"), root.string());

  const fs::path user = write_file(root / "users/me/overlay.yaml", "extends: " + system.string() + "\n");
  EXPECT_EQ(Config::load(user, {}, "").string("__resource_root__"), root.string());

  fs::create_directories(root / "other/hands/bar/resources");
  const fs::path bar = write_file(root / "other/hands/bar/bar.yaml", "extends: " + system.string() + "\n");
  EXPECT_EQ(Config::load(bar, {}, "").string("__resource_root__"), (root / "other").string());

  write_file(root / "x/hands/baz/resources", "");  // a file, not a directory
  EXPECT_FALSE(
      Config::load(write_file(root / "x/hands/baz/b.yaml", ""), {}, "").contains("__resource_root__"));
}

TEST(ConfigLoad, TildeNamesTheHomeDirectory) {
  TempDir home;
  TempDir dir;
  write_file(home / "base.yaml", "from: home\n");
  const fs::path child = write_file(dir / "child.yaml", "extends: ~/base.yaml\n");
  {
    ScopedEnv env("HOME", home.path().string());
    EXPECT_EQ(Config::load(child, {}, "").string("from"), "home");
    EXPECT_EQ(Config::load("~/base.yaml", {}, "").string("__config_path__"), resolved(home / "base.yaml"));
  }
  for (const std::optional<std::string>& value :
       {std::optional<std::string>(), std::optional<std::string>("")}) {
    ScopedEnv env("HOME", value);
    EXPECT_EQ(error_text([&] { Config::load(child, {}, ""); }), "HOME is not set; cannot expand config path");
  }
  ScopedEnv env("HOME", std::nullopt);  // only a leading "~" or "~/" is expanded
  const fs::path named = write_file(dir / "named.yaml", "extends: ~user/base.yaml\n");
  EXPECT_EQ(error_text([&] { Config::load(named, {}, ""); }),
            "Config file was not found: " + resolved(dir / "~user/base.yaml"));
}

// The bone overlay.

constexpr const char* kSystem = R"(
hand:
  side: left
  anthropometry: {enabled: false, palm_length_m: 0.1, finger_scale: 1.0}
viewer:
  anthropometry: {palm_length_m: 0.2}
solver: {x: 1}
)";

TEST(ConfigBoneOverlay, PerSideSectionReplacesTheMeasurements) {
  TempDir dir;
  const fs::path system = write_file(dir / "system.yaml", kSystem);
  const fs::path direct =
      write_file(dir / "direct/user.bones.yaml",
                 "left: {palm_length_m: 0.3}\nright: {palm_length_m: 0.4, enabled: false}\n");
  const fs::path nested = write_file(dir / "nested/user.bones.yaml",
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
}

TEST(ConfigBoneOverlay, SideComesFromArgumentThenConfiguration) {
  TempDir dir;
  const fs::path bones =
      write_file(dir / "bones.yaml", "left: {palm_length_m: 1}\nright: {palm_length_m: 2}\n");
  const struct {
    const char* system;
    const char* side;
    double palm;  // 0: the side is rejected
  } cases[] = {
      {"hand: {side: left}\n", "right", 2},
      {"hand: {side: left, default_side: right}\n", "", 1},
      {"hand: {side: '', default_side: left}\n", "", 1},
      {"a: 1\n", "", 2},
      {"hand: {side: both}\n", "", 0},
      {"hand: {side: ~}\n", "", 0},
      {"a: 1\n", "LEFT", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.system) + " / " + c.side);
    const fs::path system = write_file(dir / "system.yaml", c.system);
    const auto load = [&] {
      return Config::load(system, bones, c.side).number("hand.anthropometry.palm_length_m");
    };
    if (c.palm == 0) {
      EXPECT_EQ(error_text(load), "bone_config side must be left or right");
    } else {
      EXPECT_EQ(load(), c.palm);
    }
  }
}

TEST(ConfigBoneOverlay, SingleFormKeepsSeparateViewerMeasurements) {
  TempDir dir;
  const fs::path system = write_file(dir / "system.yaml", "hand: 3\nviewer: [1]\n");
  const fs::path both = write_file(dir / "both.yaml", R"(
hand: {anthropometry: {anthropometry: {palm_length_m: 0.5}}}
viewer: {anthropometry: {palm_length_m: 0.6, enabled: ~}}
)");
  EXPECT_EQ(bare_dump(Config::load(system, both, "")),
            "hand:\n  anthropometry:\n    palm_length_m: 0.5\n    enabled: true\n"
            "viewer:\n  anthropometry:\n    palm_length_m: 0.6\n    enabled: ~");
  const fs::path hand_only = write_file(dir / "hand_only.yaml", "hand: {anthropometry: {k: 7}}\n");
  EXPECT_EQ(Config::load(system, hand_only, "").number("viewer.anthropometry.k"), 7.0);
}

TEST(ConfigBoneOverlay, RejectsFilesWithoutMeasurements) {
  TempDir dir;
  const fs::path system = write_file(dir / "system.yaml", kSystem);
  for (const char* bones : {"left: ~\n", "left: [1]\n", "left: {anthropometry: 3}\n",
                            "hand: {anthropometry: ~}\n", "viewer: {anthropometry: {a: 1}}\n", "", "- 1\n"}) {
    SCOPED_TRACE(bones);
    const fs::path file = write_file(dir / "bones.yaml", bones);
    EXPECT_EQ(error_text([&] { Config::load(system, file, "left"); }),
              "bone_config must contain left/right calibration data or hand.anthropometry");
  }
  EXPECT_EQ(error_text([&] { Config::load(system, dir / "missing.yaml", ""); }),
            "Config file was not found: " + resolved(dir / "missing.yaml"));
}

TEST(ResourceRoot, IsEmptyUntilSet) {
  EXPECT_TRUE(runtime_resource_root().empty());
  set_runtime_resource_root("/opt/kelto");
  EXPECT_EQ(runtime_resource_root(), fs::path("/opt/kelto"));
  set_runtime_resource_root({});
  EXPECT_TRUE(runtime_resource_root().empty());
}

}  // namespace
}  // namespace kelto::hand
