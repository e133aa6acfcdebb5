// Which MJCF file the physics observer finds for a hand side, on scratch directory trees.
#include "physics/mujoco_model_lookup.hpp"

#include <gtest/gtest.h>

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

// Every candidate is placed at once; removing the winner each time walks the whole order.
TEST(ModelLookup, EarlierCandidatesWin) {
  const std::vector<std::pair<std::string, std::vector<const char*>>> cases = {
      {"plekt5",  // with a resource root; the physics variant comes first
       {"top/mid/conf/resources/mujoco/right_physics.xml", "root/hands/plekt5/resources/mujoco/right.xml",
        "root/hands/plekt5/resources/mujoco/right/hand.xml",
        "root/hands/plekt5/resources/pinocchio/right/hand.xml", "top/mid/conf/resources/mujoco/right.xml",
        "top/mid/conf/resources/mujoco/right/hand.xml", "top/mid/conf/resources/pinocchio/right/hand.xml",
        "top/mid/conf/resources/pinocchio/right.urdf",
        "top/mid/conf/kelto_hand/resources/hands/plekt5/resources/mujoco/right_physics.xml",
        "top/mid/conf/hands/plekt5/resources/mujoco/right_physics.xml",
        "top/mid/conf/kelto_hand/resources/hands/plekt5/resources/mujoco/right.xml"}},
      {"hx",  // the configuration's ancestors, then the working directory's
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
  for (const auto& [type, files] : cases) {
    Tree tree;
    if (type == "plekt5") hand::set_runtime_resource_root(tree / "root");
    // Never considered: other physics variants, and hand.xml and physics forms under the working directory.
    tree.touch("top/mid/conf/resources/mujoco/other_physics.xml");
    tree.touch("work/hands/hx/resources/mujoco/right/hand.xml");
    tree.touch("work/hands/plekt5/resources/mujoco/right_physics.xml");
    if (type != "plekt5") tree.touch("top/mid/conf/resources/mujoco/right_physics.xml");
    for (const char* file : files) tree.touch(file);
    for (const char* file : files) {
      EXPECT_EQ(tree.resolve(type), tree.found(file)) << file;
      fs::remove(tree / file);
    }
    EXPECT_EQ(error_text([&tree, &type = type] { tree.resolve(type); }),
              "cannot locate MuJoCo model for " + type + "/right");
  }
}

TEST(ModelLookup, ConfigurationRootLinksDirectoriesAndRelativePaths) {
  Tree tree;
  // A system file in <R>/hands/<type>/ beside its resources names R when the process has no root.
  fs::create_directories(tree / "res/hands/sys/resources");
  const fs::path system = tree / "res/hands/sys/sys_system.yaml";
  const hand::Config config = write_and_load_config(system, "hand: {type: hx}\n");
  tree.touch("res/hands/hx/resources/mujoco/right.xml");
  EXPECT_EQ(resolve_model(config, system, "hx", "right"),
            tree.found("res/hands/hx/resources/mujoco/right.xml"));

  // A directory named like a model is skipped; a symbolic link is followed to its target.
  fs::create_directories(tree / "top/mid/conf/resources/mujoco/left.xml");
  fs::create_directories(tree / "top/mid/conf/resources/mujoco/left");
  fs::create_symlink(tree.touch("elsewhere/model.xml"), tree / "top/mid/conf/resources/mujoco/left/hand.xml");
  EXPECT_EQ(tree.resolve("hx", "left"), tree.found("elsewhere/model.xml"));
  const hand::Config left = hand::Config::load(tree.config_path(), "", "left");
  fs::current_path(tree / "top");
  EXPECT_EQ(resolve_model(left, "./mid/../mid/conf/system.yaml", "hx", "left"),
            tree.found("elsewhere/model.xml"));
  fs::remove(tree / "elsewhere/model.xml");  // a dangling link is no regular file
  tree.touch("top/mid/conf/resources/pinocchio/left.urdf");
  EXPECT_EQ(resolve_model(left, "mid/conf/system.yaml", "hx", "left"),
            tree.found("top/mid/conf/resources/pinocchio/left.urdf"));
}

}  // namespace
}  // namespace kelto::test
