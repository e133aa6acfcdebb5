// Which MJCF file the physics observer finds for a hand side, on scratch directory trees.
#include "physics/mujoco_model_lookup.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "physics_fixtures.hpp"

namespace kelto::test {
namespace {

namespace fs = std::filesystem;
using hand::detail::mujoco_model_candidates;
using hand::detail::resolve_model;

// The configuration lives at <tmp>/top/mid/conf/system.yaml; the working directory is <tmp>/work/sub,
// which shares no directory with the configuration's ancestors below <tmp>. The resource root, when a
// case sets one, is <tmp>/root.
class Tree {
 public:
  Tree() : cwd_(created(dir_ / "work/sub")) {}

  const fs::path& base() const { return dir_.path(); }
  fs::path config_path() const { return base() / "top/mid/conf/system.yaml"; }
  fs::path touch(const std::string& relative) { return write_file(base() / relative, "<mujoco/>\n"); }
  fs::path resolve(const std::string& hand_type, const std::string& side = "right") {
    const hand::Config config =
        write_and_load_config(config_path(), "hand:\n  type: " + hand_type + "\n", side);
    return resolve_model(config, config_path(), hand_type, side);
  }
  fs::path expected(const std::string& relative) const { return fs::canonical(base() / relative); }

 private:
  static fs::path created(const fs::path& dir) {
    fs::create_directories(dir);
    return dir;
  }

  TempDir dir_;
  ResourceRootGuard root_guard_;
  ScopedWorkingDirectory cwd_;
};

class ModelLookup : public ::testing::Test, protected Tree {};

struct Precedence {
  const char* label;
  const char* hand_type;
  bool resource_root;
  const char* winner;
  std::vector<const char*> losers;
};

TEST(ModelLookupOrder, EarlierCandidatesWin) {
  const std::vector<Precedence> cases = {
      {"physics variant of plekt5 before everything",
       "plekt5",
       true,
       "top/mid/conf/resources/mujoco/right_physics.xml",
       {"root/hands/plekt5/resources/mujoco/right.xml", "top/mid/conf/resources/mujoco/right.xml"}},
      {"resource root before the configuration's resources",
       "hx",
       true,
       "root/hands/hx/resources/mujoco/right.xml",
       {"top/mid/conf/resources/mujoco/right.xml"}},
      {"resource root: mujoco/<side>/hand.xml",
       "hx",
       true,
       "root/hands/hx/resources/mujoco/right/hand.xml",
       {"root/hands/hx/resources/pinocchio/right/hand.xml", "top/mid/conf/resources/mujoco/right.xml"}},
      {"resource root: pinocchio/<side>/hand.xml",
       "hx",
       true,
       "root/hands/hx/resources/pinocchio/right/hand.xml",
       {"top/mid/conf/resources/mujoco/right.xml"}},
      {"configuration resources in row order",
       "hx",
       false,
       "top/mid/conf/resources/mujoco/right/hand.xml",
       {"top/mid/conf/resources/pinocchio/right/hand.xml", "top/mid/conf/resources/pinocchio/right.urdf"}},
      {"a URDF is accepted",
       "hx",
       false,
       "top/mid/conf/resources/pinocchio/right.urdf",
       {"top/mid/hands/hx/resources/mujoco/right.xml"}},
      {"other hand types never see the physics variant",
       "hx",
       false,
       "top/mid/kelto_hand/resources/hands/hx/resources/mujoco/right.xml",
       {"top/mid/hands/hx/resources/mujoco/right.xml", "top/mid/conf/resources/mujoco/right_physics.xml"}},
      {"kelto_hand layout before the plain one in the same ancestor",
       "hx",
       false,
       "top/kelto_hand/resources/hands/hx/resources/mujoco/right.xml",
       {"top/hands/hx/resources/mujoco/right.xml", "top/hands/hx/resources/mujoco/right/hand.xml"}},
      {"nearer ancestor first",
       "hx",
       false,
       "top/mid/hands/hx/resources/pinocchio/right/hand.xml",
       {"top/kelto_hand/resources/hands/hx/resources/mujoco/right.xml"}},
      {"the configuration directory is an ancestor",
       "hx",
       false,
       "top/mid/conf/hands/hx/resources/mujoco/right.xml",
       {"top/mid/kelto_hand/resources/hands/hx/resources/mujoco/right.xml"}},
      {"ancestor rows in order",
       "hx",
       false,
       "top/hands/hx/resources/mujoco/right.xml",
       {"top/kelto_hand/resources/hands/hx/resources/mujoco/right/hand.xml",
        "top/kelto_hand/resources/hands/hx/resources/pinocchio/right/hand.xml"}},
      {"ancestor physics variants of plekt5",
       "plekt5",
       false,
       "top/hands/plekt5/resources/mujoco/right_physics.xml",
       {"top/kelto_hand/resources/hands/plekt5/resources/mujoco/right.xml"}},
      {"configuration ancestors before working directory ancestors",
       "hx",
       false,
       "hands/hx/resources/pinocchio/right/hand.xml",
       {"work/hands/hx/resources/mujoco/right.xml"}},
      {"working directory ancestors",
       "hx",
       false,
       "work/kelto_hand/resources/hands/hx/resources/mujoco/right.xml",
       {"work/hands/hx/resources/mujoco/right.xml"}},
  };
  for (const Precedence& c : cases) {
    SCOPED_TRACE(c.label);
    Tree tree;  // each case on a fresh tree
    hand::set_runtime_resource_root(c.resource_root ? tree.base() / "root" : fs::path());
    for (const char* loser : c.losers) tree.touch(loser);
    tree.touch(c.winner);
    EXPECT_EQ(tree.resolve(c.hand_type), tree.expected(c.winner));
    fs::remove(tree.base() / c.winner);
    EXPECT_EQ(tree.resolve(c.hand_type), tree.expected(c.losers.front())) << "the next in line";
  }
}

TEST_F(ModelLookup, ConfigurationResourceRootStandsInForAnEmptyProcessRoot) {
  // A system file at <R>/hands/sys/sys_system.yaml beside <R>/hands/sys/resources gives R.
  fs::create_directories(base() / "res/hands/sys/resources");
  const fs::path config_file = base() / "res/hands/sys/sys_system.yaml";
  const hand::Config config = write_and_load_config(config_file, "hand:\n  type: hx\n");
  ASSERT_EQ(fs::path(config.string("__resource_root__")), fs::weakly_canonical(base() / "res"));
  touch("res/hands/sys/resources/mujoco/right.xml");
  touch("res/hands/hx/resources/mujoco/right.xml");
  EXPECT_EQ(resolve_model(config, config_file, "hx", "right"),
            expected("res/hands/hx/resources/mujoco/right.xml"));

  // The process-wide root, once set, wins over the configuration's.
  touch("root/hands/hx/resources/mujoco/right.xml");
  hand::set_runtime_resource_root(base() / "root");
  EXPECT_EQ(resolve_model(config, config_file, "hx", "right"),
            expected("root/hands/hx/resources/mujoco/right.xml"));
}

TEST_F(ModelLookup, WorkingDirectoryWalkKnowsOnlyMujocoSideFiles) {
  touch("work/hands/hx/resources/mujoco/right/hand.xml");
  touch("work/hands/hx/resources/pinocchio/right/hand.xml");
  touch("work/hands/plekt5/resources/mujoco/right_physics.xml");
  try {
    resolve("hx");
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "cannot locate MuJoCo model for hx/right");
  }
  EXPECT_THROW(resolve("plekt5"), std::runtime_error);
  touch("work/hands/hx/resources/mujoco/right.xml");
  EXPECT_EQ(resolve("hx"), expected("work/hands/hx/resources/mujoco/right.xml"));
}

TEST_F(ModelLookup, DirectoriesNamedLikeFilesAreSkippedAndLinksFollowed) {
  fs::create_directories(base() / "top/mid/conf/resources/mujoco/right.xml");
  const fs::path target = touch("elsewhere/model.xml");
  fs::create_directories(base() / "top/mid/conf/resources/mujoco/right");
  fs::create_symlink(target, base() / "top/mid/conf/resources/mujoco/right/hand.xml");
  EXPECT_EQ(resolve("hx"), expected("elsewhere/model.xml"));

  // A dangling link is not a regular file.
  fs::remove(target);
  touch("top/mid/conf/resources/pinocchio/right.urdf");
  EXPECT_EQ(resolve("hx"), expected("top/mid/conf/resources/pinocchio/right.urdf"));
}

TEST_F(ModelLookup, RelativeConfigurationPathFindsTheSameFile) {
  touch("top/mid/hands/hx/resources/mujoco/left.xml");
  const hand::Config config = write_and_load_config(config_path(), "hand:\n  type: hx\n", "left");
  const fs::path absolute = resolve_model(config, config_path(), "hx", "left");
  ScopedWorkingDirectory cwd(base() / "top");
  EXPECT_EQ(resolve_model(config, "mid/conf/system.yaml", "hx", "left"), absolute);
  EXPECT_EQ(resolve_model(config, "./mid/../mid/conf/system.yaml", "hx", "left"), absolute);
}

TEST_F(ModelLookup, CandidateListStartsAndEndsAsDocumented) {
  hand::set_runtime_resource_root(base() / "root");
  const hand::Config config = write_and_load_config(config_path(), "hand:\n  type: plekt5\n", "left");
  const auto candidates = mujoco_model_candidates(config, config_path(), "plekt5", "left");
  const fs::path p = base() / "top/mid/conf";
  const fs::path r = base() / "root/hands/plekt5/resources";
  const std::vector<fs::path> head = {
      p / "resources/mujoco/left_physics.xml",
      r / "mujoco/left.xml",
      r / "mujoco/left/hand.xml",
      r / "pinocchio/left/hand.xml",
      p / "resources/mujoco/left.xml",
      p / "resources/mujoco/left/hand.xml",
      p / "resources/pinocchio/left/hand.xml",
      p / "resources/pinocchio/left.urdf",
      p / "kelto_hand/resources/hands/plekt5/resources/mujoco/left_physics.xml",
      p / "hands/plekt5/resources/mujoco/left_physics.xml",
  };
  ASSERT_GE(candidates.size(), head.size());
  EXPECT_EQ(std::vector<fs::path>(candidates.begin(), candidates.begin() + head.size()), head);
  // The last two rows come from the root directory in the working-directory walk.
  EXPECT_EQ(candidates[candidates.size() - 2],
            fs::path("/kelto_hand/resources/hands/plekt5/resources/mujoco/left.xml"));
  EXPECT_EQ(candidates.back(), fs::path("/hands/plekt5/resources/mujoco/left.xml"));
  // 8 ancestor rows for each ancestor of the configuration directory, 2 for each of the working directory.
  auto depth = [](fs::path d) {
    std::size_t n = 1;
    for (; d != d.root_path(); d = d.parent_path()) ++n;
    return n;
  };
  EXPECT_EQ(candidates.size(), 8 + 8 * depth(p) + 2 * depth(fs::current_path()));
}

}  // namespace
}  // namespace kelto::test
