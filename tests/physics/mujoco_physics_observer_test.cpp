// The physics observer on small MJCF fixtures (settings, clamping, the zarv3 contact hold, the plekt5
// prefix and clamp, failures, the generated model's lifetime) and on the bundled OpenXR-style hand.
#include "physics/mujoco_physics_observer.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <memory>

#include "physics_fixtures.hpp"

namespace kelto::test {
namespace {

namespace fs = std::filesystem;
using hand::Config;
using hand::MujocoPhysicsObserver;

// Arms turning about z, no gravity, no collisions: j1 with a control-limited position actuator, j2 limited
// and unactuated, j3 with an unlimited position actuator, and a limited ball joint.
std::string arm_model(const std::string& p = "") {
  const std::string geom =
      "<geom type='capsule' size='0.01' fromto='0 0 0 0.1 0 0' contype='0' conaffinity='0'/>";
  return "<mujoco><compiler angle='radian'/><option timestep='0.002' gravity='0 0 "
         "0'/><worldbody><body><joint name='" +
         p + "j1' axis='0 0 1' damping='1'/>" + geom + "</body><body pos='0 0.5 0'><joint name='" + p +
         "j2' axis='0 0 1' range='-0.5 0.5'/>" + geom + "</body><body pos='0 1 0'><joint name='" + p +
         "j3' axis='0 0 1' damping='1'/>" + geom + "</body><body pos='0 2 0'><joint name='" + p +
         "ball' type='ball' range='0 0.5'/>" + geom + "</body></worldbody><actuator><position joint='" + p +
         "j1' kp='50' ctrlrange='-1 1'/><position joint='" + p + "j3' kp='50'/></actuator></mujoco>";
}

// A ball on a heavily damped, unactuated slide overlaps a fixed block when posed at -1 and is clear of it
// at 0; a finger with a slow position actuator takes no part in collisions.
constexpr const char* kContactModel = R"(<mujoco><option timestep="0.002" gravity="0 0 0"/><worldbody>
  <geom type="box" size="0.05 0.05 0.05"/>
  <body pos="1 0 0"><joint name="mover" type="slide" axis="1 0 0" damping="1e6"/><geom type="sphere" size="0.02"/></body>
  <body pos="0 1 0"><joint name="finger" axis="0 0 1" damping="1"/>
    <geom type="capsule" size="0.01" fromto="0 0 0 0.1 0 0" contype="0" conaffinity="0"/></body>
</worldbody><actuator><position joint="finger" kp="1"/></actuator></mujoco>)";

// A tilted box dropped on a tilted floor: where it comes to rest depends on the solver's iterations.
constexpr const char* kDropModel = R"(<mujoco><worldbody><geom type="plane" size="1 1 0.1" euler="0.2 0.1 0"/>
  <body pos="0 0 0.07" euler="0.3 0.2 0.1"><freejoint name="box"/><geom type="box" size="0.05 0.04 0.03"/></body>
</worldbody><actuator><motor joint="box" gear="1 0 0 0 0 0"/></actuator></mujoco>)";

// The configuration at <tmp>/conf/system.yaml, the model beside it at resources/mujoco/<file>.
class Observer : public ::testing::Test {
 protected:
  Config setup(const std::string& xml, const std::string& yaml, const std::string& side = "right",
               const std::string& file = "") {
    write_file(dir_ / "conf/resources/mujoco" / (file.empty() ? side + ".xml" : file), xml);
    return write_and_load_config(config_path(), yaml, side);
  }
  MujocoPhysicsObserver make(const std::string& xml, const std::string& yaml) {
    return MujocoPhysicsObserver(setup(xml, yaml), config_path(), "right");
  }
  fs::path config_path() const { return dir_ / "conf/system.yaml"; }

  TempDir dir_;
  ScopedProcessState state_{dir_ / "work"};
  ScopedEnv home_{"KELTO_HOME", (dir_ / "home").string()};
};

TEST_F(Observer, CountSettingsAreWholeNumbersOfAtLeastOneAndNeverOverflow) {
  for (const auto& [yaml, enabled] :
       {std::pair<const char*, bool>{"{}", false},
        {"kelto_sdk: {physics_enabled: false}\nviewer: {physics_enabled: true}", false},
        {"viewer: {physics_enabled: true}", true}}) {
    EXPECT_EQ(hand::sdk_physics_enabled(write_and_load_config(config_path(), yaml)), enabled) << yaml;
  }
  for (const auto& [value, steps] : std::vector<std::pair<std::string, int>>{
           {"~", 1}, {"0", 1}, {"-4", 1}, {"1.9", 1}, {"2.7", 2}, {".nan", 1}, {"-1e300", 1}, {"-.inf", 1}}) {
    const std::string viewer = value == "~" ? "" : "viewer: {physics_steps_per_render: " + value + "}\n";
    auto observer = make(arm_model(), "hand: {type: arm}\n" + viewer);
    observer.observe({"j1"}, {0.1});
    observer.observe({}, {});
    EXPECT_EQ(observer.step_count(), 2 * steps) << value;
  }
  auto settle = [&](const std::string& viewer) {
    auto observer =
        make(kDropModel, "hand: {type: drop}\nviewer: {physics_steps_per_render: 5" + viewer + "}\n");
    double x = 0;
    for (int frame = 0; frame < 20; ++frame) x = observer.observe({"box"}, {0.0})[0];
    return x;
  };
  const double one = settle(", physics_iterations: 1, physics_ls_iterations: 1");
  EXPECT_NE(one, settle(""));
  EXPECT_NE(one, settle(", physics_iterations: 1"));
  EXPECT_EQ(one, settle(", physics_iterations: 1.7, physics_ls_iterations: .nan"));
  EXPECT_EQ(settle(", physics_iterations: 1e300"), settle(", physics_iterations: 2147483647"));
}

TEST_F(Observer, ActuatorsFollowClampedCommandsAndOtherJointsArePosed) {
  auto observer = make(arm_model(), "hand: {type: arm}\nviewer: {physics_steps_per_render: 300}\n");
  EXPECT_EQ(observer.actuator_count(), 2);
  EXPECT_EQ(observer.collision_geom_count(), 0);
  for (const auto& [j1, j2, j3, expect_j1] :
       {std::array<double, 4>{0.5, 0.3, 2.0, 0.5}, {5.0, -0.2, -3.0, 1.0}}) {
    const auto out = observer.observe({"j1", "j2", "unknown", "j3"}, {j1, j2, 9.5, j3, -4.0});
    EXPECT_NEAR(out[0], expect_j1, 1e-3) << "driven to the command clamped into [-1, 1]";
    EXPECT_NEAR(out[1], j2, 1e-12) << "unactuated, posed directly";
    EXPECT_NEAR(out[3], j3, 1e-3) << "control not limited";
    EXPECT_EQ(std::vector<double>(out.begin() + 2, out.end()), (std::vector<double>{9.5, out[3], -4.0}));
  }
  EXPECT_EQ(observer.observe({"j2", "j1"}, {0.1}).size(), 1u);
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
      {"zarv3", {{0, 1, kFree}, {-1, 1, kLimited}, {0, 1, kLimited}, {0, 1, kLimited}, {0, 1, kFree}}},
      {"zarv3", {{0, 1, kFree}, {-1, 1, kLimited}, {-1, 1, kLimited}, {0, 0.9, kFrozen}, {0, 0.9, kLimited}}},
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
      if (frames[f].motion == kFree) {
        EXPECT_GT(finger - previous, 0.02);
      } else {
        EXPECT_NEAR(finger - previous, frames[f].motion == kLimited ? 0.01 : 0.0, 1e-12);
      }
      previous = finger;
    }
  }
}

TEST_F(Observer, Plekt5PrefixesJointNamesAndClampsHingesAndSlidesOnly) {
  setup(arm_model("left_viewer_"), "hand: {type: arm}\n", "left");  // what other hand types load
  MujocoPhysicsObserver plekt5(
      setup(arm_model("left_viewer_"), "hand: {type: plekt5}\n", "left", "left_physics.xml"), config_path(),
      "left");
  EXPECT_EQ(plekt5.model_path().filename(), "left_physics.xml");
  EXPECT_EQ(plekt5.observe({"j2", "left_viewer_j2"}, {2.0, 3.0}), (std::vector<double>{0.5, 3.0}));
  EXPECT_EQ(plekt5.observe({"j2"}, {-0.75}), std::vector<double>{-0.5});
  // A ball joint's range bounds an angle, not the first coordinate of its quaternion.
  EXPECT_EQ(plekt5.observe({"ball"}, {1.0}), std::vector<double>{1.0});

  MujocoPhysicsObserver other(setup(arm_model("left_viewer_"), "hand: {type: arm}\n", "left"), config_path(),
                              "left");
  const auto out = other.observe({"j2", "left_viewer_j2"}, {2.0, 2.0});
  EXPECT_EQ(out[0], 2.0) << "no prefix";
  EXPECT_GT(out[1], 1.0) << "only the soft limit pulls it back";
}

TEST_F(Observer, ConstructionFailures) {
  const std::string joint = "<worldbody><body><joint name='j'/><geom size='0.1'/></body></worldbody>";
  const std::string model = fs::canonical(dir_.path()).string() + "/conf/resources/mujoco/right.xml";
  // A tendon's id is no joint id: its actuator drives no joint.
  const std::string tendon =
      "<tendon><fixed name='t'><joint joint='j' coef='1'/></fixed></tendon><actuator><motor "
      "tendon='t'/></actuator>";
  for (const std::string& xml :
       {"<mujoco>" + joint + "</mujoco>", "<mujoco>" + joint + tendon + "</mujoco>"}) {
    EXPECT_EQ(error_text([&] { make(xml, "hand: {type: arm}\n"); }),
              "MuJoCo physics model has no joint actuators: " + model);
  }
  const std::string load_failed =
      error_text([&] { make("<mujoco><worldbody><body>", "hand: {type: arm}\n"); });
  EXPECT_EQ(load_failed.rfind("MuJoCo model load failed: ", 0), 0u);
  EXPECT_GT(load_failed.size(), 27u) << "followed by MuJoCo's reason";
  EXPECT_EQ(error_text([&] {
              MujocoPhysicsObserver(setup(arm_model(), "hand: {type: arm}\n"), config_path(), "mid");
            }),
            "cannot locate MuJoCo model for arm/mid");
}

TEST_F(Observer, GeneratedModelBelongsToTheObserver) {
  const std::string personalised =
      "hand: {type: dynamic_openxr_hand, anthropometry: {enabled: true, fingers: {first: {proximal: "
      "0.05}}}}\n";
  const fs::path generated = dir_ / "home/glove/algorithms/cache/dynamic_openxr_hand/default_right.xml";
  const std::string bundled = read_file(bundled_mjcf("right"));
  {
    auto observer = std::make_unique<MujocoPhysicsObserver>(make(bundled, personalised));
    EXPECT_EQ(observer->model_path(), generated);  // and MuJoCo loaded it
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

TEST_F(Observer, MovedFromObserverRefusesEveryUseButAssignment) {
  auto observer = make(arm_model(), "hand: {type: arm}\n");
  MujocoPhysicsObserver taker = std::move(observer);
  const std::vector<std::function<void()>> uses = {
      [&] { observer.observe({"j1"}, {0.1}); },  // NOLINT(bugprone-use-after-move)
      [&] { observer.model_path(); },           [&] { observer.step_count(); },
      [&] { observer.contact_count(); },        [&] { observer.actuator_count(); },
      [&] { observer.collision_geom_count(); },
  };
  for (const auto& use : uses) EXPECT_EQ(error_text(use), "MujocoPhysicsObserver was moved from");
  EXPECT_THROW(uses[0](), std::logic_error);
  observer = std::move(taker);
  EXPECT_EQ(observer.actuator_count(), 2);
}

// The bundled hand, 8 steps of 2 ms per frame.
class OpenXrHand : public Observer {
 protected:
  MujocoPhysicsObserver bundled() {
    return MujocoPhysicsObserver(Config::load(system_, "", "right"), system_, "right");
  }
  const fs::path system_ =
      source_dir() / "resources/hands/dynamic_openxr_hand/dynamic_openxr_hand_system.yaml";
};

TEST_F(OpenXrHand, FollowsASlowTrajectoryAndCountsSteps) {
  std::vector<std::string> joints = {"right_index_mcp_abduction", "right_middle_mcp_abduction"};
  for (const char* finger : {"thumb_cmc", "thumb_mcp", "index_mcp", "index_pip", "middle_mcp", "middle_pip",
                             "ring_mcp", "ring_pip", "little_mcp", "little_pip"}) {
    joints.push_back(std::string("right_") + finger + "_flexion");
  }
  MujocoPhysicsObserver observer = bundled();
  EXPECT_EQ(observer.model_path(), fs::canonical(bundled_mjcf("right")));
  // The fingers curl and open together at 0.5 Hz without touching; the thumb stretches a little instead,
  // clear of the curling index finger; the abductions stay at zero.
  std::vector<double> values(joints.size()), out;
  double worst_after_settling = 0;
  for (int frame = 1; frame <= 250; ++frame) {
    const double t = frame * 0.016;
    for (std::size_t j = 0; j < joints.size(); ++j) {
      const double scale = joints[j].find("thumb") != std::string::npos ? -0.2 : 1.0;
      values[j] =
          joints[j].find("abduction") != std::string::npos ? 0.0 : scale * (0.4 + 0.3 * std::sin(M_PI * t));
    }
    out = observer.observe(joints, values);
    EXPECT_EQ(observer.step_count(), 8 * frame);
    EXPECT_EQ(observer.contact_count(), 0) << "at " << t << " s";
    for (std::size_t j = 0; j < joints.size() && t >= 0.5; ++j) {  // after 0.5 s of settling
      worst_after_settling = std::max(worst_after_settling, std::abs(out[j] - values[j]));
    }
  }
  EXPECT_LT(worst_after_settling, 0.04) << "tracking error while moving, rad";
  for (int frame = 0; frame < 60; ++frame) out = observer.observe(joints, values);
  for (std::size_t j = 0; j < joints.size(); ++j)
    EXPECT_NEAR(out[j], values[j], 0.005) << "held: " << joints[j];
}

TEST_F(OpenXrHand, FingersPressedTogetherTouch) {
  for (const auto& [index, middle, touch] : {std::array<double, 3>{0.44, 0.35, 0}, {-0.3, 0.35, 1}}) {
    MujocoPhysicsObserver observer = bundled();
    std::vector<double> out;
    for (int frame = 0; frame < 100; ++frame) {
      out = observer.observe({"right_index_mcp_abduction", "right_middle_mcp_abduction"}, {index, middle});
    }
    EXPECT_EQ(observer.contact_count() > 0, touch > 0) << index;
    // Touching, each finger blocks the other; apart, both reach their commands.
    EXPECT_EQ(out[0] > index + 0.01 && out[1]<middle - 0.01, touch> 0) << out[0] << " " << out[1];
    EXPECT_EQ(std::abs(out[0] - index) < 1e-3 && std::abs(out[1] - middle) < 1e-3, touch == 0);
  }
}

}  // namespace
}  // namespace kelto::test
