// SerialPort against pseudo-terminals: the test holds the master side and plays the glove.
#include "runtime/serial_port.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/test_files.hpp"

namespace kelto::hand::runtime {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// Never reached on a working port: the reads return as soon as a line is there.
constexpr auto kWait = 10s;

class Pty {
 public:
  Pty() : master_(::posix_openpt(O_RDWR | O_NOCTTY)) {
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
      throw std::runtime_error("no pty");
    slave_ = ::ptsname(master_);
  }
  ~Pty() { close_master(); }
  void close_master() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  void send(const std::string& bytes) const {
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno != EINTR) throw std::runtime_error("master write failed");
      if (n > 0) done += static_cast<std::size_t>(n);
    }
  }
  int master_;
  std::string slave_;
};

std::string error_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "(no error)";
}

TEST(SerialPortOpen, SupportedRatesConfigureRaw8N1) {
  const std::pair<std::uint32_t, speed_t> rates[] = {{9600, B9600},   {19200, B19200},   {38400, B38400},
                                                     {57600, B57600}, {115200, B115200}, {230400, B230400}};
  for (const auto& [rate, speed] : rates) {
    SCOPED_TRACE(rate);
    Pty pty;
    SerialPort port;
    port.open(pty.slave_, rate);
    ASSERT_TRUE(port.is_open());
    // Read the settings back through a second descriptor that never reads data.
    const int fd = ::open(pty.slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio{};
    ASSERT_EQ(::tcgetattr(fd, &tio), 0);
    ::close(fd);
    EXPECT_EQ(::cfgetispeed(&tio), speed);
    EXPECT_EQ(::cfgetospeed(&tio), speed);
    EXPECT_EQ(tio.c_cflag & (CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS | CREAD | CLOCAL),
              static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(tio.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON), 0u);
    EXPECT_EQ(tio.c_oflag, 0u);
    EXPECT_EQ(tio.c_lflag, 0u);
    EXPECT_EQ(tio.c_cc[VMIN] + tio.c_cc[VTIME], 0);
  }
}

TEST(SerialPortOpen, FailuresLeaveThePortClosed) {
  kelto::test::TempDir dir;
  const std::string plain = kelto::test::write_file(dir / "plain", "x").string();
  const std::string missing = (dir / "missing").string();
  Pty pty;
  const std::tuple<std::string, std::uint32_t, std::string> cases[] = {
      {missing, 115200, "cannot open serial port " + missing + ": " + std::strerror(ENOENT)},
      {plain, 115200, "tcgetattr failed for " + plain + ": " + std::strerror(ENOTTY)},
      {pty.slave_, 14400, "unsupported POSIX baud rate: 14400"},
      {pty.slave_, 460800, "unsupported POSIX baud rate: 460800"},
      {pty.slave_, 0, "unsupported POSIX baud rate: 0"},
  };
  for (const auto& [path, rate, expected] : cases) {
    SCOPED_TRACE(expected);
    SerialPort port;
    port.open(pty.slave_, 115200);  // a failed open also drops the device opened before
    EXPECT_EQ(error_of([&] { port.open(path, rate); }), expected);
    EXPECT_FALSE(port.is_open());
  }
}

TEST(SerialPortOpen, ClosedPortRefusesIoAndClosesAgainQuietly) {
  SerialPort port;
  port.close();
  EXPECT_FALSE(port.is_open());
  EXPECT_EQ(error_of([&] { port.write("x"); }), "serial port is not open");
  EXPECT_EQ(error_of([&] { port.discard_input(); }), "serial port is not open");
  EXPECT_EQ(error_of([&] { port.read_line(5ms); }), "serial port is not open");
}

TEST(SerialPortRead, SplitsLinesAtLineFeedsAndDropsOneTrailingCarriageReturn) {
  const std::pair<std::string, Lines> cases[] = {
      {"a\r\nb\n", {"a", "b"}},     {"a\r\r\n", {"a\r"}},  {"a\rb\n", {"a\rb"}},
      {"\n\r\nx\n", {"", "", "x"}}, {"one\ntwo", {"one"}},  // no line feed yet: "two" waits
  };
  for (const auto& [bytes, expected] : cases) {
    SCOPED_TRACE(bytes);
    Pty pty;
    SerialPort port;
    port.open(pty.slave_, 115200);
    pty.send(bytes);
    Lines lines;
    while (lines.size() < expected.size()) {
      const std::optional<std::string> line = port.read_line(kWait);
      ASSERT_TRUE(line.has_value());
      lines.push_back(*line);
    }
    EXPECT_EQ(lines, expected);
    EXPECT_FALSE(port.read_line(20ms).has_value());
  }
}

TEST(SerialPortRead, ZeroTimeoutOnlyHandsOutBufferedLines) {
  Pty pty;
  SerialPort port;
  port.open(pty.slave_, 115200);
  pty.send("a\nb\n");
  EXPECT_FALSE(port.read_line(0ms).has_value());  // the bytes still wait in the driver
  EXPECT_EQ(port.read_line(kWait), std::optional<std::string>("a"));
  EXPECT_EQ(port.read_line(0ms), std::optional<std::string>("b"));  // one small write arrives whole
  EXPECT_FALSE(port.read_line(0ms).has_value());
}

TEST(SerialPortRead, BufferLimit) {
  // A line that fills the buffer exactly is kept. Past the limit the buffer is emptied within one
  // 4096-byte read, and the bytes after that start the next line.
  const std::size_t limit = detail::kMaxLineBuffer, extra = 200000;
  Pty pty;
  SerialPort port;
  port.open(pty.slave_, 115200);
  std::thread writer([&] { pty.send(std::string(limit - 1, 'x') + "\n"); });
  const std::optional<std::string> full = port.read_line(kWait);
  writer.join();
  writer = std::thread([&] { pty.send(std::string(limit + extra, 'y') + "tail\nnext\n"); });
  const std::optional<std::string> cut = port.read_line(kWait);
  const std::optional<std::string> next = port.read_line(kWait);
  writer.join();
  ASSERT_TRUE(full && cut && next);
  EXPECT_EQ(full->size(), limit - 1);
  const std::size_t kept = cut->size() - 4;
  EXPECT_EQ(cut->substr(kept), "tail");
  EXPECT_EQ(cut->find_first_not_of('y'), kept);
  EXPECT_LT(kept, extra);
  EXPECT_GE(kept, extra - 4096);
  EXPECT_EQ(*next, "next");
}

TEST(SerialPortRead, ClosedPeerReportsDisconnectAndLeavesThePortOpen) {
  Pty pty;
  SerialPort port;
  port.open(pty.slave_, 115200);
  pty.close_master();
  EXPECT_EQ(error_of([&] { port.read_line(kWait); }), "serial device disconnected");
  EXPECT_TRUE(port.is_open());
}

TEST(SerialPortWrite, EveryByteArrivesUnchanged) {
  Pty pty;
  SerialPort port;
  port.open(pty.slave_, 115200);
  // More than the pseudo-terminal holds at once, so some writes have to be retried.
  std::string text = "telemetry on\r\n";
  for (int i = 0; text.size() < 300000; ++i) text += "line " + std::to_string(i) + "\n";
  std::atomic<bool> written{false};
  std::string received;
  std::thread reader([&] {
    char chunk[4096];
    for (pollfd request{pty.master_, POLLIN, 0};;) {
      if (::poll(&request, 1, 50) > 0) {
        const ssize_t n = ::read(pty.master_, chunk, sizeof chunk);
        if (n <= 0) break;
        received.append(chunk, static_cast<std::size_t>(n));
      } else if (written) {
        break;
      }
    }
  });
  port.write(text);
  written = true;
  reader.join();
  EXPECT_EQ(received, text);
}

TEST(SerialPortDiscard, DropsBufferedAndPendingInput) {
  Pty pty;
  SerialPort port;
  port.open(pty.slave_, 115200);
  pty.send("a\nstale\n");
  EXPECT_EQ(port.read_line(kWait), std::optional<std::string>("a"));
  port.discard_input();
  pty.send("fresh\n");
  EXPECT_EQ(port.read_line(kWait), std::optional<std::string>("fresh"));
}

TEST(SerialPortDiscovery, ResolvePort) {
  const Lines one = {"/dev/cu.usbmodem1"}, two = {"/dev/cu.usbmodem1", "/dev/ttyACM0"}, none;
  const std::tuple<std::string, const Lines*, std::string> cases[] = {
      {"AUTO", &one, "/dev/cu.usbmodem1"},
      {"Auto-Detect", &one, "/dev/cu.usbmodem1"},
      {"autodetect", &one, "/dev/cu.usbmodem1"},
      {"", &one, "/dev/cu.usbmodem1"},
      {"auto", &none, "no glove serial port detected"},
      {"auto", &two,
       "multiple glove serial ports detected; pass --port explicitly: /dev/cu.usbmodem1 /dev/ttyACM0"},
      {"COM3", &none, "COM3"},
      {"auto ", &none, "auto "},
  };
  for (const auto& [spec, detected, expected] : cases) {
    SCOPED_TRACE(spec);
    std::string result;
    try {
      result = detail::resolve_port_with(spec, [detected = detected] { return *detected; });
    } catch (const std::runtime_error& error) {
      result = error.what();
    }
    EXPECT_EQ(result, expected);
  }
}

TEST(SerialPortDiscovery, GlobMatchesAreSortedTogether) {
  kelto::test::TempDir dir;
  for (const char* name : {"cu.usbserial-A", "cu.usbmodem2", "cu.usbmodem10", "ttyACM0", "other"}) {
    kelto::test::write_file(dir / name, "");
  }
  const std::string base = dir.path().string() + "/";
  EXPECT_EQ(
      detail::glob_sorted({base + "cu.usbserial*", base + "cu.usbmodem*", base + "none*", base + "ttyACM*"}),
      (Lines{base + "cu.usbmodem10", base + "cu.usbmodem2", base + "cu.usbserial-A", base + "ttyACM0"}));
}

}  // namespace
}  // namespace kelto::hand::runtime
