// SerialPort against pseudo-terminals: the test holds the master side and plays the glove.
#include "runtime/serial_port.hpp"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <future>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "support/test_files.hpp"

namespace kelto::hand::runtime {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
constexpr auto kWait = 10s;  // never reached on a working port

// A pseudo-terminal whose slave device is the port under test; the opened port is `port`.
struct Pty {
  Pty() : master(::posix_openpt(O_RDWR | O_NOCTTY)) {
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) throw std::runtime_error("no pty");
    slave = ::ptsname(master);
    port.open(slave, 115200);
  }
  ~Pty() { close_master(); }
  void close_master() {
    if (master >= 0) ::close(master);
    master = -1;
  }
  void send(const std::string& bytes) const {
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno != EINTR) throw std::runtime_error("master write failed");
      if (n > 0) done += static_cast<std::size_t>(n);
    }
  }
  int master;
  std::string slave;
  SerialPort port;
};

std::string error_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

// Supported rates configure raw 8N1 at that speed; every failure has its text and leaves the port closed.
TEST(SerialPort, OpensSupportedRatesRawAndRefusesTheRest) {
  kelto::test::TempDir dir;
  const std::string plain = kelto::test::write_file(dir / "plain", "x").string();
  const std::string missing = (dir / "missing").string();
  Pty pty;
  const std::tuple<std::string, std::uint32_t, speed_t, std::string> cases[] = {
      {pty.slave, 9600, B9600, ""},
      {pty.slave, 115200, B115200, ""},
      {pty.slave, 230400, B230400, ""},
      {pty.slave, 14400, 0, "unsupported POSIX baud rate: 14400"},
      {pty.slave, 0, 0, "unsupported POSIX baud rate: 0"},
      {missing, 115200, 0, "cannot open serial port " + missing + ": " + std::strerror(ENOENT)},
      {plain, 115200, 0, "tcgetattr failed for " + plain + ": " + std::strerror(ENOTTY)},
  };
  for (const auto& [path, rate, speed, expected] : cases) {
    SCOPED_TRACE(rate);
    SerialPort port;
    port.open(pty.slave, 115200);  // a failed open also drops the device opened before
    EXPECT_EQ(error_of([&, &path = path, &rate = rate] { port.open(path, rate); }), expected);
    EXPECT_EQ(port.is_open(), expected.empty());
    if (!expected.empty()) continue;
    // The settings, read back through a second descriptor that never reads data.
    const int fd = ::open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio{};
    ASSERT_EQ(::tcgetattr(fd, &tio), 0);
    ::close(fd);
    EXPECT_EQ(::cfgetispeed(&tio), speed);
    EXPECT_EQ(::cfgetospeed(&tio), speed);
    EXPECT_EQ(tio.c_cflag & (CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS | CREAD | CLOCAL),
              static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(tio.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON), 0u);
    EXPECT_EQ(tio.c_oflag | tio.c_lflag, 0u);
    EXPECT_EQ(tio.c_cc[VMIN] + tio.c_cc[VTIME], 0);
  }
  SerialPort closed;
  EXPECT_EQ(error_of([&] { closed.write("x"); }), "serial port is not open");
  EXPECT_EQ(error_of([&] { closed.discard_input(); }), "serial port is not open");
  EXPECT_EQ(error_of([&] { closed.read_line(5ms); }), "serial port is not open");
}

// Lines end at a line feed, losing one carriage return before it; empty lines are lines.
TEST(SerialPort, SplitsLines) {
  const std::pair<std::string, Lines> cases[] = {
      {"a\r\nb\n", {"a", "b"}},     {"a\r\r\n", {"a\r"}},  {"a\rb\n", {"a\rb"}},
      {"\n\r\nx\n", {"", "", "x"}}, {"one\ntwo", {"one"}},  // no line feed yet: "two" waits
  };
  for (const auto& [bytes, expected] : cases) {
    SCOPED_TRACE(bytes);
    Pty pty;
    pty.send(bytes);
    Lines lines;
    while (lines.size() < expected.size()) {
      const std::optional<std::string> line = pty.port.read_line(kWait);
      ASSERT_TRUE(line.has_value());
      lines.push_back(*line);
    }
    EXPECT_EQ(lines, expected);
    EXPECT_FALSE(pty.port.read_line(20ms).has_value());
  }
}

// A zero timeout only hands out buffered lines; discarding drops buffered and pending input.
TEST(SerialPort, ZeroTimeoutAndDiscard) {
  Pty pty;
  pty.send("a\nb\n");
  EXPECT_FALSE(pty.port.read_line(0ms).has_value());  // the bytes still wait in the driver
  EXPECT_EQ(pty.port.read_line(kWait), std::optional<std::string>("a"));
  EXPECT_EQ(pty.port.read_line(0ms), std::optional<std::string>("b"));  // one small write arrives whole
  EXPECT_FALSE(pty.port.read_line(0ms).has_value());
  pty.send("c\nstale\n");
  EXPECT_EQ(pty.port.read_line(kWait), std::optional<std::string>("c"));
  pty.port.discard_input();
  pty.send("fresh\n");
  EXPECT_EQ(pty.port.read_line(kWait), std::optional<std::string>("fresh"));
}

// A line that fills the 1 MiB buffer exactly is kept. Past it the buffer is emptied within one 4096-byte
// read, and the bytes after that start the next line.
TEST(SerialPort, OverlongLinesOverflowTheBuffer) {
  const std::size_t limit = detail::kMaxLineBuffer, extra = 200000;
  Pty pty;
  std::thread writer([&] { pty.send(std::string(limit - 1, 'x') + "\n"); });
  const std::optional<std::string> full = pty.port.read_line(kWait);
  writer.join();
  writer = std::thread([&] { pty.send(std::string(limit + extra, 'y') + "tail\nnext\n"); });
  const std::optional<std::string> cut = pty.port.read_line(kWait);
  const std::optional<std::string> next = pty.port.read_line(kWait);
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

// Everything the test's end has not read yet, without waiting.
std::size_t drain(int fd) {
  std::size_t total = 0;
  char chunk[65536];
  for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) total += static_cast<std::size_t>(n);
  return total;
}

// A device that takes no byte for a second fails the write; one that pauses shorter (twice, longer than
// a second in all) gets every byte. The bytes taken before a failure stay sent.
TEST(SerialPort, WritesWaitForTheDeviceButNotForEver) {
  using Clock = std::chrono::steady_clock;
  const std::string text(1 << 20, 'x');  // far more than the terminal holds
  Pty pty;
  ASSERT_EQ(::fcntl(pty.master, F_SETFL, O_NONBLOCK), 0);
  const Clock::time_point start = Clock::now();
  auto stalled = std::async(std::launch::async, [&] { return error_of([&] { pty.port.write(text); }); });
  if (stalled.wait_for(kWait) != std::future_status::ready) pty.close_master();  // ends a write that spins
  EXPECT_EQ(stalled.get(), std::string("serial write failed: ") + std::strerror(ETIMEDOUT));
  EXPECT_GE(Clock::now() - start, 1s);
  const std::size_t taken = drain(pty.master);
  EXPECT_GT(taken, 0u);
  ASSERT_LT(3 * taken, text.size());

  std::atomic<std::size_t> received{0};
  std::thread reader([&] {
    for (int pause = 0; pause < 2; ++pause) {
      std::this_thread::sleep_for(600ms);
      received += drain(pty.master);
    }
    for (const Clock::time_point end = Clock::now() + kWait; received < 3 * taken && Clock::now() < end;)
      received += drain(pty.master);
  });
  EXPECT_EQ(error_of([&] { pty.port.write(text.substr(0, 3 * taken)); }), "");
  reader.join();
  EXPECT_EQ(received, 3 * taken);
}

TEST(SerialPort, ClosedPeerIsADisconnect) {
  Pty pty;
  pty.close_master();
  EXPECT_EQ(error_of([&] { pty.port.read_line(kWait); }), "serial device disconnected");
  EXPECT_TRUE(pty.port.is_open());
}

TEST(SerialPort, ResolvesAutoToTheOneGlovePort) {
  const Lines one = {"/dev/cu.usbmodem1"}, two = {"/dev/cu.usbmodem1", "/dev/ttyACM0"}, none;
  const std::tuple<std::string, const Lines*, std::string> cases[] = {
      {"AUTO", &one, "/dev/cu.usbmodem1"},
      {"autodetect", &one, "/dev/cu.usbmodem1"},
      {"", &one, "/dev/cu.usbmodem1"},
      {"auto", &none, "no glove serial port detected"},
      {"auto", &two,
       "multiple glove serial ports detected; pass --port explicitly: /dev/cu.usbmodem1 /dev/ttyACM0"},
      {"COM3", &none, "COM3"},
      {"auto ", &none, "auto "},
  };
  for (const auto& [spec, detected, expected] : cases) {
    std::string result;
    const std::string error = error_of([&, &spec = spec, detected = detected] {
      result = detail::resolve_port_with(spec, [detected] { return *detected; });
    });
    EXPECT_EQ(error.empty() ? result : error, expected) << spec;
  }
}

}  // namespace
}  // namespace kelto::hand::runtime
