#include "runtime/run_loop.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "physics/count_setting.hpp"
#include "runtime/signals.hpp"
#include "runtime/viewer_model_lookup.hpp"

namespace kelto::hand::runtime {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

static_assert(sizeof(kGloveStartupCommands) - 1 == 68, "six command lines of 68 bytes in all");
static_assert(sizeof(kx_engine_options) == 40 && sizeof(kx_engine_output) == 48, "record sizes");

constexpr auto kReconnectDelay = std::chrono::nanoseconds(1500000000);
constexpr auto kLineWait = 5ms;   // for the first line of a pass
constexpr auto kDrainWait = 0ms;  // lines already buffered only
constexpr auto kPassSleep = 1ms;

kx_hand_side hand_side_of(const std::string& side_word) {
  return side_word == "left" ? KX_HAND_LEFT : KX_HAND_RIGHT;
}

// Earliest time of the next joint line after `now`. A rate so small that its period does not fit the
// clock waits for a century instead.
Clock::time_point next_print_time(Clock::time_point now, double print_rate) {
  const double period_ns = std::trunc((1.0 / print_rate) * 1e9);
  constexpr double kCenturyNs = 100.0 * 365.25 * 24 * 3600 * 1e9;
  return now + std::chrono::nanoseconds(static_cast<std::int64_t>(std::min(period_ns, kCenturyNs)));
}

EngineHandle create_engine(const Options& options) {
  const std::string config_path = fs::absolute(options.config).string();
  const std::string bone_config_path =
      options.bone_config.empty() ? std::string() : fs::absolute(options.bone_config).string();
  kx_engine_options engine_options{};
  engine_options.struct_size = sizeof(kx_engine_options);
  engine_options.abi_version = KX_ABI_VERSION_MAJOR;
  engine_options.config_path = view_of(config_path);
  engine_options.bone_config_path = view_of(bone_config_path);
  kx_engine* engine = nullptr;
  if (kx_engine_create(&engine_options, &engine) != KX_STATUS_OK) {
    throw std::runtime_error("engine creation failed: " + text_of(kx_last_error()));
  }
  return EngineHandle(engine);
}

// Hand states are released last to first, then the engine they step.
struct LiveSession {
  EngineHandle engine;
  std::vector<std::unique_ptr<HandState>> hands;

  LiveSession() = default;
  LiveSession(const LiveSession&) = delete;
  LiveSession& operator=(const LiveSession&) = delete;
  ~LiveSession() {
    while (!hands.empty()) hands.pop_back();
    engine.reset();
  }
};

class LiveLoop {
 public:
  LiveLoop(const Options& options, const Config& config, const Config* runtime_config)
      : options_(options), config_(config), runtime_config_(runtime_config) {}

  void run() {
    session_.engine = create_engine(options_);
    if (dual_hand_mode(options_)) {
      create_hand_state("left", KX_HAND_LEFT, options_.left_port);
      create_hand_state("right", KX_HAND_RIGHT, options_.right_port);
    } else {
      create_hand_state(options_.side, hand_side_of(options_.side), options_.port);
    }
    for (const auto& hand : session_.hands) connect_hand(*hand);

    while (running.load()) {
      bool showing = false;  // some hand has no viewer or a viewer still open
      for (const auto& hand : session_.hands) {
        if (hand->serial.is_open()) {
          serve_hand(*hand);
        } else if (Clock::now() >= hand->next_connect) {
          connect_hand(*hand);
        } else {
          update_viewer(*hand);  // the window stays responsive while the glove is away
        }
        showing = showing || !hand->viewer || hand->viewer->is_running();
      }
      if (options_.viewer && !showing) break;
      std::this_thread::sleep_for(kPassSleep);
    }
  }

 private:
  void create_hand_state(const std::string& label, kx_hand_side side, const std::string& port) {
    auto hand = std::make_unique<HandState>();
    hand->label = label;
    hand->side = side;
    hand->port = port;
    hand->next_connect = Clock::now();
    hand->next_print = hand->next_connect;
    hand->decoder = std::make_unique<GloveDecoder>(config_, runtime_config_, side, "glove_" + label);
    hand->joint_values.assign(kx_engine_joint_count(session_.engine.get()), 0.0);
    if (options_.viewer) hand->viewer = open_viewer(label);
    session_.hands.push_back(std::move(hand));
  }

  std::unique_ptr<MujocoViewer> open_viewer(const std::string& label) const {
    const std::string hand_type = config_.string("hand.type");
    const fs::path model = resolve_mujoco_model(options_.config, hand_type, label, options_.mujoco_model);
    const int steps_per_render = count_setting(config_, "viewer.physics_steps_per_render", 1);
    const bool reset_qvel =
        config_.contains("viewer.physics_reset_qvel") && config_.boolean("viewer.physics_reset_qvel");
    const int iterations = count_setting(config_, "viewer.physics_iterations", 0);
    const int ls_iterations = count_setting(config_, "viewer.physics_ls_iterations", 0);
    auto viewer = std::make_unique<MujocoViewer>(model, options_.physics, steps_per_render, reset_qvel,
                                                 iterations, ls_iterations, options_.config,
                                                 options_.bone_config, label, "kelto_hand " + label);
    std::cout << "[kelto_hand_runtime] MuJoCo model " << label << ": " << model << '\n' << std::flush;
    return viewer;
  }

  // One connection attempt; a failure is reported and retried 1.5 s later.
  void connect_hand(HandState& hand) const {
    try {
      const std::string device = SerialPort::resolve_port(hand.port);
      hand.serial.open(device, options_.baudrate);
      if (options_.startup_commands) hand.serial.write(kGloveStartupCommands);
      std::cout << "[kelto_hand_runtime] serial=" << device << " side=" << hand.label
                << " joints=" << hand.joint_values.size() << '\n'
                << std::flush;
    } catch (const std::exception& error) {
      hand.serial.close();
      std::cerr << "[kelto_hand_runtime] " << hand.label << " serial connect failed: " << error.what()
                << "; retrying...\n";
      hand.next_connect = Clock::now() + kReconnectDelay;
    }
  }

  // Reads what this glove sent since the last pass and steps the newest line that decodes.
  void serve_hand(HandState& hand) {
    std::vector<std::string> lines;
    try {
      std::optional<std::string> line = hand.serial.read_line(kLineWait);
      while (line) {
        lines.push_back(std::move(*line));
        line = hand.serial.read_line(kDrainWait);
      }
    } catch (const std::exception& error) {
      std::cerr << "[kelto_hand_runtime] " << hand.label << " serial read failed: " << error.what()
                << "; reconnecting...\n";
      hand.serial.close();
      hand.next_connect = Clock::now();
      return;
    }

    std::optional<kx_engine_input> frame;
    for (const std::string& line : lines) {
      if (std::optional<kx_engine_input> decoded = hand.decoder->decode_line(line)) frame = decoded;
    }
    if (frame) {
      step(hand, *frame);
      return;
    }
    if (!lines.empty() && !hand.decoder->last_error().empty()) {
      if (hand.invalid_frames % 100 == 0) {
        std::cerr << "[kelto_hand_runtime] " << hand.label
                  << " ignored invalid glove frame: " << hand.decoder->last_error() << '\n';
      }
      ++hand.invalid_frames;
    }
    update_viewer(hand);
  }

  void step(HandState& hand, const kx_engine_input& frame) {
    kx_engine* engine = session_.engine.get();
    kx_engine_output output{};
    output.struct_size = sizeof(kx_engine_output);
    output.abi_version = KX_ABI_VERSION_MAJOR;
    output.joint_capacity = hand.joint_values.size();
    output.joints = hand.joint_values.data();
    if (kx_engine_step(engine, &frame, &output) != KX_STATUS_OK) {
      throw std::runtime_error("retargeting step failed: " + text_of(kx_engine_last_error(engine)));
    }
    if (output.hand_side != hand.side) {
      throw std::runtime_error(hand.label + " decoder produced an unexpected hand side");
    }
    if (!hand.names_ready) {
      // The engine's getters now answer for the side just stepped.
      const std::size_t count = kx_engine_joint_count(engine);
      if (count != output.joint_count) throw std::runtime_error(hand.label + " joint count mismatch");
      hand.joint_names.clear();
      for (std::size_t i = 0; i < count; ++i) {
        const char* name = kx_engine_joint_name(engine, i);
        if (name == nullptr) throw std::runtime_error(hand.label + " joint name is null");
        hand.joint_names.emplace_back(name);
      }
      hand.names_ready = true;
    }
    update_viewer(hand);

    const Clock::time_point now = Clock::now();
    if (options_.print_rate > 0.0 && now >= hand.next_print) {
      print_joints(hand, output.joint_count);
      hand.next_print = next_print_time(now, options_.print_rate);
    }
  }

  static void print_joints(const HandState& hand, std::size_t joint_count) {
    const std::size_t count = std::min({joint_count, hand.joint_names.size(), hand.joint_values.size()});
    std::cout << std::fixed << std::setprecision(4) << "[joints:" << hand.label << "]";
    for (std::size_t i = 0; i < count; ++i)
      std::cout << ' ' << hand.joint_names[i] << '=' << hand.joint_values[i];
    std::cout << '\n' << std::flush;
  }

  static void update_viewer(HandState& hand) {
    if (hand.viewer && hand.viewer->is_running()) hand.viewer->update(hand.joint_names, hand.joint_values);
  }

  const Options& options_;
  const Config& config_;
  const Config* runtime_config_;
  LiveSession session_;
};

}  // namespace

void run_live(const Options& options, const Config& config, const Config* runtime_config) {
  LiveLoop(options, config, runtime_config).run();
}

}  // namespace kelto::hand::runtime
