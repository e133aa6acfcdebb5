// Raw access to a glove's USB serial device: 8N1 at a fixed baud rate, line assembly with a deadline,
// and discovery of the devices a glove shows up as.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelto::hand::runtime {

class SerialPort {
 public:
  SerialPort();
  ~SerialPort();
  SerialPort(SerialPort&& other) noexcept;
  SerialPort& operator=(SerialPort&& other) noexcept;
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Closes whatever was open, then opens the device raw (8N1, no flow control) at the given rate.
  // Supported rates: 9600, 19200, 38400, 57600, 115200, 230400. The port is closed after any failure.
  void open(const std::string& device, std::uint32_t baudrate);
  // Closes the device (errors ignored) and drops buffered bytes; harmless on a closed port.
  void close();
  bool is_open() const;

  // Writes every byte of the text.
  void write(const std::string& text);
  // Drops buffered bytes and the input pending in the driver.
  void discard_input();
  // The next complete line without its line feed and without one carriage return before it, or no
  // value once the timeout has passed. A zero timeout only hands out lines already buffered.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout);

  // Device paths that look like a glove, sorted in ascending byte order.
  static std::vector<std::string> list_glove_ports();
  // "auto" (any case; also "autodetect", "auto-detect" and the empty text) detects the one glove
  // port; anything else is returned unchanged.
  static std::string resolve_port(const std::string& spec);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string buffer_;
  std::size_t searched_ = 0;  // leading bytes of buffer_ known to hold no line feed
};

namespace detail {

// Largest number of received bytes kept while waiting for a line feed.
inline constexpr std::size_t kMaxLineBuffer = 1048576;

// Paths matching any of the glob patterns, all sorted together; patterns without matches add nothing.
std::vector<std::string> glob_sorted(const std::vector<std::string>& patterns);

// resolve_port with the detection step supplied by the caller.
std::string resolve_port_with(const std::string& spec,
                              const std::function<std::vector<std::string>()>& detect);

}  // namespace detail

}  // namespace kelto::hand::runtime
