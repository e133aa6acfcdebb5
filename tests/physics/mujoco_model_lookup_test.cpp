// Which MJCF file the physics observer finds for a hand side, on scratch directory trees.
#include "physics/mujoco_model_lookup.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "physics_fixtures.hpp"

namespace kelto::test {
namespace {

namespace fs = std::filesystem;
using hand::detail::resolve_model;

// The configuration is <tmp>/top/mid/conf/system.yaml; the working directory <tmp>/work/sub shares no
// ancestor with it below <tmp>; a resource root, when set, is <tmp>/root.
class Tree {
 public:
  fs::path operator/(const std::string& relative) const { return dir_ / relative; }
  fs::path config_path() const { return dir_ / "top/mid/conf/system.yaml"; }
  fs::path touch(const std::string& relative) const { return write_file(dir_ / relative, "<mujoco/>\n"); }
  fs::path resolve(const std::string& type, const std::string& side = "right") const {
    return resolve_model(write_and_load_config(config_path(), "hand: {type: " + type + "}\n", side),
                         config_path(), type, side);
  }
  fs::path found(const std::string& relative) const { return fs::canonical(dir_ / relative); }

 private:
  TempDir dir_;
  ScopedProcessState state_{dir_ / "work/sub"};
};

TEST(ModelLookup, EarlierCandidatesWin) {
  struct Case {
    const char* type;
    bool resource_root;
    std::vector<const char*> files;  // in the order they are found
  };
  const std::vector<Case> cases = {
      {"plekt5",
       true,
       {"top/mid/conf/resources/mujoco/right_physics.xml", "root/hands/plekt5/resources/mujoco/right.xml",
        "root/hands/plekt5/resources/mujoco/right/hand.xml",
        "root/hands/plekt5/resources/pinocchio/right/hand.xml", "top/mid/conf/resources/mujoco/right.xml",
        "top/mid/conf/resources/mujoco/right/hand.xml", "top/mid/conf/resources/pinocchio/right/hand.xml",
        "top/mid/conf/resources/pinocchio/right.urdf",
        "top/mid/conf/kelto_hand/resources/hands/plekt5/resources/mujoco/right_physics.xml",
        "top/mid/conf/hands/plekt5/resources/mujoco/right_physics.xml",
        "top/mid/conf/kelto_hand/resources/hands/plekt5/resources/mujoco/right.xml"}},
      {"hx",
       false,
       {"top/mid/kelto_hand/resources/hands/hx/resources/mujoco/right.xml",
        "top/mid/hands/hx/resources/mujoco/right.xml",
        "top/mid/kelto_hand/resources/hands/hx/resources/mujoco/right/hand.xml",
        "top/mid/hands/hx/resources/mujoco/right/hand.xml",
        "top/mid/kelto_hand/resources/hands/hx/resources/pinocchio/right/hand.xml",
        "top/mid/hands/hx/resources/pinocchio/right/hand.xml",
        "top/kelto_hand/resources/hands/hx/resources/mujoco/right.xml",
        "hands/hx/resources/pinocchio/right/hand.xml",
        "work/kelto_hand/resources/hands/hx/resources/mujoco/right.xml",
        "work/hands/hx/resources/mujoco/right.xml"}},
  };
  for (const Case& c : cases) {
    Tree tree;
    if (c.resource_root) hand::set_runtime_resource_root(tree / "root");
    // Files no lookup considers: the physics variant of another hand type, and the hand.xml and
    // pinocchio forms under the working directory's ancestors.
    for (const char* ignored :
         {"top/mid/conf/resources/mujoco/other_physics.xml",
          "top/mid/conf/resources/mujoco/right_physics.xml", "work/hands/hx/resources/mujoco/right/hand.xml",
          "work/hands/plekt5/resources/mujoco/right_physics.xml"}) {
      if (std::string(c.type) != "plekt5" || std::string(ignored).find("conf/") == std::string::npos)
        tree.touch(ignored);
    }
    for (const char* file : c.files) tree.touch(file);
    for (const char* file : c.files) {
      SCOPED_TRACE(file);
      EXPECT_EQ(tree.resolve(c.type), tree.found(file));
      fs::remove(tree / file);
    }
    try {
      tree.resolve(c.type);
      ADD_FAILURE() << "found a file that should not be considered";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(error.what(), "cannot locate MuJoCo model for " + std::string(c.type) + "/right");
    }
  }
}

TEST(ModelLookup, ConfigurationResourceRootStandsInForAnEmptyProcessRoot) {
  Tree tree;
  // A system file at <R>/hands/sys/sys_system.yaml beside <R>/hands/sys/resources names R.
  fs::create_directories(tree / "res/hands/sys/resources");
  const fs::path config_file = tree / "res/hands/sys/sys_system.yaml";
  const hand::Config config = write_and_load_config(config_file, "hand: {type: hx}\n");
  tree.touch("res/hands/sys/resources/mujoco/right.xml");
  tree.touch("res/hands/hx/resources/mujoco/right.xml");
  EXPECT_EQ(resolve_model(config, config_file, "hx", "right"),
            tree.found("res/hands/hx/resources/mujoco/right.xml"));
  tree.touch("root/hands/hx/resources/mujoco/right.xml");
  hand::set_runtime_resource_root(tree / "root");
  EXPECT_EQ(resolve_model(config, config_file, "hx", "right"),
            tree.found("root/hands/hx/resources/mujoco/right.xml"));
}

TEST(ModelLookup, DirectoriesAreSkippedLinksFollowedRelativePathsResolved) {
  Tree tree;
  fs::create_directories(tree / "top/mid/conf/resources/mujoco/left.xml");
  fs::create_directories(tree / "top/mid/conf/resources/mujoco/left");
  fs::create_symlink(tree.touch("elsewhere/model.xml"), tree / "top/mid/conf/resources/mujoco/left/hand.xml");
  EXPECT_EQ(tree.resolve("hx", "left"), tree.found("elsewhere/model.xml"));
  const hand::Config config = hand::Config::load(tree.config_path(), "", "left");
  fs::current_path(tree / "top");
  EXPECT_EQ(resolve_model(config, "./mid/../mid/conf/system.yaml", "hx", "left"),
            tree.found("elsewhere/model.xml"));

  fs::remove(tree / "elsewhere/model.xml");  // a dangling link is no regular file
  tree.touch("top/mid/conf/resources/pinocchio/left.urdf");
  EXPECT_EQ(resolve_model(config, "mid/conf/system.yaml", "hx", "left"),
            tree.found("top/mid/conf/resources/pinocchio/left.urdf"));
}

}  // namespace
}  // namespace kelto::test
