#include "glove_simulator/glove_simulator.hpp"

#include <ostream>

namespace kelto::hand::simulator {

GloveSimulator::GloveSimulator(const GloveSimulatorOptions& options, std::ostream& log)
    : options_(options), log_(log), stream_(options.stream) {
  commands_.rate_hz = options_.rate_hz;
}

GloveSimulator::~GloveSimulator() {
  unplug();
}

void GloveSimulator::plug() {
  terminal_.open();
  try {
    replace_symlink(options_.link, terminal_.slave_path());
  } catch (...) {
    terminal_.close();
    throw;
  }
  commands_ = GloveCommandState{};
  commands_.rate_hz = options_.rate_hz;
}

void GloveSimulator::unplug() {
  remove_symlink(options_.link);
  terminal_.close();
}

std::size_t GloveSimulator::poll_commands() {
  if (!terminal_.is_open()) return 0;
  const std::vector<std::string> lines = terminal_.read_lines();
  for (const std::string& line : lines) {
    const bool ok = apply_glove_command(commands_, line);
    if (!ok) {
      log_ << "[kelto_glove_simulator] ignored command: " << line << '\n';
    } else if (options_.verbose && line.find_first_not_of(" \t\r") != std::string::npos) {
      log_ << "[kelto_glove_simulator] command: " << commands_.accepted.back() << '\n';
    }
  }
  return lines.size();
}

bool GloveSimulator::step(double t_s) {
  poll_commands();
  if (!terminal_.is_open() || !commands_.telemetry) return false;
  const bool sent = terminal_.write_line(stream_.next_line(t_s));
  ++(sent ? sent_ : dropped_);
  return sent;
}

}  // namespace kelto::hand::simulator
