// The simulator's pseudo-terminal and the symbolic link that names it, seen from the program's side.
#include "glove_simulator/pseudo_terminal.hpp"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_files.hpp"
#include "tools/terminal_reader.hpp"

namespace kelto::hand::simulator {
namespace {

using kelto::test::TerminalReader;
using Lines = std::vector<std::string>;

TEST(PseudoTerminalTest, RawLinesBothWaysAndAHangUpOnClose) {
  PseudoTerminal terminal;
  terminal.open();
  TerminalReader program(terminal.slave_path());
  // Raw mode: no echo, no carriage return added to line feeds, no line editing of DEL or tabs.
  for (const std::string line : {"{\"t\":\"p\"}", "", "a\tb\x7f"}) EXPECT_TRUE(terminal.write_line(line));
  EXPECT_EQ(program.read_lines(3), (Lines{"{\"t\":\"p\"}", "", "a\tb\x7f"}));
  EXPECT_TRUE(terminal.read_lines().empty());
  program.write("telemetry on\nrate 2");
  EXPECT_EQ(terminal.read_lines(), Lines{"telemetry on"});
  program.write("00\r\nselect f1\n");
  EXPECT_EQ(terminal.read_lines(), (Lines{"rate 200", "select f1"}));

  terminal.close();
  EXPECT_TRUE(program.hung_up());
  EXPECT_TRUE(terminal.slave_path().empty());
  EXPECT_THROW(terminal.write_line("x"), std::runtime_error);
  EXPECT_THROW(terminal.read_lines(), std::runtime_error);
}

TEST(PseudoTerminalTest, NobodyReadingDropsWholeLinesOnly) {
  PseudoTerminal terminal;
  terminal.open();
  const std::string line(300, 'x');
  std::size_t sent = 0, dropped = 0;
  for (int i = 0; i < 5000 && dropped < 20; ++i) ++(terminal.write_line(line) ? sent : dropped);
  ASSERT_GT(dropped, 0u) << "the terminal never filled up";

  // The program gets whole lines only; once it has read, lines flow again.
  TerminalReader program(terminal.slave_path());
  Lines got = program.read_lines();
  bool flowing = false;
  for (int i = 0; i < 50 && !flowing; ++i) flowing = terminal.write_line("after");
  ASSERT_TRUE(flowing);
  const Lines rest = program.read_lines();
  got.insert(got.end(), rest.begin(), rest.end());
  ASSERT_GE(got.size(), 2u);
  EXPECT_EQ(got.back(), "after");
  for (std::size_t i = 0; i + 1 < got.size(); ++i) EXPECT_EQ(got[i], line) << i;
}

TEST(PseudoTerminalTest, TheLinkIsReplacedWholeAndOnlyALinkIsTouched) {
  kelto::test::TempDir dir;
  const std::filesystem::path link = dir / "glove";
  replace_symlink(link, "/dev/pts/first");
  replace_symlink(link, "/dev/pts/second");
  EXPECT_EQ(std::filesystem::read_symlink(link), "/dev/pts/second");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);  // no temporary left
  remove_symlink(link);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));

  const std::filesystem::path file = kelto::test::write_file(dir / "data.txt", "keep me");
  EXPECT_THROW(replace_symlink(file, "/dev/pts/0"), std::runtime_error);
  remove_symlink(file);
  EXPECT_EQ(kelto::test::read_file(file), "keep me");
  EXPECT_THROW(replace_symlink(dir / "missing/glove", "/dev/pts/0"), std::runtime_error);
}

}  // namespace
}  // namespace kelto::hand::simulator
