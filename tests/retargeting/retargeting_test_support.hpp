// Configurations for the retargeting tests, loaded from YAML text written to a scratch directory.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "config/config.hpp"
#include "support/test_files.hpp"

namespace kelto::test {

inline hand::Config config_from_yaml(const std::string& yaml, const std::string& side = "right") {
  TempDir dir;
  const auto path = write_file(dir / "system.yaml", yaml);
  return hand::Config::load(path, "", side);
}

// A configuration with tip mapping sections for both sides; `right_body` holds further entries of the right
// section (indented by four blanks) and `top` further top-level text.
inline hand::Config tip_config(const std::string& right_body = "", const std::string& top = "") {
  return config_from_yaml(top + "tip_mapping:\n  left: {}\n  right:\n    human_hand_scale: 1.0\n" +
                          right_body);
}

// Runs fn and expects an exception of type E with exactly the given message.
template <typename E>
void expect_error(const std::function<void()>& fn, const std::string& message) {
  try {
    fn();
    ADD_FAILURE() << "no exception, expected: " << message;
  } catch (const E& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
}

}  // namespace kelto::test
