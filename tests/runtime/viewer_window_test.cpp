// The viewer's window: drawing, closing, input and the shared GLFW initialisation.
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "runtime/mujoco_viewer.hpp"
#include "runtime/viewer_test_support.hpp"
#include "support/test_files.hpp"

namespace kelto::hand::runtime::test {
namespace {

namespace fs = std::filesystem;
using kelto::test::ScopedEnv;
using kelto::test::TempDir;
using kelto::test::write_file;
using ::testing::StartsWith;

// Longer than the viewer's shortest interval between two drawn frames.
constexpr auto kPastRenderInterval = std::chrono::milliseconds(40);

class ViewerWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    KELTO_REQUIRE_DISPLAY();
    model_ = write_file(dir_ / "arm.xml", kArmModel);
  }

  TempDir dir_;
  fs::path model_;
};

TEST_F(ViewerWindow, FirstUpdateDrawsTheModel) {
  auto viewer = open_viewer(model_);
  EXPECT_TRUE(glfw_initialized());
  EXPECT_TRUE(viewer->is_running());
  viewer->update({"lead"}, {0.3});
  const std::vector<unsigned char> pixels = shown_pixels();
  ASSERT_FALSE(pixels.empty());
  EXPECT_GT(distinct_colours(pixels), 10u) << "the frame shows a lit scene, not a cleared window";
}

TEST_F(ViewerWindow, EscapeOrTheCloseControlStopsTheViewer) {
  struct Case {
    const char* label;
    int key;
    int action;
    bool closes;
  };
  const Case cases[] = {
      {"escape pressed", GLFW_KEY_ESCAPE, GLFW_PRESS, true},
      {"escape released", GLFW_KEY_ESCAPE, GLFW_RELEASE, false},
      {"another key pressed", GLFW_KEY_Q, GLFW_PRESS, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto viewer = open_viewer(model_);
    GLFWwindow* window = current_window();
    ASSERT_NE(window, nullptr);
    // The callback the viewer registered, called as GLFW would call it for a key event.
    const GLFWkeyfun keyboard = glfwSetKeyCallback(window, nullptr);
    glfwSetKeyCallback(window, keyboard);
    ASSERT_NE(keyboard, nullptr);
    keyboard(window, c.key, 0, c.action, 0);

    EXPECT_EQ(viewer->is_running(), !c.closes);
    const MujocoObservation seen = viewer->update({"lead", "ghost"}, {0.4, 0.7});
    if (c.closes) {
      EXPECT_THAT(seen.joints, ::testing::ElementsAre(0.0, 0.0)) << "a closed viewer reports zeros";
      EXPECT_TRUE(seen.contacts.empty());
    } else {
      EXPECT_THAT(seen.joints, ::testing::ElementsAre(0.4, 0.7));
    }
  }

  auto viewer = open_viewer(model_);
  glfwSetWindowShouldClose(current_window(), GLFW_TRUE);
  EXPECT_FALSE(viewer->is_running());
  EXPECT_THAT(viewer->update({"lead"}, {0.4}).joints, ::testing::ElementsAre(0.0));
}

// GLFW is initialised by the first viewer and terminated when the last one goes, in either order; closing
// one window leaves the other running.
TEST_F(ViewerWindow, ViewersShareGlfwUntilTheLastIsDestroyed) {
  for (const bool first_goes_first : {true, false}) {
    SCOPED_TRACE(first_goes_first ? "first viewer destroyed first" : "second viewer destroyed first");
    ASSERT_FALSE(glfw_initialized());
    auto left = open_viewer(model_, {}, "kelto_hand left");
    GLFWwindow* left_window = current_window();
    auto right = open_viewer(model_, {}, "kelto_hand right");
    ASSERT_NE(left_window, current_window());

    glfwSetWindowShouldClose(left_window, GLFW_TRUE);
    EXPECT_FALSE(left->is_running());
    EXPECT_TRUE(right->is_running());

    std::unique_ptr<MujocoViewer>& gone = first_goes_first ? left : right;
    std::unique_ptr<MujocoViewer>& kept = first_goes_first ? right : left;
    gone.reset();
    EXPECT_TRUE(glfw_initialized());
    if (kept->is_running()) {
      kept->update({"lead"}, {0.2});
      EXPECT_GT(distinct_colours(shown_pixels()), 10u) << "the remaining viewer still draws";
    }
    kept.reset();
    EXPECT_FALSE(glfw_initialized());
  }
}

// A viewer that fails to come up leaves the share count as it was: the last good viewer still terminates
// GLFW, and a later viewer initialises it again.
TEST_F(ViewerWindow, FailedConstructionKeepsTheShareCount) {
  write_file(dir_ / "broken.xml", "<mujoco><worldbody><body>");
  for (const bool with_other_viewer : {false, true}) {
    SCOPED_TRACE(with_other_viewer ? "beside a running viewer" : "as the only viewer");
    std::unique_ptr<MujocoViewer> other;
    if (with_other_viewer) other = open_viewer(model_);
    for (const char* file : {"missing.xml", "broken.xml"}) {
      try {
        open_viewer(dir_ / file);
        ADD_FAILURE() << "no exception for " << file;
      } catch (const std::runtime_error& error) {
        EXPECT_THAT(error.what(), StartsWith("MuJoCo model load failed: "));
        EXPECT_GT(std::string(error.what()).size(), std::string("MuJoCo model load failed: ").size());
      }
    }
    EXPECT_EQ(glfw_initialized(), with_other_viewer);
    other.reset();
    EXPECT_FALSE(glfw_initialized());
  }

  {
    ScopedEnv no_display("DISPLAY", std::nullopt);
    try {
      open_viewer(model_);
      ADD_FAILURE() << "no exception without a display";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "GLFW initialization failed");
    }
  }
  auto viewer = open_viewer(model_);
  EXPECT_TRUE(viewer->is_running()) << "the failed initialisation gave its share back";
  viewer.reset();
  EXPECT_FALSE(glfw_initialized());
}

// Mouse drags and the scroll wheel move the camera; moving the cursor with no button held does not.
TEST_F(ViewerWindow, MouseMovesTheCamera) {
  auto viewer = open_viewer(model_);
  GLFWwindow* window = current_window();
  const GLFWmousebuttonfun button = glfwSetMouseButtonCallback(window, nullptr);
  glfwSetMouseButtonCallback(window, button);
  const GLFWcursorposfun cursor = glfwSetCursorPosCallback(window, nullptr);
  glfwSetCursorPosCallback(window, cursor);
  const GLFWscrollfun scroll = glfwSetScrollCallback(window, nullptr);
  glfwSetScrollCallback(window, scroll);
  ASSERT_TRUE(button && cursor && scroll);

  viewer->update({}, {});
  std::vector<unsigned char> before = shown_pixels();
  double x = 0.0;
  double y = 0.0;
  glfwGetCursorPos(window, &x, &y);

  struct Step {
    const char* label;
    std::function<void()> input;
    bool moves;
  };
  const Step steps[] = {
      {"cursor moved with no button held", [&] { cursor(window, x + 200, y + 150); }, false},
      {"left drag rotates",
       [&] {
         button(window, GLFW_MOUSE_BUTTON_LEFT, GLFW_PRESS, 0);
         cursor(window, x + 200, y + 50);
       },
       true},
      {"release, then move",
       [&] {
         button(window, GLFW_MOUSE_BUTTON_LEFT, GLFW_RELEASE, 0);
         cursor(window, x - 300, y - 100);
       },
       false},
      {"scroll zooms", [&] { scroll(window, 0.0, -10.0); }, true},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.label);
    glfwGetCursorPos(window, &x, &y);
    step.input();
    std::this_thread::sleep_for(kPastRenderInterval);
    viewer->update({}, {});
    std::vector<unsigned char> after = shown_pixels();
    EXPECT_EQ(after != before, step.moves);
    before = std::move(after);
  }
}

}  // namespace
}  // namespace kelto::hand::runtime::test
