// The simulator's end of a serial line: a pseudo-terminal whose slave device the program opens as if it
// were the glove's USB serial port, and the symbolic link that names the current slave device.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace kelto::hand::simulator {

class PseudoTerminal {
 public:
  PseudoTerminal() = default;
  ~PseudoTerminal();
  PseudoTerminal(PseudoTerminal&& other) noexcept;
  PseudoTerminal& operator=(PseudoTerminal&& other) noexcept;
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // Closes any open terminal, then opens a new one in raw mode (no echo, no line editing, no output
  // processing). Throws std::runtime_error with the system's error text on failure.
  void open();
  // Closes the terminal: a program holding the slave device sees it hang up.
  void close();
  bool is_open() const { return master_ >= 0; }

  const std::string& slave_path() const { return slave_path_; }
  int master_fd() const { return master_; }

  // Sends one line and its line feed without blocking. A line that finds no room (nobody reads the
  // device) is dropped whole and false is returned; a partly sent line is finished first by later
  // calls. Throws on a closed terminal.
  bool write_line(const std::string& line);
  // The complete lines the program has written so far (line feed removed, one carriage return before it
  // removed); never blocks. Throws on a closed terminal.
  std::vector<std::string> read_lines();

 private:
  int master_ = -1;
  int slave_ = -1;  // held open so the terminal keeps its settings and never reports a hang-up itself
  std::string slave_path_;
  std::string pending_out_;  // rest of a partly sent line
  std::string pending_in_;   // received bytes without a line feed yet
};

// Points `link` at `target`, replacing an existing symbolic link atomically (a new link under a temporary
// name is renamed over it). Refuses to replace anything that is not a symbolic link.
void replace_symlink(const std::filesystem::path& link, const std::string& target);
// Removes `link` when it is a symbolic link; anything else is left alone.
void remove_symlink(const std::filesystem::path& link);

}  // namespace kelto::hand::simulator
