// kelto_hand_runtime: reads one or two sensor gloves, prints live joint values of the hand model and
// shows them in the optional viewer, or runs the guided calibration and writes its overlay.
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "config/config.hpp"
#include "runtime/calibration_capture.hpp"
#include "runtime/glove_decoder.hpp"
#include "runtime/options.hpp"
#include "runtime/run_loop.hpp"
#include "runtime/signals.hpp"

namespace {

using namespace kelto::hand;
using namespace kelto::hand::runtime;

void run_program(const Options& options) {
  install_signal_handlers();
  const Config config = Config::load(options.config, options.bone_config, options.side);
  std::unique_ptr<Config> runtime_config;
  if (!options.runtime_config.empty()) {
    runtime_config = std::make_unique<Config>(Config::load(options.runtime_config, {}, {}));
  }
  GloveDecoder decoder(config, runtime_config.get(), options.side == "left" ? KX_HAND_LEFT : KX_HAND_RIGHT,
                       "glove1");
  if (options.mode == "calibrate") {
    run_calibration(options, config, decoder);
    return;
  }
  run_live(options, config, runtime_config.get());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string program = argc > 0 && argv[0] != nullptr ? argv[0] : "kelto_hand_runtime";
  try {
    std::optional<Options> options = parse_options(argc, argv);
    if (!options) {
      usage(program);
      return 0;
    }
    check_options(*options);
    run_program(*options);
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "[kelto_hand_runtime] error: " << error.what() << '\n';
    usage(program);
    return 1;
  }
}
