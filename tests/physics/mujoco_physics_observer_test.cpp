// The physics observer on small MJCF fixtures: settings, control clamping, the hand-type switches and
// the ownership of a generated model file.
#include "physics/mujoco_physics_observer.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "physics_fixtures.hpp"

namespace kelto::test {
namespace {

namespace fs = std::filesystem;
using hand::Config;
using hand::MujocoPhysicsObserver;

// Light arms turning about z, no gravity, no collisions: j1 with a control-limited position actuator, j2
// limited and unactuated, j3 with an unlimited position actuator.
std::string arm_model(const std::string& prefix = "") {
  const std::string p = prefix;
  return "<mujoco><compiler angle=\"radian\"/><option timestep=\"0.002\" gravity=\"0 0 0\"/>\n"
         "<default><geom type=\"capsule\" size=\"0.01\" fromto=\"0 0 0 0.1 0 0\" contype=\"0\" "
         "conaffinity=\"0\"/>"
         "</default>\n<worldbody>\n"
         "<body><joint name=\"" +
         p +
         "j1\" axis=\"0 0 1\" damping=\"1\"/><geom/></body>\n"
         "<body pos=\"0 0.5 0\"><joint name=\"" +
         p +
         "j2\" axis=\"0 0 1\" range=\"-0.5 0.5\"/><geom/></body>\n"
         "<body pos=\"0 1 0\"><joint name=\"" +
         p +
         "j3\" axis=\"0 0 1\" damping=\"1\"/><geom/></body>\n"
         "</worldbody>\n<actuator><position joint=\"" +
         p +
         "j1\" kp=\"50\" ctrlrange=\"-1 1\"/>"
         "<position joint=\"" +
         p + "j3\" kp=\"50\"/></actuator></mujoco>\n";
}

// A ball on a heavily damped, unactuated slide overlaps a fixed block when posed at -1 and is clear of it
// at 0; a finger with a slow position actuator takes no part in collisions.
constexpr const char* kContactModel = R"(<mujoco><option timestep="0.002" gravity="0 0 0"/><worldbody>
  <geom type="box" size="0.05 0.05 0.05"/>
  <body pos="1 0 0"><joint name="mover" type="slide" axis="1 0 0" damping="1e6"/><geom type="sphere" size="0.02"/></body>
  <body pos="0 1 0"><joint name="finger" axis="0 0 1" damping="1"/>
    <geom type="capsule" size="0.01" fromto="0 0 0 0.1 0 0" contype="0" conaffinity="0"/></body>
</worldbody><actuator><position joint="finger" kp="1"/></actuator></mujoco>
)";

// A tilted box dropped on a tilted floor; its free joint's motor stays at zero, so the joint's first
// coordinate follows the simulation, which depends on how far the constraint solver iterates.
constexpr const char* kDropModel = R"(<mujoco><worldbody>
  <geom type="plane" size="1 1 0.1" euler="0.2 0.1 0"/>
  <body pos="0 0 0.07" euler="0.3 0.2 0.1"><freejoint name="box"/><geom type="box" size="0.05 0.04 0.03"/></body>
</worldbody><actuator><motor joint="box" gear="1 0 0 0 0 0"/></actuator></mujoco>
)";

// The configuration at <tmp>/conf/system.yaml, the model beside it at resources/mujoco/<file>.
class Observer : public ::testing::Test {
 protected:
  Config setup(const std::string& model_xml, const std::string& yaml, const std::string& side = "right",
               const std::string& file = "") {
    write_file(dir_ / "conf/resources/mujoco" / (file.empty() ? side + ".xml" : file), model_xml);
    return write_and_load_config(config_path(), yaml, side);
  }
  MujocoPhysicsObserver make(const std::string& model_xml, const std::string& yaml) {
    return MujocoPhysicsObserver(setup(model_xml, yaml), config_path(), "right");
  }
  fs::path config_path() const { return dir_ / "conf/system.yaml"; }

  TempDir dir_;
  ScopedProcessState state_{dir_ / "work"};
  ScopedEnv home_{"KELTO_HOME", (dir_ / "home").string()};
};

TEST_F(Observer, PhysicsIsEnabledBySdkKeyThenViewerKey) {
  for (const auto& [yaml, enabled] : std::vector<std::pair<std::string, bool>>{
           {"{}", false},
           {"viewer: {physics_enabled: true}", true},
           {"kelto_sdk: {physics_enabled: false}\nviewer: {physics_enabled: true}", false},
           {"kelto_sdk: {physics_enabled: true}", true}}) {
    EXPECT_EQ(hand::sdk_physics_enabled(write_and_load_config(config_path(), yaml)), enabled) << yaml;
  }
}

TEST_F(Observer, StepsPerRenderIsAWholeNumberOfAtLeastOne) {
  for (const auto& [value, steps] : std::vector<std::pair<std::string, int>>{
           {"", 1}, {"0", 1}, {"1", 1}, {"-4", 1}, {"1.9", 1}, {"3", 3}, {"2.7", 2}}) {
    SCOPED_TRACE("steps_per_render " + value);
    auto observer =
        make(arm_model(), "hand: {type: arm}\n" +
                              (value.empty() ? "" : "viewer: {physics_steps_per_render: " + value + "}\n"));
    EXPECT_EQ(observer.step_count(), 0);
    observer.observe({"j1"}, {0.1});
    observer.observe({}, {});
    EXPECT_EQ(observer.step_count(), 2 * steps);
  }
}

TEST_F(Observer, ActuatorsFollowClampedCommandsAndOtherJointsArePosed) {
  auto observer = make(arm_model(), "hand: {type: arm}\nviewer: {physics_steps_per_render: 300}\n");
  EXPECT_EQ(observer.actuator_count(), 2);
  EXPECT_EQ(observer.collision_geom_count(), 0);
  struct Case {
    double j1, j2, j3, expect_j1;
  };
  for (const Case& c : {Case{0.5, 0.3, 2.0, 0.5}, Case{5.0, -0.2, -3.0, 1.0}, Case{-7.0, 0.0, 0.25, -1.0}}) {
    const auto out = observer.observe({"j1", "j2", "unknown", "j3"}, {c.j1, c.j2, 9.5, c.j3, -4.0});
    ASSERT_EQ(out.size(), 5u);
    EXPECT_NEAR(out[0], c.expect_j1, 1e-3) << "driven to the command clamped into [-1, 1]";
    EXPECT_NEAR(out[1], c.j2, 1e-12) << "unactuated, posed directly";
    EXPECT_EQ(out[2], 9.5) << "a name the model lacks";
    EXPECT_NEAR(out[3], c.j3, 1e-3) << "control not limited";
    EXPECT_EQ(out[4], -4.0) << "a value without a name";
  }
  EXPECT_EQ(observer.observe({"j2", "j1"}, {0.1}).size(), 1u);
}

TEST_F(Observer, ResetQvelStopsAJointThatSitsOnItsCommand) {
  for (const bool reset : {false, true}) {
    auto observer = make(arm_model(), std::string("hand: {type: arm}\nviewer: {physics_reset_qvel: ") +
                                          (reset ? "true" : "false") + "}\n");
    const double moving = observer.observe({"j1"}, {1.0})[0];
    // Commanded where it is, only its velocity can move the joint.
    const double next = observer.observe({"j1"}, {moving})[0];
    EXPECT_EQ(next == moving, reset) << moving << " -> " << next;
  }
}

TEST_F(Observer, SolverIterationSettingsReachTheModel) {
  auto settle = [&](const std::string& viewer) {
    auto observer =
        make(kDropModel, "hand: {type: drop}\nviewer: {physics_steps_per_render: 5" + viewer + "}\n");
    double x = 0;
    for (int frame = 0; frame < 20; ++frame) x = observer.observe({"box"}, {0.0})[0];
    return x;
  };
  const double one_iteration = settle(", physics_iterations: 1");
  EXPECT_NE(one_iteration, settle(""));
  EXPECT_NE(settle(", physics_iterations: 1, physics_ls_iterations: 1"), one_iteration);
  EXPECT_EQ(settle(", physics_iterations: 1.7, physics_ls_iterations: 0"),
            settle(", physics_iterations: 1, physics_ls_iterations: 1"));
}

TEST_F(Observer, ContactHoldOfZarv3DampsTheFrameOfAContactAndTheTwoAfter) {
  // The finger is far below its command and keeps moving up. While the hold is active it moves at most
  // 0.01 rad in a frame whose command stays put and not at all in one whose command moves against it.
  enum Motion { kFree, kLimited, kFrozen };
  struct Frame {
    double mover, command;
    Motion motion;
  };
  const std::vector<std::pair<std::string, std::vector<Frame>>> sequences = {
      {"zarv3",
       {{0, 1, kFree}, {-1, 1, kLimited}, {0, 1, kLimited}, {0, 1, kLimited}, {0, 1, kFree}, {0, 1, kFree}}},
      {"zarv3",
       {{0, 1, kFree},
        {-1, 1, kLimited},
        {-1, 1, kLimited},
        {0, 0.9, kFrozen},
        {0, 0.9, kLimited},
        {0, 0.9, kFree}}},
      {"other", {{0, 1, kFree}, {-1, 1, kFree}, {0, 0.9, kFree}, {0, 0.9, kFree}}},
  };
  for (const auto& [hand_type, frames] : sequences) {
    auto observer =
        make(kContactModel, "hand: {type: " + hand_type + "}\nviewer: {physics_steps_per_render: 25}\n");
    EXPECT_EQ(observer.collision_geom_count(), 2);
    double previous = 0.0;
    for (std::size_t f = 0; f < frames.size(); ++f) {
      SCOPED_TRACE(hand_type + " frame " + std::to_string(f));
      const double finger = observer.observe({"mover", "finger"}, {frames[f].mover, frames[f].command})[1];
      EXPECT_EQ(observer.contact_count() > 0, frames[f].mover < 0);
      const double moved = finger - previous;
      previous = finger;
      if (frames[f].motion == kFree) {
        EXPECT_GT(moved, 0.02);
      } else {
        EXPECT_NEAR(moved, frames[f].motion == kLimited ? 0.01 : 0.0, 1e-12);
      }
    }
  }
}

TEST_F(Observer, Plekt5PrefixesJointNamesAndClampsLimitedJoints) {
  // The physics variant is what plekt5 loads; other hand types load left.xml.
  setup(arm_model("left_viewer_"), "hand: {type: arm}\n", "left");
  const Config config =
      setup(arm_model("left_viewer_"), "hand: {type: plekt5}\n", "left", "left_physics.xml");
  MujocoPhysicsObserver plekt5(config, config_path(), "left");
  EXPECT_EQ(plekt5.model_path().filename(), "left_physics.xml");
  EXPECT_EQ(plekt5.observe({"j2", "left_viewer_j2"}, {2.0, 3.0}), (std::vector<double>{0.5, 3.0}));
  EXPECT_EQ(plekt5.observe({"j2"}, {-0.75}), std::vector<double>{-0.5});

  MujocoPhysicsObserver other(setup(arm_model("left_viewer_"), "hand: {type: arm}\n", "left"), config_path(),
                              "left");
  const auto out = other.observe({"j2", "left_viewer_j2"}, {2.0, 2.0});
  EXPECT_EQ(out[0], 2.0) << "no prefix";
  EXPECT_GT(out[1], 1.0) << "only the soft limit pulls it back";
}

TEST_F(Observer, ConstructionFailures) {
  const std::string joint = "<worldbody><body><joint name=\"j\"/><geom size=\"0.1\"/></body></worldbody>";
  const std::string model = fs::canonical(dir_.path()).string() + "/conf/resources/mujoco/right.xml";
  const std::string tendon =
      "<tendon><fixed name=\"t\"><joint joint=\"j\" coef=\"1\"/></fixed></tendon>"
      "<actuator><motor tendon=\"t\"/></actuator>";
  for (const std::string& xml :
       {"<mujoco>" + joint + "</mujoco>", "<mujoco>" + joint + tendon + "</mujoco>"}) {
    try {
      make(xml, "hand: {type: arm}\n");
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(error.what(), "MuJoCo physics model has no joint actuators: " + model);
    }
  }
  try {
    make("<mujoco><worldbody><body>", "hand: {type: arm}\n");
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    const std::string prefix = "MuJoCo model load failed: ";
    EXPECT_EQ(std::string(error.what()).rfind(prefix, 0), 0u);
    EXPECT_GT(std::string(error.what()).size(), prefix.size()) << "followed by MuJoCo's reason";
  }
  EXPECT_THROW(make(arm_model(), "hand: {}\n"), std::out_of_range);
  try {
    MujocoPhysicsObserver(setup(arm_model(), "hand: {type: arm}\n"), config_path(), "middle");
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "cannot locate MuJoCo model for arm/middle");
  }
}

TEST_F(Observer, GeneratedModelBelongsToTheObserver) {
  const std::string personalised =
      "hand:\n  type: dynamic_openxr_hand\n  anthropometry:\n    enabled: true\n    fingers: {first: "
      "{proximal: 0.05}}\n";
  const fs::path generated = dir_ / "home/glove/algorithms/cache/dynamic_openxr_hand/default_right.xml";
  const std::string bundled = read_file(bundled_mjcf("right"));
  {
    auto observer = std::make_unique<MujocoPhysicsObserver>(make(bundled, personalised));
    EXPECT_EQ(observer->model_path(), generated);
    MujocoPhysicsObserver moved(std::move(*observer));
    observer.reset();
    EXPECT_TRUE(fs::is_regular_file(generated)) << "the moved-to observer owns it";
  }
  EXPECT_FALSE(fs::exists(generated));

  { auto observer = make(bundled, "hand: {type: dynamic_openxr_hand}\n"); }
  EXPECT_TRUE(fs::is_regular_file(dir_ / "conf/resources/mujoco/right.xml")) << "a template is never removed";

  // A generated model that then fails to load leaves nothing behind.
  const std::string without_actuators = bundled.substr(0, bundled.find("<actuator>")) + "</mujoco>\n";
  EXPECT_THROW(make(without_actuators, personalised), std::runtime_error);
  EXPECT_FALSE(fs::exists(generated));
}

}  // namespace
}  // namespace kelto::test
