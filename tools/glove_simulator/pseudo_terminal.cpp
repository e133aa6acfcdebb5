#include "glove_simulator/pseudo_terminal.hpp"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace kelto::hand::simulator {
namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

constexpr std::size_t kMaxPendingInput = 64 * 1024;

// Writes as much of `pending` as the terminal takes without blocking; true when all of it went out.
bool send_pending(int fd, std::string& pending) {
  while (!pending.empty()) {
    const ssize_t n = ::write(fd, pending.data(), pending.size());
    if (n > 0) {
      pending.erase(0, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EIO) {
      fail("pseudo-terminal write failed");
    } else {
      return false;  // no room
    }
  }
  return true;
}

}  // namespace

PseudoTerminal::~PseudoTerminal() {
  close();
}

PseudoTerminal::PseudoTerminal(PseudoTerminal&& other) noexcept
    : master_(std::exchange(other.master_, -1)),
      slave_(std::exchange(other.slave_, -1)),
      slave_path_(std::move(other.slave_path_)),
      pending_out_(std::move(other.pending_out_)),
      pending_in_(std::move(other.pending_in_)) {}

PseudoTerminal& PseudoTerminal::operator=(PseudoTerminal&& other) noexcept {
  if (this != &other) {
    close();
    master_ = std::exchange(other.master_, -1);
    slave_ = std::exchange(other.slave_, -1);
    slave_path_ = std::move(other.slave_path_);
    pending_out_ = std::move(other.pending_out_);
    pending_in_ = std::move(other.pending_in_);
  }
  return *this;
}

void PseudoTerminal::open() {
  close();
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) fail("posix_openpt failed");
  auto give_up = [master](const std::string& what) {
    const int saved = errno;
    ::close(master);
    errno = saved;
    fail(what);
  };
  if (::grantpt(master) != 0) give_up("grantpt failed");
  if (::unlockpt(master) != 0) give_up("unlockpt failed");
  const char* name = ::ptsname(master);
  if (name == nullptr) give_up("ptsname failed");
  const std::string path = name;
  const int flags = ::fcntl(master, F_GETFL);
  if (flags < 0 || ::fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) give_up("fcntl failed");

  const int slave = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (slave < 0) give_up("cannot open " + path);
  termios attributes{};
  bool raw = ::tcgetattr(slave, &attributes) == 0;
  if (raw) {
    ::cfmakeraw(&attributes);
    raw = ::tcsetattr(slave, TCSANOW, &attributes) == 0;
  }
  if (!raw) {
    const int saved = errno;
    ::close(slave);
    errno = saved;
    give_up("cannot set raw mode on " + path);
  }
  master_ = master;
  slave_ = slave;
  slave_path_ = path;
}

void PseudoTerminal::close() {
  if (slave_ >= 0) ::close(slave_);
  if (master_ >= 0) ::close(master_);
  slave_ = -1;
  master_ = -1;
  slave_path_.clear();
  pending_out_.clear();
  pending_in_.clear();
}

bool PseudoTerminal::write_line(const std::string& line) {
  if (master_ < 0) throw std::runtime_error("pseudo-terminal is not open");
  if (!send_pending(master_, pending_out_)) return false;  // an earlier line is still going out
  pending_out_ = line + '\n';
  send_pending(master_, pending_out_);
  if (pending_out_.size() == line.size() + 1) {
    pending_out_.clear();  // nothing of this line went out: drop it whole
    return false;
  }
  return true;
}

std::vector<std::string> PseudoTerminal::read_lines() {
  if (master_ < 0) throw std::runtime_error("pseudo-terminal is not open");
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n > 0) {
      pending_in_.append(buffer, static_cast<std::size_t>(n));
      if (pending_in_.size() > kMaxPendingInput) pending_in_.clear();  // no line feed in sight
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EIO) fail("pseudo-terminal read failed");
    break;
  }
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = pending_in_.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = pending_in_.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
  }
  pending_in_.erase(0, start);
  return lines;
}

void replace_symlink(const std::filesystem::path& link, const std::string& target) {
  std::error_code error;
  const auto status = std::filesystem::symlink_status(link, error);
  if (std::filesystem::exists(status) && !std::filesystem::is_symlink(status)) {
    throw std::runtime_error("refusing to replace " + link.string() + ": it is not a symbolic link");
  }
  const std::filesystem::path temporary = link.string() + ".tmp" + std::to_string(::getpid());
  std::filesystem::remove(temporary, error);
  if (::symlink(target.c_str(), temporary.c_str()) != 0) fail("cannot create link " + temporary.string());
  if (::rename(temporary.c_str(), link.c_str()) != 0) {
    const int saved = errno;
    ::unlink(temporary.c_str());
    errno = saved;
    fail("cannot rename link to " + link.string());
  }
}

void remove_symlink(const std::filesystem::path& link) {
  std::error_code error;
  if (std::filesystem::is_symlink(std::filesystem::symlink_status(link, error))) {
    std::filesystem::remove(link, error);
  }
}

}  // namespace kelto::hand::simulator
