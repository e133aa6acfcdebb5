// The bundled hand and the built programs, for tests that run them as a user does.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/test_files.hpp"

extern char** environ;

namespace kelto::test {

inline std::filesystem::path hand_config() {
  return source_dir() / "resources/hands/dynamic_openxr_hand/dynamic_openxr_hand_system.yaml";
}
inline const std::filesystem::path kRuntimeProgram =
    std::filesystem::path(KELTO_BINARY_DIR) / "apps/runtime/kelto_hand_runtime";
inline const std::filesystem::path kSimulatorProgram =
    std::filesystem::path(KELTO_BINARY_DIR) / "tools/kelto_glove_simulator";

// Where a program's standard input comes from: /dev/null, or a pipe or a terminal that the test types on.
enum class StandardInput { null_device, pipe, terminal };

// A program with its output in files under `dir` and standard input from /dev/null, or from a pipe or a
// terminal (in its usual line mode) that the test writes with `input`; killed if still running at the
// end. Waits have a generous upper bound (start-up is slow under the sanitizers).
class Program {
 public:
  Program(const std::vector<std::string>& args, const std::filesystem::path& dir,
          StandardInput standard_input = StandardInput::null_device)
      : err_path_(dir / (std::to_string(++count_) + ".err")) {
    const std::string out_path = (dir / (std::to_string(count_) + ".out")).string();
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    read_fd_ = ::open(out_path.c_str(), O_RDONLY | O_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const bool piped_input = standard_input != StandardInput::null_device;
    int input_ends[2] = {-1, -1};  // the program's end, the test's end
    if (standard_input == StandardInput::pipe) open_pipe(input_ends);
    if (standard_input == StandardInput::terminal) open_terminal(input_ends);
    if (piped_input) {
      posix_spawn_file_actions_adddup2(&actions, input_ends[0], 0);
    } else {
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    // A program that ends before reading its input must not take the test down with SIGPIPE; the
    // program itself keeps the default action.
    if (piped_input) ::signal(SIGPIPE, SIG_IGN);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    const int spawned = ::posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out);
    if (piped_input) ::close(input_ends[0]);
    input_fd_ = input_ends[1];
    if (spawned != 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(spawned));
  }
  ~Program() {
    if (!ended()) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    close_input();
    ::close(read_fd_);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // Standard output so far (read on from where the last call stopped).
  const std::string& out() {
    char buffer[65536];
    for (ssize_t n; (n = ::read(read_fd_, buffer, sizeof buffer)) > 0;)
      out_.append(buffer, static_cast<std::size_t>(n));
    return out_;
  }
  std::string err() const { return read_file(err_path_); }
  std::string report() { return out() + err(); }
  void signal(int number) const { ::kill(pid_, number); }
  // Writes `text` to the program's standard input (a pipe or a terminal); false when it is closed.
  bool input(const std::string& text) const {
    return input_fd_ >= 0 &&
           ::write(input_fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }
  void close_input() {
    if (input_fd_ >= 0) ::close(input_fd_);
    input_fd_ = -1;
  }

  // Waits until `ready` holds, the program has ended or the limit has passed; returns `ready()`.
  bool wait_for(const std::function<bool()>& ready,
                std::chrono::milliseconds poll = std::chrono::milliseconds(20)) {
    using namespace std::chrono;
    for (const auto end = steady_clock::now() + seconds(300); !ready(); std::this_thread::sleep_for(poll))
      if (steady_clock::now() >= end || ended()) return ready();
    return true;
  }
  bool wait_for_text(const std::string& text) {
    return wait_for([&] { return out().find(text) != std::string::npos; });
  }
  // The exit status once the program has ended by itself; no value for a signal death or the limit.
  std::optional<int> wait_exit() {
    wait_for([&] { return ended(); });
    out();
    if (!status_ || !WIFEXITED(*status_)) return std::nullopt;
    return WEXITSTATUS(*status_);
  }
  bool ended() {
    int status = 0;
    if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    return status_.has_value();
  }

 private:
  static void open_pipe(int ends[2]) {
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
  }
  static void open_terminal(int ends[2]) {
    ends[1] = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (ends[1] < 0 || ::grantpt(ends[1]) != 0 || ::unlockpt(ends[1]) != 0)
      throw std::runtime_error("cannot make a terminal");
    ends[0] = ::open(::ptsname(ends[1]), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (ends[0] < 0) throw std::runtime_error("cannot open the terminal");
  }

  static inline int count_ = 0;
  std::filesystem::path err_path_;
  int read_fd_ = -1;
  int input_fd_ = -1;
  pid_t pid_ = -1;
  std::string out_;
  std::optional<int> status_;
};

}  // namespace kelto::test
