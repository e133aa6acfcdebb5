// The simulated glove on its serial line: a pseudo-terminal behind a fixed symbolic link, the command
// lines the program sends to it, and the glove lines it streams. The caller owns the clock and calls
// step() at the glove's rate; unplug() and plug() simulate pulling the USB cable and putting it back.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <string>

#include "glove_simulator/glove_commands.hpp"
#include "glove_simulator/glove_stream.hpp"
#include "glove_simulator/pseudo_terminal.hpp"

namespace kelto::hand::simulator {

struct GloveSimulatorOptions {
  std::filesystem::path link;  // symbolic link naming the current device
  GloveStreamOptions stream;
  double rate_hz = 200.0;  // rate after every plug-in, until a "rate" command changes it
  bool verbose = false;    // log every command line received
};

class GloveSimulator {
 public:
  // Builds the glove stream (loads the configuration and the hand model); nothing is plugged in yet.
  // Messages go to `log`.
  GloveSimulator(const GloveSimulatorOptions& options, std::ostream& log);
  // Unplugs and removes the link.
  ~GloveSimulator();
  GloveSimulator(const GloveSimulator&) = delete;
  GloveSimulator& operator=(const GloveSimulator&) = delete;

  // Opens a fresh terminal, points the link at it and resets the glove's settings (a glove that was
  // unplugged has lost its settings). Replaces an earlier terminal.
  void plug();
  // Closes the terminal (a program reading it sees a hang-up) and removes the link, as a device node
  // goes away when its cable is pulled.
  void unplug();
  bool plugged() const { return terminal_.is_open(); }
  // The current slave device; empty while unplugged.
  const std::string& device() const { return terminal_.slave_path(); }

  // Reads and applies the command lines received so far; returns how many arrived.
  std::size_t poll_commands();
  // One tick of the glove: polls commands, then, while plugged in with telemetry on, sends the line for
  // script time `t_s`. Returns true when a line went out.
  bool step(double t_s);

  double rate_hz() const { return commands_.rate_hz; }
  const GloveCommandState& commands() const { return commands_; }
  std::uint64_t sent_lines() const { return sent_; }
  std::uint64_t dropped_lines() const { return dropped_; }
  GloveStream& stream() { return stream_; }

 private:
  GloveSimulatorOptions options_;
  std::ostream& log_;
  GloveStream stream_;
  PseudoTerminal terminal_;
  GloveCommandState commands_;
  std::uint64_t sent_ = 0;
  std::uint64_t dropped_ = 0;
};

}  // namespace kelto::hand::simulator
