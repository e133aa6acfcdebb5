// The in-place list keeps its elements when it grows past its in-place room and when it shrinks again.
#include "retargeting/small_list.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelto::hand::detail {
namespace {

TEST(SmallList, KeepsElementsAcrossTheMoveToTheHeap) {
  SmallList<std::string, 3> list;
  std::vector<std::string> expected;
  for (int i = 0; i < 7; ++i) {
    list.push_back("finger " + std::to_string(i));
    expected.push_back("finger " + std::to_string(i));
    ASSERT_EQ(std::vector<std::string>(list.begin(), list.end()), expected) << i;
  }
  list.resize(2);  // back within the in-place room, still on the heap
  EXPECT_EQ(std::vector<std::string>(list.begin(), list.end()),
            (std::vector<std::string>{"finger 0", "finger 1"}));
  list.resize(4);
  EXPECT_EQ(list[3], "");

  SmallList<int, 4> small;
  small.resize(3);
  small[2] = 5;
  small.resize(2);
  small.resize(3);
  EXPECT_EQ(small[2], 0) << "an element regained by growing is value-initialized";
  EXPECT_EQ(small.size(), 3u);
}

}  // namespace
}  // namespace kelto::hand::detail
