// The command lines a glove accepts on its serial line ("telemetry on", "rate 200", "detail off",
// "mode mag", "source filtered", "select f1" ...) and the settings they leave behind.
#pragma once

#include <string>
#include <vector>

namespace kelto::hand::simulator {

struct GloveCommandState {
  bool telemetry = true;  // streaming; "telemetry off" pauses it
  double rate_hz = 200.0;
  bool detail = false;
  std::string mode = "mag";
  std::string source = "filtered";
  std::string select = "f1";
  std::vector<std::string> accepted;  // every accepted command line, in order
  std::vector<std::string> rejected;  // every rejected command line, in order
};

// Applies one command line (surrounding blanks and a carriage return ignored). Returns false and leaves
// the settings alone for an unknown command or a bad argument; an empty line is neither accepted nor
// rejected and returns true. Rates must lie in [1, 1000] Hz.
bool apply_glove_command(GloveCommandState& state, const std::string& line);

}  // namespace kelto::hand::simulator
