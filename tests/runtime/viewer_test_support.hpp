// Helpers for the viewer tests: display detection, GLFW state, window pixels and small MJCF models.
#pragma once

#include <GLFW/glfw3.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "runtime/mujoco_viewer.hpp"

namespace kelto::hand::runtime::test {

// Opens one connection to the X server and keeps it for the life of the test process. An X server
// resets when its last client leaves and refuses connections meanwhile; with this connection open it
// stays up while the tests' viewers come and go. The first attempts may meet the reset that followed the
// previous test process, so they are repeated for a while.
inline bool hold_display_connection() {
  using OpenDisplay = void* (*)(const char*);
  void* x11 = dlopen("libX11.so.6", RTLD_NOW | RTLD_GLOBAL);
  if (x11 == nullptr) return false;
  const auto open_display = reinterpret_cast<OpenDisplay>(dlsym(x11, "XOpenDisplay"));
  if (open_display == nullptr) return false;
  static void* connection = nullptr;
  for (int attempt = 0; connection == nullptr && attempt < 50; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    connection = open_display(nullptr);
  }
  return connection != nullptr;
}

// Keeps the OpenGL driver that the window library loaded for a context (Mesa's *_dri.so) in memory for
// the life of the process. The driver is unloaded when GLFW terminates, and the leak checker then reports
// every block still held by its globals as leaked from an unknown module; pinned, those blocks stay
// reachable as they do in the running program, and the leak report shows only real leaks.
inline void pin_opengl_drivers() {
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void*) {
        const std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
        if (name.size() > 7 && name.compare(name.size() - 7, 7, "_dri.so") == 0) {
          dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
        }
        return 0;
      },
      nullptr);
}

// Whether an X display can be opened. Probed once, before any viewer of the process exists (each test
// that needs it asks first), so the probe does not touch the viewers' share of GLFW.
inline bool display_available() {
  static const bool available = [] {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') return false;
    if (!hold_display_connection() || glfwInit() != GLFW_TRUE) return false;
    glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
    if (GLFWwindow* window = glfwCreateWindow(16, 16, "probe", nullptr, nullptr)) {
      glfwMakeContextCurrent(window);  // loads the driver
      pin_opengl_drivers();
      glfwDestroyWindow(window);
    }
    glfwDefaultWindowHints();
    glfwTerminate();
    return true;
  }();
  return available;
}

#define KELTO_REQUIRE_DISPLAY()                                                          \
  do {                                                                                   \
    if (!::kelto::hand::runtime::test::display_available())                              \
      GTEST_SKIP() << "no X display can be opened; run the viewer tests under xvfb-run"; \
  } while (false)

// Whether GLFW is initialised right now (its calls fail with GLFW_NOT_INITIALIZED otherwise).
inline bool glfw_initialized() {
  glfwGetError(nullptr);
  glfwGetTime();
  return glfwGetError(nullptr) != GLFW_NOT_INITIALIZED;
}

// The window whose context is current: right after a viewer is built, or after it drew, that viewer's.
inline GLFWwindow* current_window() {
  return glfwGetCurrentContext();
}

// The last frame drawn in the current context's window, as RGB bytes. The virtual X server's software
// renderer copies the back buffer on a swap and keeps it, so the frame is read from there.
inline std::vector<unsigned char> shown_pixels() {
  GLFWwindow* window = glfwGetCurrentContext();
  if (window == nullptr) return {};
  int width = 0;
  int height = 0;
  glfwGetFramebufferSize(window, &width, &height);
  std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadBuffer(GL_BACK);
  glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, pixels.data());
  return pixels;
}

inline std::size_t distinct_colours(const std::vector<unsigned char>& pixels) {
  std::set<unsigned> colours;
  for (std::size_t i = 0; i + 2 < pixels.size(); i += 3) {
    colours.insert(pixels[i] << 16 | pixels[i + 1] << 8 | pixels[i + 2]);
  }
  return colours.size();
}

struct ViewerSettings {
  bool physics = false;
  int steps_per_render = 1;
  bool reset_qvel = false;
};

// A viewer of a model file loaded as it is (no configuration, so nothing is generated).
inline std::unique_ptr<MujocoViewer> open_viewer(const std::filesystem::path& model,
                                                 ViewerSettings settings = {},
                                                 const std::string& title = "kelto_hand test") {
  return std::make_unique<MujocoViewer>(model, settings.physics, settings.steps_per_render,
                                        settings.reset_qvel, 0, 0, std::filesystem::path(),
                                        std::filesystem::path(), "right", title);
}

// A small lit scene: a floor, a two-link arm on hinges "lead" and "follower" and a ball on a slide joint.
constexpr const char* kArmModel = R"(<mujoco model="arm">
  <option timestep="0.002" gravity="0 0 0"/>
  <statistic center="0 0 0.1" extent="0.4"/>
  <worldbody>
    <light pos="0 0 1" dir="0 0 -1" directional="true"/>
    <geom name="floor" type="plane" size="0.5 0.5 0.01" rgba="0.3 0.4 0.5 1"/>
    <body name="upper" pos="0 0 0.1">
      <joint name="lead" type="hinge" axis="0 1 0" damping="2" armature="0.1"/>
      <geom name="upper_geom" type="capsule" fromto="0 0 0 0.1 0 0" size="0.015" rgba="0.9 0.2 0.2 1"/>
      <body name="lower" pos="0.1 0 0">
        <joint name="follower" type="hinge" axis="0 1 0" damping="2" armature="0.1"/>
        <geom type="capsule" fromto="0 0 0 0.1 0 0" size="0.015" rgba="0.2 0.9 0.2 1"/>
      </body>
    </body>
  </worldbody>
</mujoco>
)";

}  // namespace kelto::hand::runtime::test
