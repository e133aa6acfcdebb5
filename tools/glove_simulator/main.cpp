// kelto_glove_simulator: a sensor glove on a pseudo-terminal, for demos and end-to-end tests of the
// runtime program, or a writer of calibration samples files.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <exception>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "glove_simulator/calibration_samples.hpp"
#include "glove_simulator/glove_simulator.hpp"
#include "glove_simulator/simulator_options.hpp"

namespace {

using namespace kelto::hand::simulator;
using Clock = std::chrono::steady_clock;

std::atomic<bool> running{true};

void on_signal(int) {
  running.store(false);
}

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

Clock::duration period(double rate_hz) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate_hz));
}

int write_samples(const SimulatorOptions& options) {
  SimulatedGlove glove(options.simulator.stream.glove);
  const std::size_t lines =
      write_calibration_samples(options.write_samples, glove, options.simulator.stream.format);
  std::cout << "[kelto_glove_simulator] wrote " << lines << " " << glove.side() << " glove lines to "
            << options.write_samples.string() << "\n";
  return 0;
}

int stream(const SimulatorOptions& options) {
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  GloveSimulator simulator(options.simulator, std::cerr);
  const std::string side = options.simulator.stream.glove.side;
  const std::string link = options.simulator.link.string();

  const Clock::time_point start = Clock::now();
  simulator.plug();
  std::cout << "[kelto_glove_simulator] " << side << " glove on " << simulator.device() << " (link " << link
            << ")" << std::endl;
  Clock::time_point plugged_at = start;
  Clock::time_point replug_at = start;
  Clock::time_point next_line = start;
  while (running.load()) {
    const Clock::time_point now = Clock::now();
    if (options.duration_s > 0.0 && seconds(now - start) >= options.duration_s) break;
    if (simulator.plugged()) {
      if (options.unplug_after_s > 0.0 && seconds(now - plugged_at) >= options.unplug_after_s) {
        simulator.unplug();
        std::cout << "[kelto_glove_simulator] unplugged" << std::endl;
        replug_at = now + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(options.unplug_pause_s));
        continue;
      }
      if (now >= next_line) {
        simulator.step(seconds(now - start));
        next_line += period(simulator.rate_hz());
        if (next_line < now - std::chrono::milliseconds(250)) next_line = now;  // fell far behind: resync
      }
    } else if (now >= replug_at) {
      simulator.plug();
      plugged_at = now;
      next_line = now;
      std::cout << "[kelto_glove_simulator] plugged in again on " << simulator.device() << std::endl;
    }
    const Clock::time_point wake = simulator.plugged() ? next_line : replug_at;
    std::this_thread::sleep_until(std::min(wake, Clock::now() + std::chrono::milliseconds(5)));
  }
  std::cout << "[kelto_glove_simulator] stopped after " << simulator.stream().line_count() << " lines ("
            << simulator.dropped_lines() << " dropped while nobody read)" << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string program = argc > 0 ? argv[0] : "kelto_glove_simulator";
  try {
    const SimulatorOptions options =
        parse_simulator_options(std::vector<std::string>(argv + 1, argv + argc), KELTO_DEFAULT_HAND_CONFIG);
    if (options.help) {
      std::cout << simulator_usage(program);
      return 0;
    }
    return options.write_samples.empty() ? stream(options) : write_samples(options);
  } catch (const std::exception& error) {
    std::cerr << "[kelto_glove_simulator] error: " << error.what() << "\n";
    std::cerr << simulator_usage(program);
    return 1;
  }
}
