// Hand resource lookup, joint metadata (limits, couplings, active joints, projections) and the pose library.
#include "kinematics/hand_metadata.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "config/config.hpp"
#include "config/resource_root.hpp"
#include "support/error_text.hpp"
#include "support/test_files.hpp"

namespace kelto::hand::detail {
namespace {

namespace fs = std::filesystem;
using test::error_text;
using test::TempDir;
using test::write_file;
using Vec = std::vector<double>;

// Sets the process-wide resource root for the life of the object.
struct ScopedResourceRoot {
  explicit ScopedResourceRoot(const fs::path& root) { set_runtime_resource_root(root); }
  ~ScopedResourceRoot() { set_runtime_resource_root(saved); }
  fs::path saved = runtime_resource_root();
};

const char* const kSystem = "hand: {type: toy_hand}\nretargeting: {finger_order: [thumb]}\n";

TEST(HandResourceLookup, SearchOrderAndFallbacks) {
  TempDir tmp;
  const auto resources = [&tmp](const std::string& relative) {
    fs::create_directories(tmp / relative);
    return fs::weakly_canonical(tmp / relative);
  };
  // A configuration inside a hand tree gets __resource_root__; one in a plain folder does not.
  const auto tree_config = write_file(tmp / "tree/hands/toy_hand/toy_hand_system.yaml", kSystem);
  const auto tree = resources("tree/hands/toy_hand/resources");
  const auto process = resources("process/hands/toy_hand/resources");
  const auto plain_config = write_file(tmp / "plain/system.yaml", kSystem);
  const auto plain = resources("plain/resources");
  const auto deep_config = write_file(tmp / "up/a/b/system.yaml", kSystem);
  const auto ancestor = resources("up/kelto_hand/resources/hands/toy_hand/resources");
  const auto lonely_config = write_file(tmp / "lonely/system.yaml", kSystem);
  const std::tuple<const char*, fs::path, fs::path, fs::path> cases[] = {
      {"process root first", tmp / "process", tree_config, process},
      {"reserved key next", {}, tree_config, tree},
      {"beside the configuration", {}, plain_config, plain},
      // A process root without the hand only opens the ancestor search; its path stays when that fails.
      {"process root without the hand", tmp / "elsewhere", plain_config,
       tmp / "elsewhere/hands/toy_hand/resources"},
      {"ancestors", {}, deep_config, ancestor},
      {"ancestors after a bad process root", tmp / "elsewhere", deep_config, ancestor},
      {"nothing found", {}, lonely_config, fs::weakly_canonical(tmp / "lonely") / "resources"},
  };
  for (const auto& [name, process_root, config, expected] : cases) {
    ScopedResourceRoot root(process_root);
    std::string type;
    std::vector<std::string> fingers;
    const HandResourcePaths paths =
        locate_hand_resources(Config::load(config, "", ""), "left", type, fingers);
    EXPECT_EQ(paths.resource_dir.lexically_normal(), expected.lexically_normal()) << name;
    EXPECT_EQ(paths.metadata, paths.resource_dir / "pinocchio" / "metadata.yaml");
    EXPECT_EQ(paths.pose_library, paths.resource_dir.parent_path() / "pose_library.yaml");
    EXPECT_EQ(type, "toy_hand");
    EXPECT_EQ(fingers, std::vector<std::string>{"thumb"});
  }

  // A side without <side>.urdf uses <side>/hand.urdf; a missing metadata file is the store's missing-file
  // error.
  ScopedResourceRoot root({});
  write_file(tmp / "tree/hands/toy_hand/resources/pinocchio/right.urdf", "<robot/>");
  write_file(tmp / "tree/hands/toy_hand/resources/pinocchio/left/hand.urdf", "<robot/>");
  std::string type;
  std::vector<std::string> fingers;
  const Config loaded = Config::load(tree_config, "", "");
  EXPECT_EQ(locate_hand_resources(loaded, "right", type, fingers).urdf, tree / "pinocchio/right.urdf");
  EXPECT_EQ(locate_hand_resources(loaded, "left", type, fingers).urdf, tree / "pinocchio/left/hand.urdf");
  EXPECT_EQ(error_text([&] { load_hand_metadata(loaded, "left"); }),
            "Config file was not found: " + (tree / "pinocchio/metadata.yaml").string());
}

// A hand with joints a, b, c, d (limits [-1, 1], d [0.1, 0.9]) whose metadata side section ends with `extra`.
HandJointMetadata metadata_with(const std::string& extra) {
  TempDir dir;
  ScopedResourceRoot root({});
  write_file(dir / "hands/toy_hand/resources/pinocchio/metadata.yaml",
             "left:\n  joint_order: [a, b, c, d]\n  joint_limits_rad: {a: [-1, 1], b: [-1, 1]}\n"
             "  joint_limits: {b: [-5, 5], c: [-1, 1], d: [0.1, 0.9]}\n  pose_joint_names: {thumb: [a]}\n" +
                 extra);
  return load_hand_metadata(
      Config::load(write_file(dir / "hands/toy_hand/toy_hand_system.yaml", kSystem), "", ""), "left");
}

TEST(HandJointMetadata, CouplingFormsProjectTheFullVector) {
  // clang-format off
  const std::tuple<const char*, Vec, Vec> cases[] = {
      // metadata, full vector a b c d, projected
      {"  passive_joint_couplings: [{driver: a, child: c, offset: 0.1, multiplier: -2}]\n",
       {0.2, 0, 0, 0.5}, {0.2, 0, -0.3, 0.5}},
      // An empty first form falls back to the second.
      {"  passive_joint_couplings: []\n"
       "  passive_couplings: [{independent_joint: a, dependent_joint: b, polycoef: [0, 3]}]\n",
       {0.1, 0, 0, 0.5}, {0.1, 0.3, 0, 0.5}},
      // Equality constraints are preferred.
      {"  equality_constraints: [{independent_joint: a, dependent_joint: b, polycoef: [0.5]}]\n"
       "  passive_couplings: [{independent_joint: a, dependent_joint: c, polycoef: [0.7]}]\n",
       {0.1, 0, 0, 0.5}, {0.1, 0.5, 0, 0.5}},
      {"  passive_couplings: [{independent_joint: a, dependent_joint: b, polycoef: [0, 2], input_unit: deg, "
       "output_unit: deg}]\n",
       {0.2, 0, 0, 0.5}, {0.2, 0.4, 0, 0.5}},
      // No coefficients give 0, clamped into the child's limits; so is a child driven beyond them.
      {"  passive_couplings: [{independent_joint: a, dependent_joint: d, polycoef: []}]\n",
       {0.5, 0, 0, 0.5}, {0.5, 0, 0, 0.1}},
      {"  passive_joint_couplings: [{driver: a, child: d, multiplier: 10}]\n", {0.5, 0, 0, 0.5}, {0.5, 0, 0, 0.9}},
      // A chain listed child first.
      {"  passive_joint_couplings: [{driver: b, child: c, multiplier: 0.5}, {driver: a, child: b, multiplier: 0.5}]\n",
       {0.8, 0, 0, 0.5}, {0.8, 0.4, 0.2, 0.5}},
      // Fixed joints are zeroed before the couplings, so a fixed child keeps its coupled value.
      {"  fixed_joint_names: [c, unknown]\n  passive_joint_couplings: [{driver: a, child: c}]\n",
       {0.3, 0, 0.9, 0.5}, {0.3, 0, 0.3, 0.5}},
      {"", {-3, 3, 0.25, 0}, {-1, 1, 0.25, 0.1}},  // limits prefer the radians key
  };
  // clang-format on
  for (const auto& [extra, input, expected] : cases) {
    const Vec projected = project_passive(metadata_with(extra), input);
    ASSERT_EQ(projected.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(projected[i], expected[i], 1e-12) << extra << i;
  }
}

TEST(HandJointMetadata, ActiveJointsExpandAndSelect) {
  // clang-format off
  const std::tuple<const char*, std::vector<std::string>, Vec, Vec> cases[] = {
      // metadata, active joints, their lower and upper limits
      {"", {"a", "b", "c", "d"}, {-1, -1, -1, 0.1}, {1, 1, 1, 0.9}},
      {"  active_joint_order: [d, nothing, b]\n", {"b", "d"}, {-1, 0.1}, {1, 0.9}},  // a filter only
      {"  active_joint_order: [c, a]\n  passive_joint_couplings: [{driver: a, child: c}]\n", {"a"}, {-1}, {1}},
      {"  fixed_joint_names: [b, d]\n", {"a", "c"}, {-1, -1}, {1, 1}},
      {"  active_joint_limits: {c: [-0.5, 0.25]}\n", {"a", "b", "c", "d"}, {-1, -1, -0.5, 0.1}, {1, 1, 0.25, 0.9}},
  };
  // clang-format on
  for (const auto& [extra, active, lower, upper] : cases) {
    const HandJointMetadata meta = metadata_with(extra);
    EXPECT_EQ(meta.active_joint_names, active) << extra;
    EXPECT_EQ(meta.active_lower, lower) << extra;
    EXPECT_EQ(meta.active_upper, upper) << extra;
  }
  const HandJointMetadata meta = metadata_with(
      "  active_joint_order: [a, d]\n  passive_joint_couplings: [{driver: a, child: b, multiplier: 2}]\n");
  // c is neither active nor coupled: it keeps its rest value; b follows a.
  EXPECT_EQ(expand(meta, {0.1, 0.2, 0.3, 0.4}, {0.25, 2.0}), (Vec{0.25, 0.5, 0.3, 0.9}));
  EXPECT_EQ(select_active(meta, {-7, 0, 0, 0.5}), (Vec{-1, 0.5}));
  EXPECT_EQ(error_text([&] {
              project_passive(meta, {0, 0, 0});
            }),
            "Full hand joint vector has the wrong size");
  EXPECT_EQ(error_text([] { angle_unit_scale(" rad"); }), "Unsupported passive coupling angle unit:  rad");
  for (const char* unit : {"", "rad", "radians"}) EXPECT_EQ(angle_unit_scale(unit), 1.0) << unit;
  for (const char* unit : {"deg", "degree"}) EXPECT_EQ(angle_unit_scale(unit), 57.29577951308232) << unit;
}

TEST(PoseLibrary, ValuesSpellingsLimitsAndErrors) {
  TempDir dir;
  const std::map<std::string, PoseJointSpec> specs{{"thumb", {{"right_t1", "right_t2"}, {1.0, -2.0}}},
                                                   {"first", {{"rh_f1"}, {1.0}}}};
  const std::vector<std::string> joints{"right_t1", "right_t2", "rh_f1", "right_x", "left_y", "right_z", "w"};
  const auto load = [&](const std::string& text, const std::string& name) {
    return load_pose(write_file(dir / "pose_library.yaml", text), name, specs, joints,
                     {-1, -1, -1, -1, -1, 0.1, -1}, {1, 1, 1, 1, 1, 1, 1});
  };
  const std::string library =
      "poses:\n"
      "  - name: grip\n    finger_angles_rad: {thumb: [0.2, 0.3], first: [0.4]}\n"
      "    joint_angles_rad: {rh_x: 0.25, lh_y: -0.5, right_z: 0.5, rh_z: 0.7, right_t1: 5, w: 0.125}\n"
      "  - name: grip\n    joint_angles_rad: {w: 0.9}\n"
      "  - name: shifted\n    finger_angles_rad: {thumb: [0.2, 0.3], first: [0.4]}\n"
      "    joint_angles_rad: {right_f1: 0.6}\n";
  // right_t2 gets -2 × 0.3; right_t1 is overridden by joint_angles_rad and clamped; right_x/left_y take the
  // rh_/lh_ spellings; right_z prefers its own name; the second "grip" entry is never read.
  EXPECT_EQ(load(library, "grip"), (Vec{1.0, -0.6, 0.4, 0.25, -0.5, 0.5, 0.125}));
  // A joint named rh_ takes a value stored under right_; absent joints get 0 clamped into their limits.
  EXPECT_EQ(load(library, "shifted"), (Vec{0.2, -0.6, 0.4, 0.0, 0.0, 0.1, 0.0}));
  const std::tuple<const char*, const char*, const char*> errors[] = {
      {"poses:\n  - name: a\n", "b", "Unsupported hand pose: b"},
      {"poses: {name: a}\n", "a", "Unsupported hand pose: a"},
      {"poses:\n  - name: a\n    finger_angles_rad: {thumb: [0, 0]}\n", "a",
       "Pose a is missing finger: first"},
      {"poses:\n  - name: a\n    finger_angles_rad: {thumb: [0], first: [0]}\n", "a",
       "Pose a finger thumb has the wrong joint count"},
  };
  for (const auto& [text, pose, message] : errors)
    EXPECT_EQ(error_text([&load, text = text, pose = pose] { load(text, pose); }), message);
}

}  // namespace
}  // namespace kelto::hand::detail
