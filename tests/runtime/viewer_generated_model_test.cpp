// The personalised hand model a viewer writes to the model cache, and its removal.
#include <cmath>
#include <optional>
#include <sstream>
#include <stdexcept>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "runtime/mujoco_viewer.hpp"
#include "runtime/viewer_test_support.hpp"
#include "support/test_files.hpp"

namespace kelto::hand::runtime::test {
namespace {

namespace fs = std::filesystem;
using kelto::test::read_file;
using kelto::test::ScopedEnv;
using kelto::test::TempDir;
using kelto::test::write_file;
using ::testing::StartsWith;

constexpr const char* kPersonalHand =
    "hand:\n  type: dynamic_openxr_hand\n  anthropometry:\n    enabled: true\n"
    "    fingers: {first: {proximal: 0.05}}\n";

// Length of the vector in the `pos` of <body name="body" ...>; -1 when there is no such body.
double body_offset(const std::string& xml, const std::string& body) {
  const std::size_t start = xml.find("<body name=\"" + body + "\"");
  if (start == std::string::npos) return -1.0;
  const std::size_t at = xml.find("pos=\"", start) + 5;
  std::istringstream in(xml.substr(at, xml.find('"', at) - at));
  double x = 0.0, y = 0.0, z = 0.0;
  in >> x >> y >> z;
  return std::sqrt(x * x + y * y + z * z);
}

class ViewerGeneratedModel : public ::testing::Test {
 protected:
  ViewerGeneratedModel() : home_("KELTO_HOME", (dir_ / "home").string()) {}

  fs::path hand_template(const std::string& side) const {
    return kelto::test::source_dir() / "resources/hands/dynamic_openxr_hand/resources/mujoco" /
           (side + ".xml");
  }
  fs::path cache_file(const std::string& name) const {
    return dir_ / "home/glove/algorithms/cache/dynamic_openxr_hand" / name;
  }
  std::unique_ptr<MujocoViewer> open(const fs::path& model, const fs::path& config, const fs::path& bone,
                                     const std::string& side) const {
    return std::make_unique<MujocoViewer>(model, false, 1, false, 0, 0, config, bone, side,
                                          "kelto_hand " + side);
  }
  template <typename Open>
  std::string failure(Open open_viewer) const {
    try {
      open_viewer();
    } catch (const std::exception& error) {
      return error.what();
    }
    return "no exception";
  }

  TempDir dir_;
  ScopedEnv home_;
};

// The viewer loads the personalised copy and removes it when it goes; without anthropometry it loads the
// template and writes nothing.
TEST_F(ViewerGeneratedModel, GeneratedCopyLivesAsLongAsTheViewer) {
  KELTO_REQUIRE_DISPLAY();
  struct Case {
    const char* label;
    std::string config;
    std::optional<std::string> bone;
    std::string side;
    std::optional<std::string> cache_name;
    double proximal;
  };
  const std::string plain = "hand: {type: dynamic_openxr_hand}\n";
  const Case cases[] = {
      {"anthropometry", kPersonalHand, std::nullopt, "right", "default_right.xml", 0.05},
      {"left side", kPersonalHand, std::nullopt, "left", "default_left.xml", 0.05},
      {"bone configuration", plain, "hand: {anthropometry: {fingers: {first: {proximal: 0.06}}}}\n", "right",
       "alice_right.xml", 0.06},
      {"no anthropometry", plain, std::nullopt, "right", std::nullopt, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const fs::path config = write_file(dir_ / "conf/system.yaml", c.config);
    const fs::path bone = c.bone ? write_file(dir_ / "conf/alice.yaml", *c.bone) : fs::path();
    const std::string original = read_file(hand_template(c.side));
    {
      auto viewer = open(hand_template(c.side), config, bone, c.side);
      viewer->update({c.side + "_index_mcp_flexion"}, {0.5});
      if (c.cache_name) {
        const std::string generated = read_file(cache_file(*c.cache_name));
        EXPECT_NEAR(body_offset(generated, c.side + "_index_intermediate"), c.proximal, 1e-6);
      } else {
        EXPECT_TRUE(!fs::exists(cache_file("")) || fs::is_empty(cache_file("")));
      }
    }
    if (c.cache_name) {
      EXPECT_FALSE(fs::exists(cache_file(*c.cache_name))) << "removed with the viewer";
    }
    EXPECT_EQ(read_file(hand_template(c.side)), original) << "the template is never touched";
  }
}

// A construction that fails after the copy was written removes it again.
TEST_F(ViewerGeneratedModel, FailedConstructionRemovesTheCopy) {
  const fs::path config = write_file(dir_ / "conf/system.yaml", kPersonalHand);
  const fs::path broken = write_file(dir_ / "conf/broken.xml", R"(<mujoco><worldbody>
  <body name="right_index_intermediate" pos="0 0 0.04">
    <geom name="right_index_proximal_collision" type="capsule" fromto="0 0 0 0 0 0.04" size="0.01"/>
  </body></worldbody><not_an_element/></mujoco>
)");
  EXPECT_THAT(failure([&] { open(broken, config, "", "right"); }), StartsWith("MuJoCo model load failed: "));
  EXPECT_FALSE(fs::exists(cache_file("default_right.xml")));

  ScopedEnv no_display("DISPLAY", std::nullopt);
  EXPECT_EQ(failure([&] { open(hand_template("right"), config, "", "right"); }),
            "GLFW initialization failed");
  EXPECT_FALSE(fs::exists(cache_file("default_right.xml")));
}

TEST_F(ViewerGeneratedModel, GenerationFailuresEndConstruction) {
  const fs::path config = write_file(dir_ / "conf/system.yaml", kPersonalHand);
  // The cache file's name is taken by a directory: the copy cannot be written, and the directory stays.
  fs::create_directories(cache_file("default_right.xml"));
  EXPECT_EQ(failure([&] { open(hand_template("right"), config, "", "right"); }),
            "cannot open MuJoCo cache file: " + cache_file("default_right.xml").string());
  EXPECT_TRUE(fs::is_directory(cache_file("default_right.xml")));

  // Configuration errors pass through with their own texts.
  EXPECT_THAT(failure([&] { open(hand_template("right"), dir_ / "conf/none.yaml", "", "right"); }),
              StartsWith("Config file was not found: "));
}

}  // namespace
}  // namespace kelto::hand::runtime::test
