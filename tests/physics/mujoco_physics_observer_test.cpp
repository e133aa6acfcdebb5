// The physics observer on small MJCF fixtures: settings, control clamping, hand-type switches and the
// ownership of a generated model file.
#include "physics/mujoco_physics_observer.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "physics_fixtures.hpp"

namespace kelto::test {
namespace {

namespace fs = std::filesystem;
using hand::Config;
using hand::MujocoPhysicsObserver;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// Three light arms turning about z, no gravity, no collisions: j1 with a control-limited position actuator,
// j2 limited and unactuated, j3 with an unlimited position actuator.
std::string arm_model(const std::string& prefix = "") {
  return R"(<mujoco model="arm">
  <compiler angle="radian"/>
  <option timestep="0.002" gravity="0 0 0"/>
  <default><geom type="capsule" size="0.01" fromto="0 0 0 0.1 0 0" contype="0" conaffinity="0"/></default>
  <worldbody>
    <body name="link1"><joint name=")" +
         prefix + R"(j1" axis="0 0 1" damping="1"/><geom/></body>
    <body name="link2" pos="0 0.5 0"><joint name=")" +
         prefix + R"(j2" axis="0 0 1" range="-0.5 0.5"/><geom/></body>
    <body name="link3" pos="0 1 0"><joint name=")" +
         prefix + R"(j3" axis="0 0 1" damping="1"/><geom/></body>
  </worldbody>
  <actuator>
    <position name="a1" joint=")" +
         prefix + R"(j1" kp="50" ctrlrange="-1 1"/>
    <position name="a3" joint=")" +
         prefix + R"(j3" kp="50"/>
  </actuator>
</mujoco>
)";
}

// A ball on a heavily damped slide (posed directly, unactuated) that overlaps a fixed block at -1 and is
// clear of it at 0, and a finger with a slow position actuator that takes no part in collisions.
constexpr const char* kContactModel = R"(<mujoco model="contact">
  <option timestep="0.002" gravity="0 0 0"/>
  <worldbody>
    <geom name="block" type="box" size="0.05 0.05 0.05"/>
    <body name="mover" pos="1 0 0">
      <joint name="mover" type="slide" axis="1 0 0" damping="1e6"/>
      <geom name="ball" type="sphere" size="0.02"/>
    </body>
    <body name="finger" pos="0 1 0">
      <joint name="finger" axis="0 0 1" damping="1"/>
      <geom type="capsule" size="0.01" fromto="0 0 0 0.1 0 0" contype="0" conaffinity="0"/>
    </body>
  </worldbody>
  <actuator><position joint="finger" kp="1"/></actuator>
</mujoco>
)";

// A system configuration at <tmp>/conf/system.yaml with the model at conf/resources/mujoco/<file>.
class Observer : public ::testing::Test {
 protected:
  Config setup(const std::string& model_xml, const std::string& yaml, const std::string& side = "right",
               const std::string& model_file = "") {
    write_file(dir_ / "conf/resources/mujoco" / (model_file.empty() ? side + ".xml" : model_file), model_xml);
    return write_and_load_config(config_path(), yaml, side);
  }
  fs::path config_path() const { return dir_ / "conf/system.yaml"; }

  TempDir dir_;
  ResourceRootGuard root_guard_;
  ScopedEnv home_{"KELTO_HOME", (dir_ / "home").string()};
};

TEST(PhysicsEnabled, SdkKeyThenViewerKeyThenOff) {
  TempDir dir;
  const std::vector<std::pair<std::string, bool>> cases = {
      {"{}", false},
      {"viewer: {physics_enabled: true}", true},
      {"kelto_sdk: {physics_enabled: false}\nviewer: {physics_enabled: true}", false},
      {"kelto_sdk: {physics_enabled: true}\nviewer: {physics_enabled: false}", true},
  };
  for (const auto& [yaml, enabled] : cases) {
    SCOPED_TRACE(yaml);
    EXPECT_EQ(hand::sdk_physics_enabled(write_and_load_config(dir / "system.yaml", yaml)), enabled);
  }
}

TEST_F(Observer, ReportsItsModel) {
  const Config config = setup(arm_model(), "hand: {type: arm}\n");
  const MujocoPhysicsObserver observer(config, config_path(), "right");
  EXPECT_EQ(observer.model_path(), fs::canonical(dir_ / "conf/resources/mujoco/right.xml"));
  EXPECT_EQ(observer.actuator_count(), 2);
  EXPECT_EQ(observer.collision_geom_count(), 0);
  EXPECT_EQ(observer.step_count(), 0);
  EXPECT_EQ(observer.contact_count(), 0);
}

TEST_F(Observer, StepsPerRenderIsAWholeNumberOfAtLeastOne) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"", 1}, {"0", 1}, {"1", 1}, {"-4", 1}, {"1.9", 1}, {"3", 3}, {"2.7", 2}, {"5", 5},
  };
  for (const auto& [value, steps] : cases) {
    SCOPED_TRACE("steps_per_render " + value);
    const std::string yaml =
        "hand: {type: arm}\n" + (value.empty() ? "" : "viewer: {physics_steps_per_render: " + value + "}\n");
    MujocoPhysicsObserver observer(setup(arm_model(), yaml), config_path(), "right");
    observer.observe({"j1"}, {0.1});
    EXPECT_EQ(observer.step_count(), steps);
    observer.observe({}, {});
    EXPECT_EQ(observer.step_count(), 2 * steps);
  }
}

TEST_F(Observer, ActuatorsFollowClampedCommandsAndOtherJointsArePosed) {
  const Config config = setup(arm_model(), "hand: {type: arm}\nviewer: {physics_steps_per_render: 300}\n");
  MujocoPhysicsObserver observer(config, config_path(), "right");
  struct Case {
    double j1, j2, j3;
    double expect_j1, expect_j3;
  };
  for (const Case& c :
       {Case{0.5, 0.3, 2.0, 0.5, 2.0}, Case{5.0, -0.2, -3.0, 1.0, -3.0}, Case{-7.0, 0.0, 0.25, -1.0, 0.25}}) {
    const auto out = observer.observe({"j1", "j2", "j3"}, {c.j1, c.j2, c.j3});
    ASSERT_EQ(out.size(), 3u);
    EXPECT_NEAR(out[0], c.expect_j1, 1e-3) << "j1 is driven to its command clamped into [-1, 1]";
    EXPECT_NEAR(out[1], c.j2, 1e-12) << "j2 has no actuator and is posed directly";
    EXPECT_NEAR(out[2], c.expect_j3, 1e-3) << "j3's control is not limited";
  }
}

TEST_F(Observer, ValuesWithoutAJointAreReturnedAsGiven) {
  MujocoPhysicsObserver observer(setup(arm_model(), "hand: {type: arm}\n"), config_path(), "right");
  // An unknown name, and a value past the end of the names.
  auto out = observer.observe({"unknown", "j2"}, {7.5, 0.2, -9.0});
  EXPECT_EQ(out, (std::vector<double>{7.5, 0.2, -9.0}));
  // More names than values: the output has one entry per value.
  out = observer.observe({"j2", "j1", "j3"}, {0.1});
  EXPECT_EQ(out, std::vector<double>{0.1});
}

TEST_F(Observer, ResetQvelStopsAJointThatSitsOnItsCommand) {
  for (const bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "no reset");
    const std::string yaml =
        std::string("hand: {type: arm}\nviewer: {physics_reset_qvel: ") + (reset ? "true" : "false") + "}\n";
    MujocoPhysicsObserver observer(setup(arm_model(), yaml), config_path(), "right");
    const double moving = observer.observe({"j1"}, {1.0})[0];
    ASSERT_GT(moving, 0.0);
    // Commanding where the joint is leaves only its velocity to move it.
    const double next = observer.observe({"j1"}, {moving})[0];
    if (reset) {
      EXPECT_EQ(next, moving);
    } else {
      EXPECT_GT(next, moving);
    }
  }
}

// A tilted box dropped on a tilted floor, on a free joint whose motor stays at zero, so that its first
// coordinate follows the simulation. How it settles depends on how far the constraint solver iterates.
constexpr const char* kDropModel = R"(<mujoco model="drop">
  <compiler angle="radian"/>
  <option timestep="0.002"/>
  <worldbody>
    <geom name="floor" type="plane" size="1 1 0.1" euler="0.2 0.1 0"/>
    <body name="box" pos="0 0 0.07" euler="0.3 0.2 0.1">
      <freejoint name="box"/>
      <geom type="box" size="0.05 0.04 0.03"/>
    </body>
  </worldbody>
  <actuator><motor joint="box" gear="1 0 0 0 0 0"/></actuator>
</mujoco>
)";

TEST_F(Observer, SolverIterationSettingsReachTheModel) {
  auto settle = [&](const std::string& viewer) {
    const Config config =
        setup(kDropModel, "hand: {type: drop}\nviewer: {physics_steps_per_render: 5" + viewer + "}\n");
    MujocoPhysicsObserver observer(config, config_path(), "right");
    double x = 0;
    for (int frame = 0; frame < 20; ++frame) x = observer.observe({"box"}, {0.0})[0];
    return x;
  };
  const double reference = settle("");
  const double one_iteration = settle(", physics_iterations: 1");
  EXPECT_NE(one_iteration, reference);
  EXPECT_NE(settle(", physics_iterations: 1, physics_ls_iterations: 1"), one_iteration);
  EXPECT_EQ(settle(", physics_iterations: 1.7, physics_ls_iterations: 0"),
            settle(", physics_iterations: 1, physics_ls_iterations: 1"));
}

TEST_F(Observer, ContactHoldOfZarv3DampsTheFrameOfAContactAndTheTwoAfter) {
  // The finger's command stays at or below 1 rad while it is still far below, so it keeps moving up. While
  // the hold is active, a frame whose command stays put lets it move at most 0.01 rad, and a frame whose
  // command moves against the finger's motion freezes it; otherwise it moves freely.
  enum Motion { kFree, kLimited, kFrozen };
  struct Frame {
    double mover;  // -1 puts the ball in the block
    double command;
    Motion motion;
  };
  struct Sequence {
    const char* label;
    const char* hand_type;
    std::vector<Frame> frames;
  };
  const std::vector<Sequence> sequences = {
      {"contact in frame 1",
       "zarv3",
       {{0, 1.0, kFree},
        {-1, 1.0, kLimited},
        {0, 1.0, kLimited},
        {0, 1.0, kLimited},
        {0, 1.0, kFree},
        {0, 1.0, kFree}}},
      {"command drops while held",
       "zarv3",
       {{0, 1.0, kFree}, {-1, 1.0, kLimited}, {0, 0.9, kFrozen}, {0, 0.9, kLimited}, {0, 0.9, kFree}}},
      {"contact lasting two frames",
       "zarv3",
       {{0, 1.0, kFree},
        {-1, 1.0, kLimited},
        {-1, 1.0, kLimited},
        {0, 1.0, kLimited},
        {0, 1.0, kLimited},
        {0, 1.0, kFree}}},
      {"other hand types do not hold",
       "other",
       {{0, 1.0, kFree}, {-1, 1.0, kFree}, {0, 0.9, kFree}, {0, 0.9, kFree}}},
  };
  for (const Sequence& sequence : sequences) {
    SCOPED_TRACE(sequence.label);
    const Config config = setup(kContactModel, std::string("hand: {type: ") + sequence.hand_type +
                                                   "}\nviewer: {physics_steps_per_render: 25}\n");
    MujocoPhysicsObserver observer(config, config_path(), "right");
    EXPECT_EQ(observer.collision_geom_count(), 2);
    double previous = 0.0;
    for (std::size_t f = 0; f < sequence.frames.size(); ++f) {
      SCOPED_TRACE("frame " + std::to_string(f));
      const Frame& frame = sequence.frames[f];
      const double finger = observer.observe({"mover", "finger"}, {frame.mover, frame.command})[1];
      EXPECT_EQ(observer.contact_count() > 0, frame.mover < 0);
      const double moved = finger - previous;
      switch (frame.motion) {
        case kFree:
          EXPECT_GT(moved, 0.02);
          break;
        case kLimited:
          EXPECT_NEAR(moved, 0.01, 1e-12);
          break;
        case kFrozen:
          EXPECT_EQ(moved, 0.0);
          break;
      }
      previous = finger;
    }
  }
}

TEST_F(Observer, Plekt5PrefixesJointNamesAndClampsLimitedJoints) {
  // The physics variant beside the configuration is the plekt5 model; left.xml is what other types load.
  setup(arm_model("left_viewer_"), "hand: {type: arm}\n", "left");
  const Config config =
      setup(arm_model("left_viewer_"), "hand: {type: plekt5}\n", "left", "left_physics.xml");
  MujocoPhysicsObserver plekt5(config, config_path(), "left");
  EXPECT_EQ(plekt5.model_path().filename(), "left_physics.xml");
  auto out = plekt5.observe({"j2", "left_viewer_j2"}, {2.0, 3.0});
  EXPECT_EQ(out[0], 0.5) << "posed beyond its range, then clamped to it";
  EXPECT_EQ(out[1], 3.0) << "looked up as left_viewer_left_viewer_j2, which does not exist";
  out = plekt5.observe({"j2"}, {-0.75});
  EXPECT_EQ(out[0], -0.5);

  const Config other = setup(arm_model("left_viewer_"), "hand: {type: arm}\n", "left");
  MujocoPhysicsObserver unclamped(other, config_path(), "left");
  out = unclamped.observe({"j2", "left_viewer_j2"}, {2.0, 2.0});
  EXPECT_EQ(out[0], 2.0) << "no prefix for other hand types";
  EXPECT_GT(out[1], 1.0) << "only the soft limit pulls it back";
}

TEST_F(Observer, ConstructionFailures) {
  struct Case {
    const char* label;
    std::string model;
    std::string message_start;
  };
  const std::vector<Case> cases = {
      {"no actuators",
       "<mujoco><worldbody><body><joint name=\"j\"/><geom size=\"0.1\"/></body></worldbody></mujoco>",
       "MuJoCo physics model has no joint actuators: " + fs::canonical(dir_.path()).string() + "/conf/"},
      {"only a tendon actuator",
       R"(<mujoco><worldbody><body><joint name="j"/><geom size="0.1"/></body></worldbody>
          <tendon><fixed name="t"><joint joint="j" coef="1"/></fixed></tendon>
          <actuator><motor tendon="t"/></actuator></mujoco>)",
       "MuJoCo physics model has no joint actuators: /"},
      {"not a model", "<mujoco><worldbody><body>", "MuJoCo model load failed: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const Config config = setup(c.model, "hand: {type: arm}\n");
    try {
      MujocoPhysicsObserver observer(config, config_path(), "right");
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
      EXPECT_THAT(error.what(), StartsWith(c.message_start));
      EXPECT_GT(std::string(error.what()).size(), c.message_start.size()) << "followed by the reason";
    }
  }
  EXPECT_THROW(MujocoPhysicsObserver(setup(arm_model(), "hand: {}\n"), config_path(), "right"),
               std::out_of_range);
  try {
    MujocoPhysicsObserver(setup(arm_model(), "hand: {type: arm}\n"), config_path(), "middle");
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "cannot locate MuJoCo model for arm/middle");
  }
}

TEST_F(Observer, GeneratedModelBelongsToTheObserver) {
  const std::string yaml =
      "hand:\n  type: dynamic_openxr_hand\n  anthropometry:\n    enabled: true\n"
      "    fingers: {first: {proximal: 0.05}}\n";
  const fs::path generated = dir_ / "home/glove/algorithms/cache/dynamic_openxr_hand/default_right.xml";
  {
    const Config config = setup(openxr_hand_fixture("right"), yaml);
    auto observer = std::make_unique<MujocoPhysicsObserver>(config, config_path(), "right");
    EXPECT_EQ(observer->model_path(), generated);
    EXPECT_EQ(observer->actuator_count(), 5);
    MujocoPhysicsObserver moved(std::move(*observer));
    observer.reset();
    EXPECT_TRUE(fs::is_regular_file(generated)) << "the moved-to observer owns it now";
    EXPECT_EQ(moved.observe({"right_index_flexion"}, {0.0}).size(), 1u);
  }
  EXPECT_FALSE(fs::exists(generated));

  // Without anthropometry the template itself is loaded, and it is left in place.
  const Config plain = setup(openxr_hand_fixture("right"), "hand: {type: dynamic_openxr_hand}\n");
  { MujocoPhysicsObserver observer(plain, config_path(), "right"); }
  EXPECT_TRUE(fs::is_regular_file(dir_ / "conf/resources/mujoco/right.xml"));

  // A model that fails to load after generation leaves no file behind.
  std::string no_actuators = openxr_hand_fixture("right");
  no_actuators.erase(
      no_actuators.find("<actuator>"),
      no_actuators.find("</actuator>") + std::string("</actuator>").size() - no_actuators.find("<actuator>"));
  const Config broken = setup(no_actuators, yaml);
  EXPECT_THROW(MujocoPhysicsObserver(broken, config_path(), "right"), std::runtime_error);
  EXPECT_FALSE(fs::exists(generated));
}

}  // namespace
}  // namespace kelto::test
