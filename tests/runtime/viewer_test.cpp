// The viewer under a virtual X server: drawing, Escape, the shared GLFW initialisation, posing, physics
// steps and contacts, the generated hand model's life, and where a side's model is looked up.
#include <GLFW/glfw3.h>
#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "runtime/mujoco_viewer.hpp"
#include "runtime/viewer_model_lookup.hpp"
#include "support/error_text.hpp"
#include "support/test_files.hpp"

namespace kelto::hand::runtime {
namespace {

namespace fs = std::filesystem;
using kelto::test::error_text;
using kelto::test::read_file;
using kelto::test::ScopedEnv;
using kelto::test::TempDir;
using kelto::test::write_file;
using ::testing::DoubleNear;
using ::testing::ElementsAre;
using ::testing::Pointwise;
using ::testing::StartsWith;
using Names = std::vector<std::string>;
using Values = std::vector<double>;

// Whether an X display can be opened; probed once. It keeps one X connection open (a server without
// clients resets) and pins GLFW's OpenGL driver (unloaded, its held blocks would read as leaks).
bool display_available() {
  static const bool available = [] {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') return false;
    void* x11 = dlopen("libX11.so.6", RTLD_NOW | RTLD_GLOBAL);
    const auto open_display =
        x11 ? reinterpret_cast<void* (*)(const char*)>(dlsym(x11, "XOpenDisplay")) : nullptr;
    static void* connection = nullptr;  // kept reachable
    for (int attempt = 0; open_display && !connection && attempt < 50; ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the previous reset
      connection = open_display(nullptr);
    }
    if (connection == nullptr || glfwInit() != GLFW_TRUE) return false;
    glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
    if (GLFWwindow* window = glfwCreateWindow(16, 16, "probe", nullptr, nullptr)) {
      glfwMakeContextCurrent(window);  // loads the driver
      dl_iterate_phdr(
          [](dl_phdr_info* info, std::size_t, void*) {
            const std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
            if (name.size() > 7 && name.compare(name.size() - 7, 7, "_dri.so") == 0)
              dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
            return 0;
          },
          nullptr);
      glfwDestroyWindow(window);
    }
    glfwDefaultWindowHints();
    glfwTerminate();
    return true;
  }();
  return available;
}

bool glfw_initialized() {
  glfwGetError(nullptr);
  glfwGetTime();
  return glfwGetError(nullptr) != GLFW_NOT_INITIALIZED;
}

// Distinct colours of the last frame drawn in the current context's window (the virtual X server's
// software renderer keeps the back buffer after a swap).
std::size_t shown_colours() {
  GLFWwindow* window = glfwGetCurrentContext();
  int width = 0, height = 0;
  glfwGetFramebufferSize(window, &width, &height);
  std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadBuffer(GL_BACK);
  glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, pixels.data());
  std::set<unsigned> colours;
  for (std::size_t i = 0; i + 2 < pixels.size(); i += 3)
    colours.insert(pixels[i] << 16 | pixels[i + 1] << 8 | pixels[i + 2]);
  return colours.size();
}

std::unique_ptr<MujocoViewer> open_viewer(const fs::path& model, bool physics = false, int steps = 1,
                                          bool reset_qvel = false) {
  return std::make_unique<MujocoViewer>(model, physics, steps, reset_qvel, 0, 0, fs::path(), fs::path(),
                                        "right", "test");
}

// Hinges on their own bodies: "loose" has no actuator (the motor drives a tendon, whose id must not be
// taken for a joint id), "limited" and "unlimited" have servos with and without a control range, "held"
// starts at 0.3; "drop" slides under gravity (semi-implicit Euler: after n steps from rest it has fallen
// 0.001*n*(n+1)/2); the "ball" and an unnamed sphere on "lift" sink 10 and 5 mm into the floor.
constexpr const char* kPhysicsModel = R"(<mujoco model="physics">
  <compiler angle="radian"/>
  <option timestep="0.01" gravity="0 0 -10" integrator="Euler"/>
  <default><joint type="hinge" axis="0 1 0" damping="2" armature="0.1"/>
    <geom type="sphere" size="0.01" contype="0" conaffinity="0"/></default>
  <worldbody>
    <geom name="floor" type="plane" size="1 1 0.01" contype="1" conaffinity="1"/>
    <body pos="0 0 1"><joint name="loose"/><geom/></body>
    <body pos="0.1 0 1"><joint name="limited"/><geom/></body>
    <body pos="0.2 0 1"><joint name="unlimited"/><geom/></body>
    <body pos="0.3 0 1"><joint name="held" ref="0.3"/><geom/></body>
    <body pos="0.4 0 1"><joint name="pulled"/><geom/></body>
    <body pos="0.5 0 1"><joint name="drop" type="slide" axis="0 0 1" damping="0" armature="0"/><geom/></body>
    <body pos="0 1 0"><joint name="lift" type="slide" axis="0 0 1" damping="0" armature="0"/>
      <geom name="ball" size="0.02" pos="0 0 0.01" contype="1" conaffinity="1"/>
      <geom size="0.02" pos="0.1 0 0.015" contype="1" conaffinity="1"/>
    </body>
  </worldbody>
  <tendon><fixed name="pull"><joint joint="pulled" coef="1"/></fixed></tendon>
  <actuator>
    <motor tendon="pull"/>
    <position joint="limited" kp="10" ctrllimited="true" ctrlrange="-0.5 0.5"/>
    <position joint="unlimited" kp="10" ctrllimited="false"/>
    <position joint="held" kp="10" ctrllimited="false"/>
  </actuator>
</mujoco>
)";

class Viewer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!display_available()) GTEST_SKIP() << "no X display; run the viewer tests under xvfb-run";
  }
  TempDir dir_;
  const fs::path hand_ =
      kelto::test::source_dir() / "resources/hands/dynamic_openxr_hand/resources/mujoco/right.xml";
};

// The first update draws the lit hand. An Escape press (not a release, not another key) or the close
// control stops the viewer, which then reports zeros.
TEST_F(Viewer, DrawsTheModelAndEscapeClosesIt) {
  auto viewer = open_viewer(hand_);
  viewer->update({"right_thumb_cmc_flexion"}, {0.3});
  EXPECT_GT(shown_colours(), 10u) << "a lit scene, not a cleared window";
  GLFWwindow* window = glfwGetCurrentContext();
  const GLFWkeyfun keyboard = glfwSetKeyCallback(window, nullptr);  // the viewer's own callback
  ASSERT_NE(keyboard, nullptr);
  glfwSetKeyCallback(window, keyboard);
  keyboard(window, GLFW_KEY_ESCAPE, 0, GLFW_RELEASE, 0);
  keyboard(window, GLFW_KEY_Q, 0, GLFW_PRESS, 0);
  EXPECT_TRUE(viewer->is_running());
  EXPECT_THAT(viewer->update({"right_thumb_cmc_flexion", "ghost"}, {0.4, 0.7}).joints, ElementsAre(0.4, 0.7));
  keyboard(window, GLFW_KEY_ESCAPE, 0, GLFW_PRESS, 0);
  EXPECT_FALSE(viewer->is_running());
  EXPECT_THAT(viewer->update({"right_thumb_cmc_flexion", "ghost"}, {0.4, 0.7}).joints, ElementsAre(0.0, 0.0));

  auto other = open_viewer(hand_);
  glfwSetWindowShouldClose(glfwGetCurrentContext(), GLFW_TRUE);
  EXPECT_FALSE(other->is_running());
}

// GLFW is initialised by the first viewer and terminated with the last one, in either order; a viewer that
// fails to come up gives its share back.
TEST_F(Viewer, ViewersShareGlfw) {
  for (const bool first_goes_first : {true, false}) {
    ASSERT_FALSE(glfw_initialized());
    auto first = open_viewer(hand_);
    GLFWwindow* first_window = glfwGetCurrentContext();
    auto second = open_viewer(hand_);
    glfwSetWindowShouldClose(first_window, GLFW_TRUE);
    EXPECT_FALSE(first->is_running());
    EXPECT_TRUE(second->is_running());
    (first_goes_first ? first : second).reset();
    EXPECT_TRUE(glfw_initialized());
    (first_goes_first ? second : first).reset();
    EXPECT_FALSE(glfw_initialized());
  }
  for (const bool beside_another : {false, true}) {
    std::unique_ptr<MujocoViewer> other = beside_another ? open_viewer(hand_) : nullptr;
    EXPECT_THAT(error_text([&] { open_viewer(dir_ / "missing.xml"); }),
                StartsWith("MuJoCo model load failed: "));
    EXPECT_EQ(glfw_initialized(), beside_another);
    other.reset();
    EXPECT_FALSE(glfw_initialized());
  }
  {
    ScopedEnv no_display("DISPLAY", std::nullopt);
    EXPECT_EQ(error_text([&] { open_viewer(hand_); }), "GLFW initialization failed");
  }
  EXPECT_TRUE(open_viewer(hand_)->is_running());
  EXPECT_FALSE(glfw_initialized());
}

// Without physics the common prefix of names and values poses the joints; a name the model lacks echoes
// its value, or reads 0.0 without one; a pose persists until changed.
TEST_F(Viewer, PosesJointsFromTheCommonPrefix) {
  const std::tuple<Names, Values, Values> steps[] = {
      {{"right_thumb_cmc_flexion", "right_thumb_mcp_flexion"}, {0.2, -0.1}, {0.2, -0.1}},
      {{"right_thumb_mcp_flexion", "ghost"}, {0.3, 0.4, 0.9}, {0.3, 0.4}},
      {{"right_thumb_cmc_flexion", "ghost", "right_thumb_mcp_flexion"}, {0.25}, {0.25, 0.0, 0.3}},
      {{}, {1.0, 2.0}, {}},
  };
  auto viewer = open_viewer(hand_);
  for (const auto& [names, values, joints] : steps) {
    EXPECT_THAT(viewer->update(names, values).joints, ::testing::ElementsAreArray(joints));
  }
}

// With physics the servos follow the values (clamped into a limited control range), joints without an
// actuator are posed, the model steps `steps_per_render` times per update (at least once, from rest when
// asked), and contacts are reported by geom name.
TEST_F(Viewer, PhysicsStepsDrivesAndReportsContacts) {
  const fs::path model = write_file(dir_ / "physics.xml", kPhysicsModel);
  auto viewer = open_viewer(model, true, 200);
  const Names driven = {"limited", "unlimited", "loose", "ghost", "held"};
  EXPECT_THAT(viewer->update(driven, {1.0, 1.0, 0.7, 0.25}).joints,
              Pointwise(DoubleNear(1e-3), Values{0.5, 1.0, 0.7, 0.25, 0.3}));
  EXPECT_THAT(viewer->update(driven, {-2.0, -0.2}).joints,
              Pointwise(DoubleNear(1e-3), Values{-0.5, -0.2, 0.7, 0, 0.3}));

  const std::tuple<bool, int, bool, int, double> steps[] = {
      {false, 5, false, 2, 0.0},   {true, 0, false, 1, -0.001}, {true, 3, false, 1, -0.006},
      {true, 1, false, 2, -0.003}, {true, 1, true, 2, -0.002},
  };
  for (const auto& [physics, per_render, reset_qvel, updates, drop] : steps) {
    SCOPED_TRACE(std::to_string(per_render) + (reset_qvel ? " from rest" : ""));
    auto falling = open_viewer(model, physics, per_render, reset_qvel);
    Values joints;
    for (int u = 0; u < updates; ++u) joints = falling->update({"drop"}, {}).joints;
    EXPECT_NEAR(joints.at(0), drop, 1e-9);
  }

  auto posed = open_viewer(model);
  std::vector<std::pair<std::string, double>> touching;
  for (const MujocoContact& contact : posed->update({"lift"}, {0.0}).contacts) {
    EXPECT_EQ(contact.geom1, "floor");
    touching.emplace_back(contact.geom2, contact.dist);
  }
  std::sort(touching.begin(), touching.end());
  ASSERT_EQ(touching.size(), 2u);
  EXPECT_EQ(touching[0].first, "") << "an unnamed geom";
  EXPECT_NEAR(touching[0].second, -0.005, 1e-9);
  EXPECT_EQ(touching[1].first, "ball");
  EXPECT_NEAR(touching[1].second, -0.01, 1e-9);
  EXPECT_TRUE(posed->update({"lift"}, {0.1}).contacts.empty());
}

// A personalised copy of the hand is written to the model cache and removed with the viewer (or when
// construction fails later); without anthropometry the template is loaded and nothing is written.
TEST_F(Viewer, GeneratedHandModelLivesAsLongAsTheViewer) {
  ScopedEnv home("KELTO_HOME", (dir_ / "home").string());
  const fs::path cache = dir_ / "home/glove/algorithms/cache/dynamic_openxr_hand";
  const fs::path hand =
      kelto::test::source_dir() / "resources/hands/dynamic_openxr_hand/resources/mujoco/right.xml";
  const auto open = [&](const fs::path& config, const fs::path& bone) {
    return std::make_unique<MujocoViewer>(hand, false, 1, false, 0, 0, config, bone, "right", "right");
  };
  const std::string personal =
      "hand:\n  type: dynamic_openxr_hand\n  anthropometry:\n    enabled: true\n    fingers: {first: "
      "{proximal: 0.05}}\n";
  const std::string plain = "hand: {type: dynamic_openxr_hand}\n";
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {personal, "", "default_right.xml"},
      {plain, "hand: {anthropometry: {fingers: {first: {proximal: 0.06}}}}\n", "alice_right.xml"},
      {plain, "", ""},
  };
  const std::string original = read_file(hand);
  for (const auto& [config_text, bone_text, cached] : cases) {
    SCOPED_TRACE(cached);
    const fs::path config = write_file(dir_ / "conf/system.yaml", config_text);
    const fs::path bone = bone_text.empty() ? fs::path() : write_file(dir_ / "conf/alice.yaml", bone_text);
    {
      auto viewer = open(config, bone);
      viewer->update({"right_index_mcp_flexion"}, {0.5});
      EXPECT_EQ(fs::exists(cache) && !fs::is_empty(cache), !cached.empty());
      EXPECT_TRUE(cached.empty() || fs::is_regular_file(cache / cached));
    }
    EXPECT_TRUE(!fs::exists(cache) || fs::is_empty(cache)) << "removed with the viewer";
  }
  EXPECT_EQ(read_file(hand), original) << "the template is never touched";
  ScopedEnv no_display("DISPLAY", std::nullopt);
  EXPECT_EQ(error_text([&] { open(write_file(dir_ / "conf/system.yaml", personal), ""); }),
            "GLFW initialization failed");
  EXPECT_FALSE(fs::exists(cache / "default_right.xml"));
}

// The candidates, all present at once, are returned in order as each is removed; files elsewhere (the
// working directory among them), directories named like models and dangling links never are.
TEST(ViewerModelLookup, CandidatesAreTriedInOrder) {
  TempDir dir;
  const fs::path root = fs::canonical(dir.path());
  const fs::path config = write_file(root / "a/b/conf/system.yaml", "hand: {type: hand_x}\n");
  const std::string kh = "kelto_hand/resources/hands/hand_x/resources/", h = "hands/hand_x/resources/";
  const std::vector<std::string> order = {
      "a/b/conf/resources/mujoco/right.xml",
      "a/b/conf/resources/pinocchio/right/hand.xml",
      "a/b/conf/" + kh + "mujoco/right.xml",
      "a/b/conf/" + h + "mujoco/right.xml",
      "a/b/conf/" + kh + "pinocchio/right/hand.xml",
      "a/b/conf/" + h + "pinocchio/right/hand.xml",
      "a/b/" + kh + "mujoco/right.xml",
      "a/b/" + h + "pinocchio/right/hand.xml",
      "a/" + kh + "pinocchio/right/hand.xml",
      h + "mujoco/right.xml",
  };
  for (const char* file :
       {"a/b/conf/resources/mujoco/right/hand.xml", "a/b/conf/resources/pinocchio/right.urdf",
        "a/b/conf/resources/mujoco/left.xml", "a/b/conf/hands/hand_x/resources/mujoco/right_physics.xml",
        "work/hands/hand_x/resources/mujoco/right.xml"})
    write_file(root / file, "<mujoco/>\n");
  for (const std::string& file : order) write_file(root / file, "<mujoco/>\n");
  const fs::path working_directory = fs::current_path();
  fs::current_path(root / "work");
  for (const std::string& file : order) {
    EXPECT_EQ(resolve_mujoco_model(config, "hand_x", "right", ""), root / file);
    fs::remove(root / file);
  }
  const std::string missing = "cannot locate MuJoCo model for hand_x/right; pass --mujoco-model";
  EXPECT_EQ(error_text([&] { resolve_mujoco_model(config, "hand_x", "right", ""); }), missing);

  // A directory is skipped, a link is followed to its file; a relative configuration path works alike.
  fs::create_directories(root / "a/b/conf/resources/mujoco/right.xml");
  const fs::path target = write_file(root / "elsewhere/model.xml", "<mujoco/>\n");
  fs::create_symlink(target, root / "a/b/conf/resources/pinocchio/right/hand.xml");
  fs::current_path(root / "a");
  EXPECT_EQ(resolve_mujoco_model("b/conf/system.yaml", "hand_x", "right", ""), target);
  fs::remove(target);
  EXPECT_EQ(error_text([&] { resolve_mujoco_model(config, "hand_x", "right", ""); }), missing);
  // An override is only made absolute.
  EXPECT_EQ(resolve_mujoco_model(config, "hand_x", "right", "models/none.xml"), root / "a/models/none.xml");
  EXPECT_EQ(resolve_mujoco_model(config, "other", "left", "/nowhere/x.xml"), fs::path("/nowhere/x.xml"));
  fs::current_path(working_directory);
}

}  // namespace
}  // namespace kelto::hand::runtime
