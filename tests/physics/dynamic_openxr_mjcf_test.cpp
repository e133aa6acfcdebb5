// Personalisation of the bundled OpenXR-style hand MJCF: which attributes change and how, and how the
// result is published in the model cache.
#include "physics/dynamic_openxr_mjcf.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <array>
#include <cmath>
#include <csignal>
#include <functional>
#include <stdexcept>

#include "physics_fixtures.hpp"

namespace kelto::test {
namespace {

namespace fs = std::filesystem;
using hand::Config;
using hand::detail::dynamic_openxr_model;
using hand::detail::personalised_openxr_mjcf;
using hand::detail::publish_mjcf_cache_file;
using Vec3 = std::array<double, 3>;

const std::string kEnabled = "hand:\n  type: dynamic_openxr_hand\n  anthropometry:\n    enabled: true\n";

std::string what(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no exception";
}

class Generation : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* side : {"right", "left"}) write_file(template_path(side), read_file(bundled_mjcf(side)));
  }
  fs::path template_path(const std::string& side = "right") const {
    return dir_ / ("res/mujoco/" + side + ".xml");
  }
  Config load(const std::string& yaml) { return write_and_load_config(dir_ / "conf/system.yaml", yaml); }
  fs::path generate(const std::string& yaml, const std::string& side = "right") {
    return dynamic_openxr_model(template_path(side), load(yaml), side);
  }
  fs::path cache_dir() const { return dir_ / "home/glove/algorithms/cache/dynamic_openxr_hand"; }
  std::size_t cache_files() const {
    if (!fs::exists(cache_dir())) return 0;
    return std::distance(fs::directory_iterator(cache_dir()), fs::directory_iterator());
  }

  TempDir dir_;
  ScopedEnv home_{"KELTO_HOME", (dir_ / "home").string()};
};

TEST_F(Generation, TemplateIsKeptWhenNothingAsksForAChange) {
  const std::string bone = "    fingers: {first: {proximal: 0.05}}\n";
  for (const std::string& yaml :
       {"hand:\n  type: other_hand\n  anthropometry:\n    enabled: true\n" + bone,
        "hand:\n  type: dynamic_openxr_hand\n  anthropometry:\n    enabled: false\n" + bone,
        std::string("hand:\n  type: dynamic_openxr_hand\n"), kEnabled,
        kEnabled + "    fingers: {thumb: {intermediate: 0.03}}\n",
        kEnabled + "    palm_layout: {enabled: false}\n"}) {
    SCOPED_TRACE(yaml);
    EXPECT_EQ(generate(yaml), template_path());
    EXPECT_FALSE(fs::exists(dir_ / "home")) << "nothing is written, not even the cache directory";
  }
  EXPECT_THROW(generate("hand: {}\n"), std::out_of_range);
}

TEST_F(Generation, BoneLengthsRescaleExactlyTheirBodyAndCapsule) {
  struct Case {
    const char* side;
    const char* bone_yaml;  // finger: {bone: length}
    const char* body;
    const char* pos;
    const char* geom;
    const char* fromto;
  };
  const std::vector<Case> cases = {
      {"right", "first: {proximal: 0.0451234567}", "right_index_intermediate", "0 0 0.0451235",
       "right_index_proximal_collision", "0 0 0 0 0 0.0451235"},
      {"right", "first: {distal: 0}", "right_index_tip", "0 0 0", "right_index_distal_collision",
       "0 0 0 0 0 0"},
      {"right", "first: {metacarpal: 0.0368988029650}", "right_index_mcp_abduction_aux", "0 0 0.0368988",
       "right_index_metacarpal_collision", "0 0 0 0 0 0.0368988"},
      {"right", "middle: {intermediate: 0.014}", "right_middle_distal", "0 0 0.014",
       "right_middle_intermediate_collision", "0 0 0 0 0 0.014"},
      {"right", "thumb: {proximal: 0.016}", "right_thumb_distal", "0 0 0.016",
       "right_thumb_proximal_collision", "0 0 0 0 0 0.016"},
      {"right", "little: {distal: -0.009}", "right_little_tip", "-0 -0 -0.009",
       "right_little_distal_collision", "-0 -0 -0 -0 -0 -0.00585"},
      {"left", "first: {proximal: 0.00001}", "left_index_intermediate", "0 0 1e-05",
       "left_index_proximal_collision", "0 0 0 0 0 1e-05"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bone_yaml);
    const fs::path out = generate(kEnabled + "    fingers: {" + c.bone_yaml + "}\n", c.side);
    ASSERT_EQ(out, cache_dir() / ("default_" + std::string(c.side) + ".xml"));
    const std::string before = read_file(template_path(c.side));
    const std::string after = read_file(out);
    EXPECT_EQ(xml_attribute(after, "body", c.body, "pos"), c.pos);
    EXPECT_EQ(xml_attribute(after, "geom", c.geom, "fromto"), c.fromto);
    const std::vector<std::vector<std::string>> edited = {{"body", c.body, "pos"},
                                                          {"geom", c.geom, "fromto"}};
    EXPECT_EQ(mask(after, edited), mask(before, edited)) << "every other byte is the template's";
  }
}

// Template landmarks A of the right palm (and B of the first finger's metacarpal base), metres.
constexpr Vec3 kFirstA{-0.0110400066222, 0.0373887227753, 0.0856472995507};
constexpr Vec3 kFirstB{0.00155722315, 0.02107323706, 0.0147868637};
constexpr Vec3 kMiddleA{-0.0163691827829, 0.00946094353832, 0.0857296730851};
constexpr Vec3 kLittleA{0.00228678626667, -0.0376494808459, 0.0752327396856};
const std::vector<std::pair<std::string, Vec3>> kLandmarks = {
    {"thumb_cmc", {0.01791378856, 0.02917817421, 0.02529839985}},
    {"first_mcp", kFirstA},
    {"middle_mcp", kMiddleA},
    {"ring_mcp", {-0.00970091940494, -0.0132089374615, 0.0813390002479}},
    {"little_mcp", kLittleA},
};
const std::vector<std::string> kPalmBodies = {"right_thumb_cmc_abduction_aux", "right_index_metacarpal",
                                              "right_middle_metacarpal", "right_ring_metacarpal",
                                              "right_little_cmc_opposition_aux"};

double dot(const Vec3& a, const Vec3& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}
Vec3 axpy(double s, const Vec3& x, const Vec3& y) {
  return {s * x[0] + y[0], s * x[1] + y[1], s * x[2] + y[2]};
}
Vec3 unit(const Vec3& v) {
  return axpy(1.0 / std::sqrt(dot(v, v)), v, Vec3{});
}

TEST_F(Generation, PalmLayoutMovesThePalmBodiesInThePalmPlane) {
  // In-plane axes: towards the middle finger, and towards the first finger away from the little one.
  const Vec3 e_mid = unit(kMiddleA);
  const Vec3 d = axpy(-1.0, kLittleA, kFirstA);
  const Vec3 e_idx = unit(axpy(-dot(d, e_mid), e_mid, d));
  const Vec3 ab = axpy(-1.0, kFirstB, kFirstA);
  const double ab_length = std::sqrt(dot(ab, ab));
  struct Case {
    const char* label;
    double du, dv;      // the first finger's landmark moved off the template's
    double metacarpal;  // first finger's metacarpal length, 0 for none
  };
  for (const Case& c : {Case{"template landmarks", 0, 0, 0}, Case{"first landmark moved", 0.002, -0.003, 0},
                        Case{"first metacarpal length", 0, 0, 0.05}}) {
    SCOPED_TRACE(c.label);
    std::ostringstream yaml;
    yaml.precision(17);
    yaml << kEnabled << "    fingers: {thumb: {metacarpal: 0.03}"
         << (c.metacarpal > 0 ? ", first: {metacarpal: " + std::to_string(c.metacarpal) + "}" : "") << "}\n"
         << "    palm_layout:\n      enabled: true\n      landmarks_m:\n";
    for (const auto& [name, a] : kLandmarks) {
      const bool first = name == "first_mcp";
      yaml << "        " << name << ": [" << dot(a, e_idx) + (first ? c.du : 0) << ", "
           << dot(a, e_mid) + (first ? c.dv : 0) << "]\n";
    }
    const fs::path out = generate(yaml.str());
    ASSERT_EQ(out, cache_dir() / "default_right.xml") << "the palm layout always publishes";
    const std::string before = read_file(template_path());
    const std::string after = read_file(out);
    std::vector<std::vector<std::string>> edited = {{"body", "right_thumb_mcp_abduction_aux", "pos"},
                                                    {"geom", "right_thumb_metacarpal_collision", "fromto"}};
    if (c.metacarpal > 0) {
      edited.push_back({"body", "right_index_mcp_abduction_aux", "pos"});
      edited.push_back({"geom", "right_index_metacarpal_collision", "fromto"});
    }
    for (const std::string& body : kPalmBodies) edited.push_back({"body", body, "pos"});
    EXPECT_EQ(mask(after, edited), mask(before, edited));

    for (const std::string& body : kPalmBodies) {
      SCOPED_TRACE(body);
      Vec3 moved{};  // only the first finger's body moves; the thumb's ignores its metacarpal length
      if (body == "right_index_metacarpal") {
        moved = axpy(c.dv, e_mid, axpy(c.du, e_idx, {}));
        if (c.metacarpal > 0) moved = axpy(1.0 - c.metacarpal / ab_length, ab, moved);
      }
      const auto old_pos = xml_numbers(before, "body", body, "pos");
      const auto new_pos = xml_numbers(after, "body", body, "pos");
      ASSERT_EQ(new_pos.size(), 3u);
      for (int i = 0; i < 3; ++i) EXPECT_NEAR(new_pos[i], old_pos[i] + moved[i], 2e-6);
    }
  }
}

TEST_F(Generation, RelativeSkinPathsBecomeAbsoluteInAPersonalisedModel) {
  std::string xml = read_file(template_path());
  xml.insert(xml.find("<worldbody>"),
             "<deformable><skin name=\"a\" file=\"skins/hand.skn\"/><skin name=\"b\" file=\"/abs/x.skn\"/>"
             "<skin name=\"c\" file=\"../shared/./y.skn\"/><skin name=\"d\"/></deformable>\n  ");
  write_file(template_path(), xml);
  const std::string res = fs::canonical(dir_ / "res").string();
  const auto out = personalised_openxr_mjcf(
      template_path(), load(kEnabled + "    fingers: {first: {distal: 0.02}}\n"), "right");
  ASSERT_TRUE(out.has_value());
  EXPECT_NE(out->find("<deformable><skin name=\"a\" file=\"" + res +
                      "/mujoco/skins/hand.skn\"/><skin name=\"b\" file="
                      "\"/abs/x.skn\"/><skin name=\"c\" file=\"" +
                      res + "/shared/y.skn\"/><skin name=\"d\"/>"),
            std::string::npos);
  EXPECT_EQ(personalised_openxr_mjcf(template_path(), load(kEnabled), "right"), std::nullopt)
      << "skin paths alone are no change";
}

TEST_F(Generation, FailuresLeaveNoCacheFile) {
  const std::string text = read_file(template_path());
  auto edited = [&](const std::string& from, const std::string& to) {
    std::string xml = text;
    return xml.replace(xml.find(from), from.size(), to);
  };
  const std::string bone = kEnabled + "    fingers: {first: {proximal: 0.05}}\n";
  struct Case {
    std::string xml, yaml, message;
  };
  const std::vector<Case> cases = {
      {edited("\"right_index_intermediate\" pos=\"0 0 0.04\"", "\"right_index_intermediate\" pos=\"0 0 0\""),
       bone, "Dynamic OpenXR XML has zero bone vector: right_index_intermediate"},
      {edited("name=\"right_index_intermediate\"", "name=\"renamed\""), bone,
       "Dynamic OpenXR XML missing right_index_intermediate"},
      {edited("right_index_proximal_collision\" class=\"phalanx\" fromto",
              "right_index_proximal_collision\" class=\"x\" to"),
       bone, "Dynamic OpenXR XML missing attribute fromto"},
      {"", bone, "Dynamic OpenXR XML missing right_index_intermediate"},  // unreadable template
      {text,
       kEnabled + "    palm_layout:\n      enabled: true\n      landmarks_m: {thumb_cmc: [0.01, 0.02], "
                  "first_mcp: [1, 2, 3]}\n",
       "Dynamic OpenXR palm landmark must contain two values"},
      {text, kEnabled + "    palm_layout: {enabled: true, landmarks_m: {}}\n",
       "Config key was not found: hand.anthropometry.palm_layout.landmarks_m.thumb_cmc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    write_file(template_path(), c.xml);
    if (c.xml.empty()) fs::remove(template_path());
    EXPECT_EQ(what([&] { generate(c.yaml); }), c.message);
    EXPECT_EQ(cache_files(), 0u);
  }
}

TEST_F(Generation, CacheFileIsNamedAfterTheBoneConfigurationAndReplaced) {
  write_file(dir_ / "conf/system.yaml", "hand:\n  type: dynamic_openxr_hand\n");
  for (const char* length : {"0.04", "0.05"}) {
    write_file(dir_ / "bones/alice.yaml",
               std::string("right:\n  fingers: {first: {proximal: ") + length + "}}\n");
    const Config config = Config::load(dir_ / "conf/system.yaml", dir_ / "bones/alice.yaml", "right");
    const fs::path out = dynamic_openxr_model(template_path(), config, "right");
    EXPECT_EQ(out, cache_dir() / "alice_right.xml");
    EXPECT_EQ(xml_attribute(read_file(out), "body", "right_index_intermediate", "pos"),
              std::string("0 0 ") + length);
  }
  EXPECT_EQ(cache_files(), 1u);
}

TEST(Publication, ReplacesAFileOrEmptyDirectoryAndCleansUpOnFailure) {
  TempDir dir;
  const fs::path output = dir / "default_right.xml";
  auto entries = [&] { return std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()); };
  write_file(output, "old");
  publish_mjcf_cache_file(output, "new");
  EXPECT_EQ(read_file(output), "new");

  fs::remove(output);
  fs::create_directory(output);  // the rename over an empty directory fails; it is removed and retried
  publish_mjcf_cache_file(output, "newer");
  EXPECT_EQ(read_file(output), "newer");
  EXPECT_EQ(entries(), 1);

  fs::remove(output);
  write_file(output / "keep", "occupied");  // a non-empty directory can be neither replaced nor removed
  EXPECT_EQ(what([&] { publish_mjcf_cache_file(output, "text"); }),
            "cannot publish MuJoCo cache file: " + output.string());
  EXPECT_EQ(entries(), 1);
  EXPECT_EQ(read_file(output / "keep"), "occupied");

  // A file size limit makes the write fail with EFBIG (its signal is ignored meanwhile).
  fs::remove_all(output);
  struct rlimit old_limit {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  struct rlimit limit = old_limit;
  limit.rlim_cur = 16;
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  const std::string message = what([&] { publish_mjcf_cache_file(output, std::string(1 << 16, 'x')); });
  setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(message.rfind("cannot write MuJoCo cache temporary file: " + output.string() + ".tmp-", 0), 0u)
      << message;
  EXPECT_EQ(entries(), 0);
}

}  // namespace
}  // namespace kelto::test
