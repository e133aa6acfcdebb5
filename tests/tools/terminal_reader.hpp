// The program's side of a simulated glove for tests: opens the device as a serial port does
// (non-blocking, no controlling terminal) and reads lines with bounded waits.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelto::test {

class TerminalReader {
 public:
  explicit TerminalReader(const std::string& path)
      : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
  }
  ~TerminalReader() { ::close(fd_); }
  TerminalReader(const TerminalReader&) = delete;
  TerminalReader& operator=(const TerminalReader&) = delete;

  void write(const std::string& text) {
    if (::write(fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
      throw std::runtime_error("write");
  }

  // The complete lines that arrive until `count` are there or nothing more comes for 100 ms (up to 5 s).
  std::vector<std::string> read_lines(std::size_t count = SIZE_MAX) {
    std::vector<std::string> lines;
    for (int i = 0; i < 50 && lines.size() < count && poll_once(POLLIN); ++i) {
      char chunk[4096];
      for (ssize_t n; (n = ::read(fd_, chunk, sizeof chunk)) > 0;)
        buffer_.append(chunk, static_cast<std::size_t>(n));
      for (std::size_t end; (end = buffer_.find('\n')) != std::string::npos; buffer_.erase(0, end + 1)) {
        lines.push_back(buffer_.substr(0, end));
      }
    }
    return lines;
  }

  // True when the device reports a hang-up within `polls` waits of 100 ms (input meanwhile is dropped).
  bool hung_up(int polls = 10) {
    for (char chunk[4096]; polls-- > 0;) {
      if (poll_once(POLLHUP | POLLERR)) return true;
      while (::read(fd_, chunk, sizeof chunk) > 0) {
      }
    }
    return false;
  }

 private:
  bool poll_once(short wanted) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 100) > 0 && (p.revents & wanted);
  }

  int fd_;
  std::string buffer_;
};

}  // namespace kelto::test
