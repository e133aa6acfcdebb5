#include "glove_simulator/glove_commands.hpp"

#include <cmath>
#include <cstdlib>
#include <sstream>

namespace kelto::hand::simulator {
namespace {

bool on_off(const std::string& word, bool& out) {
  if (word == "on") {
    out = true;
    return true;
  }
  if (word == "off") {
    out = false;
    return true;
  }
  return false;
}

bool rate(const std::string& word, double& out) {
  if (word.empty()) return false;
  char* end = nullptr;
  const double value = std::strtod(word.c_str(), &end);
  if (end != word.c_str() + word.size() || !std::isfinite(value) || value < 1.0 || value > 1000.0) {
    return false;
  }
  out = value;
  return true;
}

bool apply(GloveCommandState& state, const std::string& name, const std::string& argument) {
  if (name == "telemetry") return on_off(argument, state.telemetry);
  if (name == "detail") return on_off(argument, state.detail);
  if (name == "rate") return rate(argument, state.rate_hz);
  if (argument.empty()) return false;
  if (name == "mode") return (state.mode = argument), true;
  if (name == "source") return (state.source = argument), true;
  if (name == "select") return (state.select = argument), true;
  return false;
}

}  // namespace

bool apply_glove_command(GloveCommandState& state, const std::string& line) {
  std::istringstream words(line);
  std::string name, argument, extra;
  if (!(words >> name)) return true;  // blank line
  words >> argument;
  const bool ok = !(words >> extra) && apply(state, name, argument);
  const std::size_t first = line.find_first_not_of(" \t\r");
  const std::size_t last = line.find_last_not_of(" \t\r");
  (ok ? state.accepted : state.rejected).push_back(line.substr(first, last - first + 1));
  return ok;
}

}  // namespace kelto::hand::simulator
