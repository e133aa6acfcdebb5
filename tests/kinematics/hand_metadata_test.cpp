#include "kinematics/hand_metadata.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "config/config.hpp"
#include "config/resource_root.hpp"
#include "kinematics/toy_hand.hpp"
#include "support/test_files.hpp"

namespace kelto::hand::detail {
namespace {

using test::TempDir;
using test::write_file;
using Vec = std::vector<double>;

std::string error_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no error>";
}

class ScopedResourceRoot {
 public:
  explicit ScopedResourceRoot(const std::filesystem::path& root) : saved_(runtime_resource_root()) {
    set_runtime_resource_root(root);
  }
  ~ScopedResourceRoot() { set_runtime_resource_root(saved_); }

 private:
  std::filesystem::path saved_;
};

Config load_text(const TempDir& dir, const std::string& name, const std::string& text) {
  return Config::load(write_file(dir / name, text), "", "");
}

// ---------------------------------------------------------------------------------------------------------
// Resource lookup

TEST(HandResourceLookup, SearchOrder) {
  TempDir tmp;
  const std::string system = "hand: {type: toy_hand}\nretargeting: {finger_order: [thumb]}\n";
  auto make_resources = [&tmp](const std::string& relative) {
    std::filesystem::create_directories(tmp / relative);
    return std::filesystem::weakly_canonical(tmp / relative);
  };
  // A configuration inside a hand tree gets __resource_root__; one in a plain folder does not.
  const auto tree_config = write_file(tmp / "tree/hands/toy_hand/toy_hand_system.yaml", system);
  const auto tree_resources = make_resources("tree/hands/toy_hand/resources");
  const auto process_resources = make_resources("process/hands/toy_hand/resources");
  const auto plain_config = write_file(tmp / "plain/system.yaml", system);
  const auto plain_resources = make_resources("plain/resources");
  const auto deep_config = write_file(tmp / "up/a/b/system.yaml", system);
  const auto ancestor_resources = make_resources("up/kelto_hand/resources/hands/toy_hand/resources");
  const auto lonely_config = write_file(tmp / "lonely/system.yaml", system);

  struct Case {
    const char* name;
    std::filesystem::path process_root;
    std::filesystem::path config;
    std::filesystem::path expected;
  };
  const Case cases[] = {
      {"process_root_first", tmp / "process", tree_config, process_resources},
      {"reserved_key_next", {}, tree_config, tree_resources},
      {"beside_config", {}, plain_config, plain_resources},
      // A process root without the hand only opens the ancestor search; its path stays when that fails.
      {"process_root_without_hand_keeps_its_path", tmp / "elsewhere", plain_config,
       tmp / "elsewhere/hands/toy_hand/resources"},
      {"ancestor_search", {}, deep_config, ancestor_resources},
      {"ancestor_search_after_bad_process_root", tmp / "elsewhere", deep_config, ancestor_resources},
      {"nothing_found_keeps_config_dir",
       {},
       lonely_config,
       std::filesystem::weakly_canonical(tmp / "lonely") / "resources"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedResourceRoot root(c.process_root);
    std::string type;
    std::vector<std::string> fingers;
    const HandResourcePaths paths =
        locate_hand_resources(Config::load(c.config, "", ""), "left", type, fingers);
    EXPECT_EQ(paths.resource_dir.lexically_normal(), c.expected.lexically_normal());
    EXPECT_EQ(paths.metadata, paths.resource_dir / "pinocchio" / "metadata.yaml");
    EXPECT_EQ(paths.pose_library, paths.resource_dir.parent_path() / "pose_library.yaml");
    EXPECT_EQ(type, "toy_hand");
    EXPECT_EQ(fingers, std::vector<std::string>{"thumb"});
  }
}

TEST(HandResourceLookup, UrdfFallsBackToSideFolder) {
  TempDir tmp;
  ScopedResourceRoot root({});
  const auto config = write_file(tmp / "h/hands/toy_hand/toy_hand_system.yaml",
                                 "hand: {type: toy_hand}\nretargeting: {finger_order: [thumb]}\n");
  const auto pinocchio = tmp / "h/hands/toy_hand/resources/pinocchio";
  write_file(pinocchio / "right.urdf", "<robot/>");
  write_file(pinocchio / "left/hand.urdf", "<robot/>");
  std::string type;
  std::vector<std::string> fingers;
  const Config loaded = Config::load(config, "", "");
  EXPECT_EQ(locate_hand_resources(loaded, "right", type, fingers).urdf.filename(), "right.urdf");
  const auto left = locate_hand_resources(loaded, "left", type, fingers).urdf;
  EXPECT_EQ(left.filename(), "hand.urdf");
  EXPECT_EQ(left.parent_path().filename(), "left");
}

TEST(HandResourceLookup, MissingMetadataFile) {
  TempDir tmp;
  ScopedResourceRoot root({});
  // A missing metadata file is the configuration store's missing-file error.
  const std::string message = error_of([&] {
    load_hand_metadata(load_text(tmp, "c.yaml", "hand: {type: x}\nretargeting: {finger_order: [thumb]}\n"),
                       "left");
  });
  EXPECT_EQ(message.rfind("Config file was not found: ", 0), 0u) << message;
  EXPECT_NE(message.find("resources/pinocchio/metadata.yaml"), std::string::npos) << message;
}

// ---------------------------------------------------------------------------------------------------------
// Metadata: couplings, active joints and projection

// A hand with joints a, b, c, d (limits [-1, 1], d [0.1, 0.9]) whose metadata side section ends with `extra`.
HandJointMetadata metadata_with(const TempDir& dir, const std::string& extra) {
  const std::string text =
      "left:\n"
      "  joint_order: [a, b, c, d]\n"
      "  joint_limits_rad: {a: [-1, 1], b: [-1, 1]}\n"
      "  joint_limits: {b: [-5, 5], c: [-1, 1], d: [0.1, 0.9]}\n"
      "  pose_joint_names: {thumb: [a]}\n" +
      extra;
  const auto resources = dir / "hands/toy_hand/resources";
  write_file(resources / "pinocchio/metadata.yaml", text);
  const auto config = write_file(dir / "hands/toy_hand/toy_hand_system.yaml",
                                 "hand: {type: toy_hand}\nretargeting: {finger_order: [thumb]}\n");
  return load_hand_metadata(Config::load(config, "", "left"), "left");
}

TEST(HandJointMetadata, LimitsPreferRadiansKey) {
  TempDir tmp;
  ScopedResourceRoot root({});
  const HandJointMetadata meta = metadata_with(tmp, "");
  EXPECT_EQ(meta.lower, (Vec{-1, -1, -1, 0.1}));
  EXPECT_EQ(meta.upper, (Vec{1, 1, 1, 0.9}));
  EXPECT_EQ(meta.active_joint_names, (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(meta.pose_joint_specs.at("thumb").multipliers, Vec{1.0});
}

TEST(HandJointMetadata, CouplingForms) {
  struct Case {
    const char* name;
    const char* extra;
    Vec input;     // full vector a, b, c, d
    Vec expected;  // after projection
  };
  const double deg = 57.29577951308232;
  const Case cases[] = {
      {"form1_defaults",
       "  passive_joint_couplings: [{driver: a, child: c}]\n",
       {0.4, 0, 0, 0.5},
       {0.4, 0, 0.4, 0.5}},
      {"form1_offset_multiplier",
       "  passive_joint_couplings: [{driver: a, child: c, offset: 0.1, multiplier: -2}]\n",
       {0.2, 0, 0, 0.5},
       {0.2, 0, -0.3, 0.5}},
      {"form1_empty_falls_back",
       "  passive_joint_couplings: []\n  passive_couplings: [{independent_joint: a, dependent_joint: b, "
       "polycoef: [0, 3]}]\n",
       {0.1, 0, 0, 0.5},
       {0.1, 0.1 * 3, 0, 0.5}},
      {"equality_constraints_preferred",
       "  equality_constraints: [{independent_joint: a, dependent_joint: b, polycoef: [0.5]}]\n"
       "  passive_couplings: [{independent_joint: a, dependent_joint: c, polycoef: [0.7]}]\n",
       {0.1, 0, 0, 0.5},
       {0.1, 0.5, 0, 0.5}},
      {"degrees_both_ways",
       "  passive_couplings: [{independent_joint: a, dependent_joint: b, polycoef: [0, 2], input_unit: deg, "
       "output_unit: deg}]\n",
       {0.2, 0, 0, 0.5},
       {0.2, 0.4, 0, 0.5}},
      {"degrees_input_only",
       "  passive_couplings: [{independent_joint: a, dependent_joint: b, polycoef: [0, 2], input_unit: "
       "degree}]\n",
       {0.005, 0, 0, 0.5},
       {0.005, 2 * deg * 0.005, 0, 0.5}},
      {"quadratic_radians",
       "  passive_couplings: [{independent_joint: a, dependent_joint: b, polycoef: [0.1, 0, 2], input_unit: "
       "rad, "
       "output_unit: radians}]\n",
       {0.5, 0, 0, 0.5},
       {0.5, 0.1 + 2 * 0.25, 0, 0.5}},
      {"empty_coefficients_clamped",
       "  passive_couplings: [{independent_joint: a, dependent_joint: d, polycoef: []}]\n",
       {0.5, 0, 0, 0.5},
       {0.5, 0, 0, 0.1}},
      {"child_clamped",
       "  passive_joint_couplings: [{driver: a, child: d, multiplier: 10}]\n",
       {0.5, 0, 0, 0.5},
       {0.5, 0, 0, 0.9}},
      // Listed child-first: a → b → c settles through the second pass.
      {"chain_any_order",
       "  passive_joint_couplings: [{driver: b, child: c, multiplier: 0.5}, {driver: a, child: b, "
       "multiplier: 0.5}]\n",
       {0.8, 0, 0, 0.5},
       {0.8, 0.4, 0.2, 0.5}},
      // Fixed joints are zeroed before the couplings, so a fixed child keeps its coupled value.
      {"fixed_child_keeps_coupled_value",
       "  fixed_joint_names: [c, a_missing_joint]\n  passive_joint_couplings: [{driver: a, child: c}]\n",
       {0.3, 0, 0.9, 0.5},
       {0.3, 0, 0.3, 0.5}},
      {"fixed_driver_is_zero",
       "  fixed_joint_names: [a]\n  passive_joint_couplings: [{driver: a, child: c, offset: 0.2}]\n",
       {0.3, 0.7, 0.9, 0.5},
       {0, 0.7, 0.2, 0.5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    ScopedResourceRoot root({});
    const HandJointMetadata meta = metadata_with(tmp, c.extra);
    const Vec projected = project_passive(meta, c.input);
    ASSERT_EQ(projected.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(projected[i], c.expected[i], 1e-12) << "joint " << i;
  }
}

TEST(HandJointMetadata, ProjectionClampsAndChecksSize) {
  TempDir tmp;
  ScopedResourceRoot root({});
  const HandJointMetadata meta = metadata_with(tmp, "");
  EXPECT_EQ(project_passive(meta, {-3, 3, 0.25, 0}), (Vec{-1, 1, 0.25, 0.1}));
  EXPECT_EQ(error_of([&] { project_passive(meta, {0, 0, 0}); }), "Full hand joint vector has the wrong size");
  EXPECT_EQ(error_of([&] {
              select_active(meta, {0, 0, 0, 0, 0});
            }),
            "Full hand joint vector has the wrong size");
  EXPECT_EQ(error_of([&] {
              expand(meta, {0, 0, 0, 0}, {0, 0});
            }),
            "Active hand joint vector has the wrong size");
}

TEST(HandJointMetadata, ActiveJointChoice) {
  struct Case {
    const char* name;
    const char* extra;
    std::vector<std::string> active;
    Vec lower;
    Vec upper;
  };
  const Case cases[] = {
      {"order_is_a_filter_only", "  active_joint_order: [d, nothing, b]\n", {"b", "d"}, {-1, 0.1}, {1, 0.9}},
      {"coupled_child_stays_passive",
       "  active_joint_order: [c, a]\n  passive_joint_couplings: [{driver: a, child: c}]\n",
       {"a"},
       {-1},
       {1}},
      {"fixed_excluded", "  fixed_joint_names: [b, d]\n", {"a", "c"}, {-1, -1}, {1, 1}},
      {"active_limits_override",
       "  active_joint_limits: {c: [-0.5, 0.25]}\n",
       {"a", "b", "c", "d"},
       {-1, -1, -0.5, 0.1},
       {1, 1, 0.25, 0.9}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    ScopedResourceRoot root({});
    const HandJointMetadata meta = metadata_with(tmp, c.extra);
    EXPECT_EQ(meta.active_joint_names, c.active);
    EXPECT_EQ(meta.active_lower, c.lower);
    EXPECT_EQ(meta.active_upper, c.upper);
  }
}

TEST(HandJointMetadata, ExpandKeepsRestValuesAndSelectProjects) {
  TempDir tmp;
  ScopedResourceRoot root({});
  const HandJointMetadata meta = metadata_with(
      tmp,
      "  active_joint_order: [a, d]\n  passive_joint_couplings: [{driver: a, child: b, multiplier: 2}]\n");
  ASSERT_EQ(meta.active_indices, (std::vector<std::size_t>{0, 3}));
  const Vec rest{0.1, 0.2, 0.3, 0.4};
  // c is neither active nor coupled: it keeps its rest value; b follows a.
  EXPECT_EQ(expand(meta, rest, {0.25, 2.0}), (Vec{0.25, 0.5, 0.3, 0.9}));
  EXPECT_EQ(select_active(meta, {-7, 0, 0, 0.5}), (Vec{-1, 0.5}));
}

TEST(HandJointMetadata, PoseJointSpecsFollowFingerOrder) {
  TempDir tmp;
  ScopedResourceRoot root({});
  const std::string metadata =
      "right:\n  joint_order: [j1, j2, j3]\n  joint_limits: {j1: [-1, 1], j2: [-1, 1], j3: [-1, 1]}\n"
      "  pose_joint_names: {first: [j1, j2]}\n  pose_joint_multipliers: {first: [2, -1]}\n"
      "native_pose_joint_names:\n  right: {little: [j3], first: [j3]}\n";
  write_file(tmp / "hands/h/resources/pinocchio/metadata.yaml", metadata);
  const auto config = write_file(tmp / "hands/h/h_system.yaml",
                                 "hand: {type: h}\nretargeting: {finger_order: [little, first]}\n");
  const HandJointMetadata meta = load_hand_metadata(Config::load(config, "", ""), "right");
  ASSERT_EQ(meta.pose_joint_specs.size(), 2u);
  EXPECT_EQ(meta.pose_joint_specs.at("first").joints, (std::vector<std::string>{"j1", "j2"}));
  EXPECT_EQ(meta.pose_joint_specs.at("first").multipliers, (Vec{2, -1}));
  EXPECT_EQ(meta.pose_joint_specs.at("little").joints, std::vector<std::string>{"j3"});
  EXPECT_EQ(meta.finger_order, (std::vector<std::string>{"little", "first"}));
}

TEST(HandJointMetadata, AngleUnits) {
  for (const char* unit : {"", "rad", "radian", "radians"}) EXPECT_EQ(angle_unit_scale(unit), 1.0) << unit;
  for (const char* unit : {"deg", "degree", "degrees"})
    EXPECT_EQ(angle_unit_scale(unit), 57.29577951308232) << unit;
  for (const char* unit : {"Deg", "RAD", "grad", " rad"}) {
    EXPECT_EQ(error_of([&] { angle_unit_scale(unit); }),
              std::string("Unsupported passive coupling angle unit: ") + unit);
  }
}

// ---------------------------------------------------------------------------------------------------------
// Pose library

struct PoseFixture {
  TempDir dir;
  std::map<std::string, PoseJointSpec> specs{{"thumb", {{"right_t1", "right_t2"}, {1.0, -2.0}}},
                                             {"first", {{"rh_f1"}, {1.0}}}};
  std::vector<std::string> joints{"right_t1", "right_t2", "rh_f1", "right_x", "left_y", "right_z", "w"};
  Vec lower{-1, -1, -1, -1, -1, 0.1, -1};
  Vec upper{1, 1, 1, 1, 1, 1, 1};

  Vec load(const std::string& text, const std::string& name) {
    return load_pose(write_file(dir / "pose_library.yaml", text), name, specs, joints, lower, upper);
  }
};

TEST(PoseLibrary, ValuesSpellingsAndLimits) {
  PoseFixture f;
  const std::string library =
      "poses:\n"
      "  - name: grip\n"
      "    finger_angles_rad: {thumb: [0.2, 0.3], first: [0.4]}\n"
      "    joint_angles_rad: {rh_x: 0.25, lh_y: -0.5, right_z: 0.5, rh_z: 0.7, right_t1: 5, w: 0.125}\n"
      "  - name: grip\n"
      "    joint_angles_rad: {w: 0.9}\n"
      "  - name: shifted\n"
      "    finger_angles_rad: {thumb: [0.2, 0.3], first: [0.4]}\n"
      "    joint_angles_rad: {right_f1: 0.6}\n";
  // right_t2 gets -2 × 0.3; right_t1 is overridden by joint_angles_rad and clamped; right_x/left_y take the
  // rh_/lh_ spellings; right_z prefers its own name; the second "grip" entry is never read.
  EXPECT_EQ(f.load(library, "grip"), (Vec{1.0, -0.6, 0.4, 0.25, -0.5, 0.5, 0.125}));
  // A joint named rh_ takes a value stored under right_; absent joints get 0 clamped into their limits.
  EXPECT_EQ(f.load(library, "shifted"), (Vec{0.2, -0.6, 0.4, 0.0, 0.0, 0.1, 0.0}));
}

TEST(PoseLibrary, Errors) {
  struct Case {
    const char* name;
    const char* library;
    const char* pose;
    const char* message;
  };
  const Case cases[] = {
      {"unknown", "poses:\n  - name: a\n", "b", "Unsupported hand pose: b"},
      {"no_poses", "other: 1\n", "a", "Unsupported hand pose: a"},
      {"poses_not_sequence", "poses: {name: a}\n", "a", "Unsupported hand pose: a"},
      {"missing_finger", "poses:\n  - name: a\n    finger_angles_rad: {thumb: [0, 0]}\n", "a",
       "Pose a is missing finger: first"},
      {"wrong_count", "poses:\n  - name: a\n    finger_angles_rad: {thumb: [0], first: [0]}\n", "a",
       "Pose a finger thumb has the wrong joint count"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PoseFixture f;
    EXPECT_EQ(error_of([&] { f.load(c.library, c.pose); }), c.message);
  }
}

}  // namespace
}  // namespace kelto::hand::detail
