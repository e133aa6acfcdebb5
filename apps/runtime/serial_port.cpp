#include "runtime/serial_port.hpp"

#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>

namespace kelto::hand::runtime {

struct SerialPort::Impl {
  int fd = -1;
};

namespace {

using Clock = std::chrono::steady_clock;

// Longest time a write waits for the device to take any byte.
constexpr auto kWriteStall = std::chrono::seconds(1);

std::string error_text(int error) {
  return std::strerror(error);
}

std::optional<speed_t> posix_speed(std::uint32_t baudrate) {
  switch (baudrate) {
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
#ifdef B230400
    case 230400:
      return B230400;
#endif
    default:
      return std::nullopt;
  }
}

// now + timeout without overflowing the clock; a negative timeout is already due.
Clock::time_point deadline_after(Clock::time_point now, std::chrono::milliseconds timeout) {
  if (timeout <= std::chrono::milliseconds::zero()) return now;
  const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
  if (timeout >= room) return Clock::time_point::max();
  return now + timeout;
}

int poll_wait_ms(Clock::time_point now, Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
  return static_cast<int>(std::clamp<long long>(left, 1, INT_MAX));
}

// Waits until the device takes bytes again; a device that takes none until `give_up` has stalled.
void wait_writable(int fd, Clock::time_point give_up) {
  const Clock::time_point now = Clock::now();
  if (now >= give_up) throw std::runtime_error("serial write failed: " + error_text(ETIMEDOUT));
  pollfd request{};
  request.fd = fd;
  request.events = POLLOUT;
  if (::poll(&request, 1, poll_wait_ms(now, give_up)) < 0 && errno != EINTR) {
    throw std::runtime_error("serial write failed: " + error_text(errno));
  }
}

bool is_auto_spec(const std::string& spec) {
  std::string lower = spec;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.empty() || lower == "auto" || lower == "autodetect" || lower == "auto-detect";
}

}  // namespace

SerialPort::SerialPort() : impl_(std::make_unique<Impl>()) {}

SerialPort::~SerialPort() {
  close();
}

SerialPort::SerialPort(SerialPort&& other) noexcept
    : impl_(std::move(other.impl_)), buffer_(std::move(other.buffer_)), searched_(other.searched_) {
  other.buffer_.clear();
  other.searched_ = 0;
}

SerialPort& SerialPort::operator=(SerialPort&& other) noexcept {
  if (this != &other) {
    close();
    impl_ = std::move(other.impl_);
    buffer_ = std::move(other.buffer_);
    searched_ = other.searched_;
    other.buffer_.clear();
    other.searched_ = 0;
  }
  return *this;
}

void SerialPort::open(const std::string& device, std::uint32_t baudrate) {
  close();
  if (!impl_) impl_ = std::make_unique<Impl>();

  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    throw std::runtime_error("cannot open serial port " + device + ": " + error_text(errno));
  }
  impl_->fd = fd;

  // Every failure below takes the error text first, then closes, then reports.
  termios tio;
  std::memset(&tio, 0, sizeof tio);
  if (::tcgetattr(fd, &tio) != 0) {
    const std::string text = error_text(errno);
    close();
    throw std::runtime_error("tcgetattr failed for " + device + ": " + text);
  }

  const std::optional<speed_t> speed = posix_speed(baudrate);
  if (!speed) {
    close();
    throw std::runtime_error("unsupported POSIX baud rate: " + std::to_string(baudrate));
  }
  ::cfsetispeed(&tio, *speed);
  ::cfsetospeed(&tio, *speed);

  tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
  tio.c_oflag = 0;
  tio.c_lflag = 0;
  tcflag_t cleared = CSIZE | CSTOPB | PARENB | PARODD | CREAD | CLOCAL;
#ifdef CRTSCTS
  cleared |= CRTSCTS;
#endif
  tio.c_cflag &= ~cleared;
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;

  if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
    const std::string text = error_text(errno);
    close();
    throw std::runtime_error("tcsetattr failed for " + device + ": " + text);
  }
  ::tcflush(fd, TCIOFLUSH);
}

void SerialPort::close() {
  if (impl_ && impl_->fd >= 0) {
    ::close(impl_->fd);
    impl_->fd = -1;
  }
  buffer_.clear();
  searched_ = 0;
}

bool SerialPort::is_open() const {
  return impl_ && impl_->fd >= 0;
}

void SerialPort::write(const std::string& text) {
  if (!is_open()) throw std::runtime_error("serial port is not open");
  std::size_t done = 0;
  Clock::time_point give_up = deadline_after(Clock::now(), kWriteStall);
  while (done < text.size()) {
    const ssize_t n = ::write(impl_->fd, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      give_up = deadline_after(Clock::now(), kWriteStall);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      throw std::runtime_error("serial write failed: " + error_text(errno));
    }
    wait_writable(impl_->fd, give_up);
  }
}

void SerialPort::discard_input() {
  if (!is_open()) throw std::runtime_error("serial port is not open");
  buffer_.clear();
  searched_ = 0;
  if (::tcflush(impl_->fd, TCIFLUSH) != 0) {
    throw std::runtime_error("tcflush(TCIFLUSH) failed: " + error_text(errno));
  }
}

std::optional<std::string> SerialPort::read_line(std::chrono::milliseconds timeout) {
  if (!is_open()) throw std::runtime_error("serial port is not open");
  const Clock::time_point deadline = deadline_after(Clock::now(), timeout);

  char chunk[4096];
  for (;;) {
    // Only the bytes that came since the last search can hold the line feed.
    const std::size_t newline = buffer_.find('\n', searched_);
    searched_ = newline == std::string::npos ? buffer_.size() : 0;
    if (newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }

    const Clock::time_point now = Clock::now();
    if (now >= deadline) return std::nullopt;

    pollfd request{};
    request.fd = impl_->fd;
    request.events = POLLIN;
    const int ready = ::poll(&request, 1, poll_wait_ms(now, deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("serial poll failed: " + error_text(errno));
    }
    if (ready == 0) continue;
    if ((request.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      throw std::runtime_error("serial device disconnected");
    }
    if ((request.revents & POLLIN) != 0) {
      const ssize_t n = ::read(impl_->fd, chunk, sizeof chunk);
      if (n > 0) {
        buffer_.append(chunk, static_cast<std::size_t>(n));
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        throw std::runtime_error("serial read failed: " + error_text(errno));
      }
      // A line feed that never comes must not grow the buffer without bound.
      if (buffer_.size() > detail::kMaxLineBuffer) {
        buffer_.clear();
        searched_ = 0;
      }
    }
  }
}

std::vector<std::string> SerialPort::list_glove_ports() {
  std::vector<std::string> patterns = {"/dev/cu.usbmodem*", "/dev/cu.usbserial*"};
#ifdef __linux__
  patterns.push_back("/dev/ttyACM*");
  patterns.push_back("/dev/ttyUSB*");
#endif
  return detail::glob_sorted(patterns);
}

std::string SerialPort::resolve_port(const std::string& spec) {
  return detail::resolve_port_with(spec, &SerialPort::list_glove_ports);
}

namespace detail {

std::vector<std::string> glob_sorted(const std::vector<std::string>& patterns) {
  std::vector<std::string> paths;
  for (const std::string& pattern : patterns) {
    glob_t matches;
    std::memset(&matches, 0, sizeof matches);
    if (::glob(pattern.c_str(), 0, nullptr, &matches) == 0) {
      for (std::size_t i = 0; i < matches.gl_pathc; ++i) paths.emplace_back(matches.gl_pathv[i]);
    }
    ::globfree(&matches);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::string resolve_port_with(const std::string& spec,
                              const std::function<std::vector<std::string>()>& detect) {
  if (!is_auto_spec(spec)) return spec;
  const std::vector<std::string> ports = detect();
  if (ports.empty()) throw std::runtime_error("no glove serial port detected");
  if (ports.size() == 1) return ports.front();
  std::string message = "multiple glove serial ports detected; pass --port explicitly:";
  for (const std::string& port : ports) message += " " + port;
  throw std::runtime_error(message);
}

}  // namespace detail

}  // namespace kelto::hand::runtime
