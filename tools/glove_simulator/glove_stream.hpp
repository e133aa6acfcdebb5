// The stream of glove lines for a scripted hand motion: one line per call, in the chosen format, with an
// invalid line in place of every N-th line when asked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "glove_simulator/glove_line_writer.hpp"
#include "glove_simulator/hand_motion_script.hpp"
#include "glove_simulator/simulated_glove.hpp"

namespace kelto::hand::simulator {

struct GloveStreamOptions {
  SimulatedGloveOptions glove;
  MotionScriptKind script = MotionScriptKind::all;
  GloveLineFormat format = GloveLineFormat::rpy;
  std::size_t invalid_every = 0;  // 0: every line is a pose line
};

class GloveStream {
 public:
  explicit GloveStream(const GloveStreamOptions& options);

  // The next line (without line feed) for the hand at script time `t_s`. With invalid_every N, lines
  // N, 2N, 3N ... (counting from 1) are invalid lines of the kinds in turn.
  std::string next_line(double t_s);

  std::uint64_t line_count() const { return lines_; }
  std::uint64_t invalid_line_count() const { return invalid_; }
  GloveLineFormat format() const { return format_; }
  SimulatedGlove& glove() { return glove_; }
  const HandMotionScript& script() const { return script_; }

 private:
  SimulatedGlove glove_;
  HandMotionScript script_;
  GloveLineFormat format_;
  std::size_t invalid_every_;
  std::uint64_t lines_ = 0;
  std::uint64_t invalid_ = 0;
};

}  // namespace kelto::hand::simulator
