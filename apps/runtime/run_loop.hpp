// Live mode of kelto_hand_runtime: one retargeting engine, one hand state per glove, and the loop that
// reads the gloves, steps the engine, prints joint lines, feeds the viewers and reconnects lost gloves.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "kelto_hand.h"
#include "runtime/glove_decoder.hpp"
#include "runtime/mujoco_viewer.hpp"
#include "runtime/options.hpp"
#include "runtime/serial_port.hpp"

namespace kelto::hand::runtime {

// What the program sends to a glove right after opening its port, in one write; nothing is read back.
inline constexpr char kGloveStartupCommands[] =
    "telemetry on\nrate 200\ndetail off\nmode mag\nsource filtered\nselect f1\n";

// A text as the library's option records take it; the empty text is passed as no text (NULL).
inline kx_string_view view_of(const std::string& text) {
  return text.empty() ? kx_string_view{nullptr, 0} : kx_string_view{text.data(), text.size()};
}

// A text the library hands out, as a string; no text (NULL) reads as the empty text.
inline std::string text_of(const char* text) {
  return text != nullptr ? std::string(text) : std::string();
}

struct EngineDeleter {
  void operator()(kx_engine* engine) const { kx_engine_destroy(engine); }
};
using EngineHandle = std::unique_ptr<kx_engine, EngineDeleter>;

// One glove: its port, decoder, optional viewer, the engine's output buffer and its timers.
struct HandState {
  std::string label;  // "left" or "right"; prefixes every message of this hand
  kx_hand_side side = KX_HAND_RIGHT;
  std::string port;                       // as given: a device path or "auto" (resolved at each attempt)
  SerialPort serial;                      // closed until connected
  std::unique_ptr<GloveDecoder> decoder;  // named "glove_" + label
  std::unique_ptr<MujocoViewer> viewer;   // only with --viewer
  std::vector<std::string> joint_names;   // from the engine after this hand's first step
  std::vector<double> joint_values;       // the engine's output buffer
  bool names_ready = false;
  std::chrono::steady_clock::time_point next_connect;  // earliest next connection attempt
  std::uint64_t invalid_frames = 0;                    // passes whose lines all failed with an error
  std::chrono::steady_clock::time_point next_print;    // earliest next joint line
};

// Creates the engine from the options' configuration paths (made absolute), one hand state per glove
// (left then right in dual-hand mode), connects them and runs the loop until `running` is cleared or,
// with the viewer, every window has closed. Every error ends the mode with an exception, after the
// hand states and then the engine have been released.
void run_live(const Options& options, const Config& config, const Config* runtime_config);

}  // namespace kelto::hand::runtime
