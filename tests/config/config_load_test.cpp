// Loading configuration files: extends chains, merging, reserved keys and the bone overlay.
#include <gtest/gtest.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

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

fs::path resolved(const fs::path& path) {
  return fs::weakly_canonical(path);
}

TEST(ConfigLoad, ChildMergesOverParent) {
  TempDir dir;
  write_file(dir / "base.yaml", R"(
first: 1
list: [1, 2, 3]
gone: {a: 1}
deep: {keep: 1, change: 2, inner: {x: 1, y: 2}}
scalar: 5
last: end
)");
  const fs::path child = write_file(dir / "child.yaml", R"(
extends: base.yaml
added: new
list: [9]
gone: ~
deep: {change: 3, inner: {y: 4, z: 5}, more: 6}
scalar: {now: map}
)");
  const Config config = Config::load(child, {}, "");
  EXPECT_EQ(bare_dump(config),
            "first: 1\n"
            "list:\n  - 9\n"
            "gone: ~\n"
            "deep:\n  keep: 1\n  change: 3\n  inner:\n    x: 1\n    y: 4\n    z: 5\n  more: 6\n"
            "scalar:\n  now: map\n"
            "last: end\n"
            "added: new");
  EXPECT_FALSE(config.contains("extends"));
  EXPECT_EQ(config.string("__config_path__"), resolved(child).string());
  EXPECT_EQ(config.string("__config_dir__"), resolved(dir.path()).string());
}

TEST(ConfigLoad, ExtendsIsResolvedFromTheNamingFile) {
  TempDir dir;
  write_file(dir / "a/base.yaml", "from: base\nlevel: 0\n");
  write_file(dir / "a/b/middle.yaml", "extends: ../base.yaml\nlevel: 1\n");
  const fs::path top =
      write_file(dir / "c/top.yaml", "extends: " + (dir / "a/b/middle.yaml").string() + "\n");
  const Config config = Config::load(top, {}, "");
  EXPECT_EQ(config.string("from"), "base");
  EXPECT_EQ(config.number("level"), 1.0);
  EXPECT_EQ(config.string("__config_path__"), resolved(top).string());
}

TEST(ConfigLoad, NullExtendsIsNoParent) {
  TempDir dir;
  const Config config = Config::load(write_file(dir / "c.yaml", "a: 1\nextends: ~\nb: 2\n"), {}, "");
  EXPECT_EQ(bare_dump(config), "a: 1\nb: 2");
}

TEST(ConfigLoad, RepeatedKeyKeepsFirstPositionAndLastValue) {
  TempDir dir;
  const Config config =
      Config::load(write_file(dir / "c.yaml", "a: 1\nb: {x: 1}\nc: 3\nb: {y: 2}\n"), {}, "");
  EXPECT_EQ(bare_dump(config), "a: 1\nb:\n  y: 2\nc: 3");
}

TEST(ConfigLoad, AliasesBecomeCopies) {
  TempDir dir;
  Config config = Config::load(write_file(dir / "c.yaml", "a: &shared {x: 1}\nb: *shared\n"), {}, "");
  config.set_number("a.x", 2.0);
  EXPECT_EQ(config.number("b.x"), 1.0);
}

TEST(ConfigLoad, EmptyAndCommentOnlyFilesAreEmptyMappings) {
  TempDir dir;
  for (const char* text : {"", "# only a comment\n", "~\n", "---\n"}) {
    SCOPED_TRACE(text);
    const fs::path file = write_file(dir / "c.yaml", text);
    const Config config = Config::load(file, {}, "");
    EXPECT_EQ(config.size(""), 2u);
    EXPECT_EQ(config.string("__config_path__"), resolved(file).string());
  }
}

TEST(ConfigLoad, RejectsBadFiles) {
  TempDir dir;
  const fs::path seq = write_file(dir / "seq.yaml", "- 1\n- 2\n");
  const fs::path scalar = write_file(dir / "scalar.yaml", "just text\n");
  const fs::path self = write_file(dir / "self.yaml", "extends: self.yaml\n");
  const fs::path ping = write_file(dir / "ping.yaml", "extends: pong.yaml\n");
  write_file(dir / "pong.yaml", "extends: ping.yaml\n");
  const fs::path to_missing = write_file(dir / "to_missing.yaml", "extends: nowhere/missing.yaml\n");
  const fs::path to_dir = write_file(dir / "to_dir.yaml", "extends: .\n");
  fs::create_directories(dir / "folder.yaml");

  const struct {
    fs::path file;
    std::string message;
  } cases[] = {
      {seq, "Config root must be a mapping: " + resolved(seq).string()},
      {scalar, "Config root must be a mapping: " + resolved(scalar).string()},
      {self, "Config extends cycle detected at: " + resolved(self).string()},
      {ping, "Config extends cycle detected at: " + resolved(ping).string()},
      {to_missing, "Config file was not found: " + resolved(dir / "nowhere/missing.yaml").string()},
      {to_dir, "Config file was not found: " + resolved(dir.path()).string()},
      {dir / "absent.yaml", "Config file was not found: " + resolved(dir / "absent.yaml").string()},
      {dir / "folder.yaml", "Config file was not found: " + resolved(dir / "folder.yaml").string()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(error_text([&] { Config::load(c.file, {}, ""); }), c.message);
  }
}

TEST(ConfigLoad, HostileYamlFailsWithExceptions) {
  TempDir dir;
  const fs::path broken = write_file(dir / "broken.yaml", "a: [1, 2\nb: {\n");
  EXPECT_THROW(Config::load(broken, {}, ""), YAML::ParserException);

  const fs::path tabs = write_file(dir / "tabs.yaml", "a:\n\t- 1\n");
  EXPECT_THROW(Config::load(tabs, {}, ""), YAML::Exception);

  const fs::path map_extends = write_file(dir / "map_extends.yaml", "extends: {a: 1}\n");
  EXPECT_THROW(Config::load(map_extends, {}, ""), YAML::BadConversion);

  const fs::path map_key = write_file(dir / "map_key.yaml", "? {a: 1}\n: value\n");
  EXPECT_THROW(Config::load(map_key, {}, ""), YAML::BadConversion);

  const fs::path loop = write_file(dir / "loop.yaml", "a: &x [1, *x]\n");
  EXPECT_THROW(Config::load(loop, {}, ""), std::runtime_error);

  const fs::path deep = write_file(dir / "deep.yaml", "a: " + std::string(100000, '[') + "\n");
  EXPECT_THROW(Config::load(deep, {}, ""), std::exception);

  const fs::path binary = write_file(dir / "binary.yaml", std::string("a: \0\xff\xfe\x01: [", 10));
  EXPECT_THROW(Config::load(binary, {}, ""), std::exception);
}

TEST(ConfigLoad, ResourceRootComesFromTheNearestQualifyingFile) {
  TempDir dir;
  const fs::path root = resolved(dir.path());
  fs::create_directories(root / "hands/foo/resources");
  const fs::path system = write_file(root / "hands/foo/foo_system.yaml", "hand: {type: foo}\n");
  EXPECT_EQ(Config::load(system, {}, "").string("__resource_root__"), root.string());

  // A child elsewhere keeps the parent's root; a qualifying child wins with its own.
  const fs::path user = write_file(root / "users/me/overlay.yaml", "extends: " + system.string() + "\n");
  EXPECT_EQ(Config::load(user, {}, "").string("__resource_root__"), root.string());

  const fs::path other_root = root / "other";
  fs::create_directories(other_root / "hands/bar/resources");
  const fs::path bar = write_file(other_root / "hands/bar/bar.yaml", "extends: " + system.string() + "\n");
  EXPECT_EQ(Config::load(bar, {}, "").string("__resource_root__"), other_root.string());

  // A resources entry that is a file does not count.
  write_file(root / "x/hands/baz/resources", "");
  const fs::path baz = write_file(root / "x/hands/baz/baz.yaml", "a: 1\n");
  EXPECT_FALSE(Config::load(baz, {}, "").contains("__resource_root__"));
}

TEST(ConfigLoad, TildeNamesTheHomeDirectory) {
  TempDir home;
  TempDir dir;
  write_file(home / "base.yaml", "from: home\n");
  const fs::path child = write_file(dir / "child.yaml", "extends: ~/base.yaml\n");
  {
    ScopedEnv env("HOME", home.path().string());
    EXPECT_EQ(Config::load(child, {}, "").string("from"), "home");
    EXPECT_EQ(Config::load("~/base.yaml", {}, "").string("__config_path__"),
              resolved(home / "base.yaml").string());
  }
  for (const std::optional<std::string>& value :
       {std::optional<std::string>(), std::optional<std::string>("")}) {
    ScopedEnv env("HOME", value);
    EXPECT_EQ(error_text([&] { Config::load(child, {}, ""); }), "HOME is not set; cannot expand config path");
  }
  // Only a leading "~" or "~/" is expanded.
  ScopedEnv env("HOME", std::nullopt);
  const fs::path named = write_file(dir / "named.yaml", "extends: ~user/base.yaml\n");
  EXPECT_EQ(error_text([&] { Config::load(named, {}, ""); }),
            "Config file was not found: " + resolved(dir / "~user/base.yaml").string());
}

TEST(ConfigLoad, RelativePathsStartAtTheWorkingDirectory) {
  TempDir dir;
  write_file(dir / "sub/c.yaml", "a: 1\n");
  const fs::path previous = fs::current_path();
  fs::current_path(dir.path());
  std::string loaded_path;
  try {
    loaded_path = Config::load("sub/../sub/./c.yaml", {}, "").string("__config_path__");
  } catch (...) {
    fs::current_path(previous);
    throw;
  }
  fs::current_path(previous);
  EXPECT_EQ(loaded_path, resolved(dir / "sub/c.yaml").string());
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
  const fs::path direct = write_file(dir / "direct/user.bones.yaml", R"(
left: {palm_length_m: 0.3}
right: {palm_length_m: 0.4, enabled: false}
)");
  const fs::path nested = write_file(dir / "nested/user.bones.yaml", R"(
left: {anthropometry: {palm_length_m: 0.3}}
right: {anthropometry: {palm_length_m: 0.4, enabled: false}}
)");
  const Config left = Config::load(system, direct, "");  // hand.side says left
  EXPECT_EQ(left.string("__bone_config_stem__"), "user.bones");
  EXPECT_EQ(left.number("hand.anthropometry.palm_length_m"), 0.3);
  EXPECT_FALSE(left.contains("hand.anthropometry.finger_scale"));
  EXPECT_TRUE(left.boolean("hand.anthropometry.enabled"));
  EXPECT_EQ(left.number("viewer.anthropometry.palm_length_m"), 0.3);
  EXPECT_TRUE(left.boolean("viewer.anthropometry.enabled"));
  EXPECT_EQ(left.number("solver.x"), 1.0);

  const Config right = Config::load(system, direct, "right");
  EXPECT_EQ(right.number("hand.anthropometry.palm_length_m"), 0.4);
  EXPECT_FALSE(right.boolean("hand.anthropometry.enabled"));
  EXPECT_FALSE(right.boolean("viewer.anthropometry.enabled"));

  for (const char* side : {"left", "right"}) {
    SCOPED_TRACE(side);
    EXPECT_EQ(Config::load(system, direct, side).dump_yaml(), Config::load(system, nested, side).dump_yaml());
  }
}

TEST(ConfigBoneOverlay, SideIsChosenFromArgumentThenConfiguration) {
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
      {"hand: {default_side: left}\n", "", 1},
      {"hand: {side: '', default_side: left}\n", "", 1},
      {"a: 1\n", "", 2},
      {"hand: {side: both}\n", "", 0},
      {"hand: {side: ~}\n", "", 0},
      {"a: 1\n", "LEFT", 0},
      {"a: 1\n", "both", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.system) + " / " + c.side);
    const fs::path system = write_file(dir / "system.yaml", c.system);
    if (c.palm == 0) {
      EXPECT_EQ(error_text([&] { Config::load(system, bones, c.side); }),
                "bone_config side must be left or right");
    } else {
      EXPECT_EQ(Config::load(system, bones, c.side).number("hand.anthropometry.palm_length_m"), c.palm);
    }
  }
}

TEST(ConfigBoneOverlay, MissingSideSectionOnlyAddsTheStem) {
  TempDir dir;
  const fs::path system = write_file(dir / "system.yaml", kSystem);
  const fs::path bones = write_file(dir / "only_left.yaml", "left: {palm_length_m: 0.3}\n");
  const Config plain = Config::load(system, {}, "");
  const Config overlaid = Config::load(system, bones, "right");
  EXPECT_EQ(overlaid.dump_yaml(), plain.dump_yaml() + "\n__bone_config_stem__: only_left");
}

TEST(ConfigBoneOverlay, SingleFormKeepsSeparateViewerMeasurements) {
  TempDir dir;
  const fs::path system = write_file(dir / "system.yaml", kSystem);
  const fs::path both = write_file(dir / "both.yaml", R"(
hand: {anthropometry: {palm_length_m: 0.5}}
viewer: {anthropometry: {palm_length_m: 0.6, enabled: ~}}
)");
  const Config config = Config::load(system, both, "");
  EXPECT_EQ(config.number("hand.anthropometry.palm_length_m"), 0.5);
  EXPECT_TRUE(config.boolean("hand.anthropometry.enabled"));
  EXPECT_EQ(config.number("viewer.anthropometry.palm_length_m"), 0.6);
  EXPECT_EQ(config.string("viewer.anthropometry.enabled"), "null");

  const fs::path hand_only =
      write_file(dir / "hand_only.yaml", "hand: {anthropometry: {anthropometry: {k: 7}}}\n");
  const Config shared = Config::load(system, hand_only, "");
  EXPECT_EQ(shared.number("hand.anthropometry.k"), 7.0);
  EXPECT_EQ(shared.number("viewer.anthropometry.k"), 7.0);
  EXPECT_FALSE(shared.contains("viewer.anthropometry.palm_length_m"));
}

TEST(ConfigBoneOverlay, BuildsMissingParents) {
  TempDir dir;
  const fs::path system = write_file(dir / "system.yaml", "hand: 3\nviewer: [1]\n");
  const fs::path bones = write_file(dir / "bones.yaml", "right: {k: 1}\n");
  const Config config = Config::load(system, bones, "");
  EXPECT_EQ(bare_dump(config),
            "hand:\n  anthropometry:\n    k: 1\n    enabled: true\n"
            "viewer:\n  anthropometry:\n    k: 1\n    enabled: true");
}

TEST(ConfigBoneOverlay, RejectsFilesWithoutMeasurements) {
  TempDir dir;
  const fs::path system = write_file(dir / "system.yaml", kSystem);
  const std::string no_data = "bone_config must contain left/right calibration data or hand.anthropometry";
  const struct {
    const char* bones;
    const char* side;
  } cases[] = {
      {"left: ~\n", "left"},
      {"left: [1, 2]\n", "left"},
      {"right: 0.5\n", "right"},
      {"left: {anthropometry: 3}\n", "left"},
      {"hand: {anthropometry: ~}\n", ""},
      {"hand: {other: 1}\n", ""},
      {"viewer: {anthropometry: {a: 1}}\n", ""},
      {"", ""},
      {"- 1\n", ""},
      {"text\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bones);
    const fs::path bones = write_file(dir / "bones.yaml", c.bones);
    EXPECT_EQ(error_text([&] { Config::load(system, bones, c.side); }), no_data);
  }
  EXPECT_EQ(error_text([&] { Config::load(system, dir / "missing.yaml", ""); }),
            "Config file was not found: " + resolved(dir / "missing.yaml").string());
  const fs::path broken = write_file(dir / "broken.yaml", "left: {a: [\n");
  EXPECT_THROW(Config::load(system, broken, "left"), YAML::ParserException);
}

TEST(ResourceRoot, IsEmptyUntilSet) {
  EXPECT_TRUE(runtime_resource_root().empty());
  set_runtime_resource_root("/opt/kelto");
  EXPECT_EQ(runtime_resource_root(), fs::path("/opt/kelto"));
  set_runtime_resource_root("relative/root");
  EXPECT_EQ(runtime_resource_root(), fs::path("relative/root"));
  set_runtime_resource_root({});
  EXPECT_TRUE(runtime_resource_root().empty());
}

}  // namespace
}  // namespace kelto::hand
