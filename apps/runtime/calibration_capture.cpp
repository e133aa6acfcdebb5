#include "runtime/calibration_capture.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "calibration/calibration_profile.hpp"
#include "kelto_hand.h"
#include "runtime/run_loop.hpp"
#include "runtime/serial_port.hpp"
#include "runtime/signals.hpp"

namespace kelto::hand::runtime {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kTag[] = "[kelto_hand_calibration] ";
constexpr char kOverlayHeader[] =
    "# 自动生成的 kelto_hand 标定覆盖配置。\n"
    "# extends 使用生成时 system 配置的绝对路径，仅保证当前机器可恢复。\n"
    "# 量纲说明：位置单位为 m，角度单位为 deg。\n";
constexpr auto kReadLimit = std::chrono::milliseconds(100);
constexpr auto kReconnectDelay = std::chrono::milliseconds(1500);

struct CalibrationCaptureStage {
  std::string id;
  std::string prompt;
  std::size_t sample_count = 0;
};

struct CalibratorDeleter {
  void operator()(kx_calibrator* calibrator) const { kx_calibrator_destroy(calibrator); }
};
using CalibratorHandle = std::unique_ptr<kx_calibrator, CalibratorDeleter>;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The entry `key` of a mapping node; an undefined node when `parent` is no mapping or lacks the key (the
// YAML library throws when a missing entry of a read-only node is inspected).
YAML::Node entry(const YAML::Node& parent, const std::string& key) {
  if (!parent.IsDefined() || !parent.IsMap()) return YAML::Node(YAML::NodeType::Undefined);
  const YAML::Node child = parent[key];
  return child.IsDefined() ? child : YAML::Node(YAML::NodeType::Undefined);
}

bool is_map(const YAML::Node& node) {
  return node.IsDefined() && node.IsMap();
}

bool is_sequence(const YAML::Node& node) {
  return node.IsDefined() && node.IsSequence();
}

// A number as the standard stream writes it by default.
std::string number_text(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

CalibratorHandle create_calibrator(const Options& options) {
  const std::string config_path = fs::absolute(options.config).string();
  const std::string bone_path =
      options.bone_config.empty() ? std::string() : fs::absolute(options.bone_config).string();
  kx_calibrator_options calibrator_options{};
  calibrator_options.struct_size = sizeof(kx_calibrator_options);
  calibrator_options.abi_version = KX_ABI_VERSION_MAJOR;
  calibrator_options.config_path = view_of(config_path);
  calibrator_options.bone_config_path = view_of(bone_path);
  calibrator_options.use_fixed_scale = 0;
  calibrator_options.fixed_scale = 0.0;
  kx_calibrator* calibrator = nullptr;
  if (kx_calibrator_create(&calibrator_options, &calibrator) != KX_STATUS_OK)
    throw std::runtime_error("calibrator creation failed: " + text_of(kx_last_error()));
  return CalibratorHandle(calibrator);
}

std::vector<CalibrationCaptureStage> capture_stages(const Options& options, const Config& config) {
  std::vector<std::string> finger_order{"thumb", "first", "middle", "ring", "little"};
  if (config.contains("retargeting.finger_order")) finger_order = config.strings("retargeting.finger_order");
  const CalibrationProfile profile = load_calibration_profile(config, finger_order);
  std::vector<CalibrationCaptureStage> stages;
  for (const std::string& id : profile.stage_ids(options.capture_pinch_stages)) {
    const CalibrationStageProfile& stage = profile.stage(id);
    stages.push_back({stage.id, stage.prompt, stage.sample_count});
  }
  return stages;
}

void add_frame(kx_calibrator* calibrator, const std::string& stage_id, const kx_engine_input& frame) {
  if (kx_calibrator_add_frame(calibrator, view_of(stage_id), &frame) != KX_STATUS_OK)
    throw std::runtime_error("calibration frame rejected: " + text_of(kx_calibrator_last_error(calibrator)));
}

// ---------------------------------------------------------------- live capture

void connect(const Options& options, SerialPort& serial) {
  while (running.load()) {
    try {
      const std::string resolved = SerialPort::resolve_port(options.port);
      serial.open(resolved, options.baudrate);
      if (options.startup_commands) serial.write(kGloveStartupCommands);
      std::cout << "[kelto_hand_runtime] serial=" << resolved << " side=" << options.side
                << " mode=calibrate\n";
      return;
    } catch (const std::exception& error) {
      serial.close();
      std::cerr << "[kelto_hand_runtime] serial connect failed: " << error.what() << "; retrying...\n";
    }
    // Sleeps the retry delay in slices, so that a signal ends the wait early.
    const Clock::time_point retry = Clock::now() + kReconnectDelay;
    while (running.load() && Clock::now() < retry) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  throw std::runtime_error("serial connection interrupted");
}

void wait_for_stable_glove(const Options& options, SerialPort& serial, GloveDecoder& decoder) {
  std::cout << kTag << "等待稳定的手套数据...\n" << std::flush;
  const Clock::time_point start = Clock::now();
  std::size_t count = 0;
  while (running.load() && count < options.startup_valid_frames) {
    if (seconds_since(start) >= options.capture_timeout) break;
    const std::optional<std::string> line = serial.read_line(kReadLimit);
    if (line && decoder.decode_line(*line)) ++count;
  }
  if (count < options.startup_valid_frames) {
    throw std::runtime_error("startup timeout: received " + std::to_string(count) + "/" +
                             std::to_string(options.startup_valid_frames) + " valid glove frames");
  }
  std::cout << kTag << "手套数据已稳定。\n";
}

enum class EnterPress { pressed, closed, interrupted };

// Waits for the user's Enter on `input` (a pipe, a terminal or a file). The wait polls in slices and
// checks `running` between them, so SIGINT or SIGTERM ends it within one slice whether or not the
// signal interrupts the poll. Bytes are read one at a time: nothing after the line is taken away.
EnterPress wait_for_enter(int input) {
  char byte = 0;
  while (running.load()) {
    pollfd request{};
    request.fd = input;
    request.events = POLLIN;
    const int ready = ::poll(&request, 1, static_cast<int>(kReadLimit.count()));
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    if (ready < 0 || (request.revents & POLLNVAL) != 0) return EnterPress::closed;
    const ssize_t n = ::read(input, &byte, 1);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return EnterPress::closed;
    if (n == 1 && byte == '\n') return EnterPress::pressed;
  }
  return EnterPress::interrupted;
}

// Adds up to `wanted` decoded frames to the stage; stops early at the stage's timeout or when `running`
// is cleared. Returns the number taken.
std::size_t capture_frames(const Options& options, const std::string& stage_id, std::size_t wanted,
                           SerialPort& serial, GloveDecoder& decoder, kx_calibrator* calibrator) {
  serial.discard_input();
  const Clock::time_point start = Clock::now();
  std::size_t taken = 0;
  while (running.load() && taken < wanted && seconds_since(start) < options.capture_timeout) {
    const std::optional<std::string> line = serial.read_line(kReadLimit);
    if (!line) continue;
    const std::optional<kx_engine_input> frame = decoder.decode_line(*line);
    if (!frame) continue;
    add_frame(calibrator, stage_id, *frame);
    ++taken;
    std::cout << "\r" << kTag << stage_id << " " << taken << "/" << wanted << std::flush;
  }
  return taken;
}

// One stage: the prompt, the Enter press, the frames. A signal at the prompt fails the stage as it does
// during the capture.
void capture_stage(const Options& options, const CalibrationCaptureStage& stage, SerialPort& serial,
                   GloveDecoder& decoder, kx_calibrator* calibrator, int input) {
  std::cout << "\n"
            << kTag << "手势 " << stage.id << "：" << stage.prompt << "\n"
            << kTag << "准备好后按 Enter 开始采样。" << std::flush;
  const EnterPress press = wait_for_enter(input);
  if (press == EnterPress::closed) throw std::runtime_error("calibration input was closed");

  const std::size_t wanted = options.capture_samples != 0 ? options.capture_samples : stage.sample_count;
  const std::size_t taken = press == EnterPress::pressed
                                ? capture_frames(options, stage.id, wanted, serial, decoder, calibrator)
                                : 0;
  std::cout << "\n";
  if (taken < wanted) {
    throw std::runtime_error("capture timeout for " + stage.id + ": received " + std::to_string(taken) + "/" +
                             std::to_string(wanted) + " frames");
  }
}

void capture_live(const Options& options, const std::vector<CalibrationCaptureStage>& stages,
                  GloveDecoder& decoder, kx_calibrator* calibrator, int input) {
  SerialPort serial;
  connect(options, serial);
  wait_for_stable_glove(options, serial, decoder);
  for (const CalibrationCaptureStage& stage : stages)
    capture_stage(options, stage, serial, decoder, calibrator, input);
}

// ---------------------------------------------------------------- replay

void replay_samples(const Options& options, const std::vector<CalibrationCaptureStage>& stages,
                    GloveDecoder& decoder, kx_calibrator* calibrator) {
  const YAML::Node samples = YAML::LoadFile(options.samples_file.string());
  const YAML::Node gestures = entry(samples, "gestures");
  if (!is_map(gestures)) throw std::runtime_error("samples YAML missing gestures map");
  for (const CalibrationCaptureStage& stage : stages) {
    const std::string key = detail::samples_gesture_key(stage.id, gestures);
    const YAML::Node lines = entry(gestures, key);
    if (!is_sequence(lines)) throw std::runtime_error("samples YAML missing gesture: " + key);
    std::size_t added = 0;
    for (const YAML::Node& line : lines) {
      const std::optional<kx_engine_input> frame = decoder.decode_line(line.as<std::string>());
      if (!frame) continue;
      add_frame(calibrator, stage.id, *frame);
      ++added;
    }
    std::cout << kTag << "样本 " << key << " -> " << stage.id << ": " << added << " 帧\n";
    if (added == 0) throw std::runtime_error("sample gesture contains no valid frames: " + key);
  }
}

// ---------------------------------------------------------------- fit and overlay

// Runs the fit and checks its scale against the configured one; returns the fitted tip mapping entry of
// the side.
YAML::Node fit_and_check(const Options& options, const Config& config, kx_calibrator* calibrator) {
  std::cout << kTag << "正在执行 C++ 标定拟合...\n" << std::flush;
  if (kx_calibrator_fit(calibrator) != KX_STATUS_OK)
    throw std::runtime_error("calibration fit failed: " + text_of(kx_calibrator_last_error(calibrator)));
  kx_calibration_result result{};
  result.struct_size = sizeof(kx_calibration_result);
  result.abi_version = KX_ABI_VERSION_MAJOR;
  if (kx_calibrator_get_result(calibrator, &result) != KX_STATUS_OK)
    throw std::runtime_error("calibration result failed: " + text_of(kx_calibrator_last_error(calibrator)));

  const double baseline = config.number("tip_mapping." + options.side + ".human_hand_scale");
  std::cout << kTag << "raw_scale=" << number_text(result.scale_delta)
            << " scale=" << number_text(result.human_hand_scale) << " baseline=" << number_text(baseline)
            << "\n";
  const double ratio = result.human_hand_scale / baseline;
  if (!std::isfinite(ratio))
    throw std::runtime_error("calibration scale is not finite; the output file was not changed");
  if (ratio < 1.0 / 3.0 || ratio > 3.0) {
    std::cerr << kTag << "warning: calibration scale ratio " << number_text(ratio)
              << " is outside the usual baseline range; continuing\n";
  }

  kx_string_view view{};
  if (kx_calibrator_result_yaml(calibrator, &view) != KX_STATUS_OK)
    throw std::runtime_error("calibration YAML failed: " + text_of(kx_calibrator_last_error(calibrator)));
  const YAML::Node fitted = YAML::Load(std::string(view.data, view.size));
  const YAML::Node side_entry = entry(entry(fitted, "tip_mapping"), options.side);
  if (!is_map(side_entry))
    throw std::runtime_error("fitted calibration YAML is missing tip_mapping." + options.side);
  return side_entry;
}

std::string overlay_text(const Options& options, const Config& config, const fs::path& output,
                         const YAML::Node& fitted_side) {
  YAML::Node tip_mapping(YAML::NodeType::Map);
  if (fs::is_regular_file(output)) {
    const YAML::Node previous = YAML::LoadFile(output.string());
    const std::string other = options.side == "left" ? "right" : "left";
    const YAML::Node other_entry = entry(entry(previous, "tip_mapping"), other);
    if (is_map(other_entry)) tip_mapping[other] = calibration_side_overlay(other_entry, true);
  }
  tip_mapping[options.side] = calibration_side_overlay(fitted_side, options.capture_pinch_stages);

  YAML::Node root(YAML::NodeType::Map);
  root["extends"] = fs::absolute(options.config).string();
  const YAML::Node merged = YAML::Load(config.dump_yaml());
  for (const char* section : {"hand", "viewer"}) {
    const YAML::Node anthropometry = entry(entry(merged, section), "anthropometry");
    if (anthropometry.IsDefined()) root[section]["anthropometry"] = YAML::Clone(anthropometry);
  }
  root["tip_mapping"] = tip_mapping;
  return std::string(kOverlayHeader) + YAML::Dump(root) + "\n";
}

// Closes a descriptor and removes the temporary file behind it unless released.
class TemporaryFile {
 public:
  TemporaryFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~TemporaryFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }
  void release() { path_.clear(); }

 private:
  int fd_;
  std::string path_;
};

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(written);
  }
  return true;
}

// The file that `path` names: symbolic links are followed one by one to their final target, which need
// not exist yet (a dangling link names the file to create). No value when a link cannot be read or the
// chain does not end.
std::optional<fs::path> link_target(const fs::path& path) {
  constexpr int kMaxLinks = 40;
  fs::path target = path;
  for (int links = 0; links <= kMaxLinks; ++links) {
    struct stat status {};
    if (::lstat(target.c_str(), &status) != 0) return errno == ENOENT ? std::optional(target) : std::nullopt;
    if (!S_ISLNK(status.st_mode)) return target;
    std::error_code error;
    const fs::path next = fs::read_symlink(target, error);
    if (error) return std::nullopt;
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
  return std::nullopt;
}

// True when `target` may be replaced by a written file: it does not exist yet, or it is no directory and
// opens for writing (the probe changes nothing).
bool opens_for_writing(const fs::path& target) {
  struct stat status {};
  if (::stat(target.c_str(), &status) != 0) return errno == ENOENT;
  if (S_ISDIR(status.st_mode)) return false;
  const int fd = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

// Permission bits for the new file: those of the file it replaces, else the usual ones under the umask.
mode_t published_mode(const fs::path& target) {
  struct stat status {};
  if (::stat(target.c_str(), &status) == 0) return status.st_mode & 07777;
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

YAML::Node calibration_side_overlay(const YAML::Node& side_entry, bool include_tip_offsets) {
  YAML::Node overlay(YAML::NodeType::Map);
  std::vector<const char*> keys{"human_hand_scale", "palm_offset_local", "input_base_rotation_offset",
                                "input_tip_rotation_offset_local", "dynamic_palm_offset_by_finger_plane"};
  if (include_tip_offsets) keys.push_back("input_tip_offset_local");
  for (const char* key : keys) {
    const YAML::Node value = entry(side_entry, key);
    if (value.IsDefined()) overlay[key] = YAML::Clone(value);
  }
  return overlay;
}

namespace detail {

std::string samples_gesture_key(const std::string& stage_id, const YAML::Node& gestures) {
  if (stage_id == "close") return "five_close";
  if (stage_id == "fist") return "mcp90_pip90";
  if (stage_id == "mcp90") return is_sequence(entry(gestures, "mcp90")) ? "mcp90" : "mcp90_pip90";
  return stage_id;
}

void publish_file(const fs::path& path, const std::string& text) {
  const std::runtime_error cannot_open("cannot open calibration output: " + path.string());
  const std::optional<fs::path> target = link_target(path);
  if (!target || !opens_for_writing(*target)) throw cannot_open;
  const fs::path directory = target->has_parent_path() ? target->parent_path() : fs::path(".");
  std::string pattern = (directory / ("." + target->filename().string() + ".tmp-XXXXXX")).string();
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) throw cannot_open;
  TemporaryFile temporary(fd, pattern);

  const bool written = ::fchmod(temporary.fd(), published_mode(*target)) == 0 &&
                       write_all(temporary.fd(), text) && ::fsync(temporary.fd()) == 0;
  if (!temporary.close() || !written || std::rename(temporary.path().c_str(), target->c_str()) != 0)
    throw std::runtime_error("cannot write calibration output: " + path.string());
  temporary.release();
}

}  // namespace detail

void run_calibration(const Options& options, const Config& config, GloveDecoder& decoder, int input) {
  const CalibratorHandle calibrator = create_calibrator(options);
  const std::vector<CalibrationCaptureStage> stages = capture_stages(options, config);
  std::cout << kTag << "本次标定阶段：";
  for (std::size_t i = 0; i < stages.size(); ++i) std::cout << (i == 0 ? "" : ", ") << stages[i].id;
  std::cout << "\n";

  if (options.samples_file.empty()) {
    capture_live(options, stages, decoder, calibrator.get(), input);
  } else {
    replay_samples(options, stages, decoder, calibrator.get());
  }
  const YAML::Node fitted_side = fit_and_check(options, config, calibrator.get());

  const fs::path output = fs::absolute(options.output);
  const std::string text = overlay_text(options, config, output, fitted_side);
  if (output.has_parent_path()) fs::create_directories(output.parent_path());
  detail::publish_file(output, text);
  std::cout << kTag << "标定完成：" << output << "\n";
}

void run_calibration(const Options& options, const Config& config, GloveDecoder& decoder) {
  run_calibration(options, config, decoder, STDIN_FILENO);
}

}  // namespace kelto::hand::runtime
