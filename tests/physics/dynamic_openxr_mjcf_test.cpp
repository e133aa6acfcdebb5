// Personalisation of the bundled OpenXR-style hand MJCF: which attributes change and how, and how the
// result is published in the model cache.
#include "physics/dynamic_openxr_mjcf.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <array>
#include <cmath>
#include <csignal>
#include <sstream>

#include "kinematics/palm_layout.hpp"
#include "kinematics/vec3.hpp"
#include "physics_fixtures.hpp"

namespace kelto::test {
namespace {

namespace fs = std::filesystem;
using hand::detail::dynamic_openxr_model;
using hand::detail::publish_mjcf_cache_file;
using hand::detail::Vec3;
using Attributes = std::vector<std::array<std::string, 3>>;  // tag, name, attribute

const std::string kEnabled = "hand:\n  type: dynamic_openxr_hand\n  anthropometry:\n    enabled: true\n";

// The text with the given attribute values replaced by "#".
std::string mask(std::string xml, const Attributes& attributes) {
  for (const auto& [tag, name, attribute] : attributes) xml = xml_attribute(xml, tag, name, attribute, "#");
  return xml;
}

// Copies of the bundled templates under <tmp>/res/mujoco, the cache under <tmp>/home.
class Generation : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* side : {"right", "left"}) write_file(template_path(side), read_file(bundled_mjcf(side)));
  }
  fs::path template_path(const std::string& side = "right") const { return dir_ / ("res/" + side + ".xml"); }
  fs::path generate(const std::string& yaml, const std::string& side = "right") {
    return dynamic_openxr_model(template_path(side), write_and_load_config(dir_ / "c/s.yaml", yaml), side);
  }
  fs::path cache_dir() const { return dir_ / "home/glove/algorithms/cache/dynamic_openxr_hand"; }
  long cache_files() const {
    return fs::exists(cache_dir()) ? std::distance(fs::directory_iterator(cache_dir()), {}) : 0;
  }

  TempDir dir_;
  ScopedEnv home_{"KELTO_HOME", (dir_ / "home").string()};
};

TEST_F(Generation, BoneLengthsRescaleExactlyTheirBodyAndCapsule) {
  for (const std::string& yaml : std::vector<std::string>{
           std::string("hand:\n  type: other_hand\n  anthropometry: {enabled: true, fingers: {first: {}}}\n"),
           "hand:\n  type: dynamic_openxr_hand\n  anthropometry: {enabled: false}\n", kEnabled,
           kEnabled + "    fingers: {thumb: {intermediate: 0.03}}\n"}) {
    EXPECT_EQ(generate(yaml), template_path()) << yaml;
  }
  EXPECT_FALSE(fs::exists(dir_ / "home"))
      << "without a change nothing is written, not even the cache directory";

  const std::vector<std::array<const char*, 6>> cases = {
      // side, finger: {bone: length}, the body at the bone's end and its pos, the capsule and its fromto
      {"right", "first: {proximal: 0.0451234567}", "right_index_intermediate", "0 0 0.0451235",
       "right_index_proximal_collision", "0 0 0 0 0 0.0451235"},
      {"right", "first: {metacarpal: 0.0368988029650}", "right_index_mcp_abduction_aux", "0 0 0.0368988",
       "right_index_metacarpal_collision", "0 0 0 0 0 0.0368988"},
      {"right", "little: {distal: -0.009}", "right_little_tip", "-0 -0 -0.009",
       "right_little_distal_collision", "-0 -0 -0 -0 -0 -0.00585"},
      {"left", "thumb: {proximal: 0.016}", "left_thumb_distal", "0 0 0.016", "left_thumb_proximal_collision",
       "0 0 0 0 0 0.016"},
  };
  for (const auto& [side, bone, body, pos, geom, fromto] : cases) {
    const fs::path out = generate(kEnabled + "    fingers: {" + bone + "}\n", side);
    ASSERT_EQ(out, cache_dir() / ("default_" + std::string(side) + ".xml"));
    const std::string after = read_file(out);
    EXPECT_EQ(xml_attribute(after, "body", body, "pos"), pos);
    EXPECT_EQ(xml_attribute(after, "geom", geom, "fromto"), fromto);
    const Attributes edited = {{"body", body, "pos"}, {"geom", geom, "fromto"}};
    EXPECT_EQ(mask(after, edited), mask(read_file(template_path(side)), edited)) << bone;
  }
}

// The palm layout moves the five landmark bodies by landmark minus metacarpal base, and nothing else.
TEST_F(Generation, PalmLayoutMovesOnlyThePalmBodies) {
  using namespace hand::detail;  // the 3-vector helpers
  const auto& table = palm_layout_table("right");
  const Vec3 e_mid = normalized(table[2].landmark_point);
  const Vec3 d = sub(table[1].landmark_point, table[4].landmark_point);
  const Vec3 e_idx = normalized(sub(d, scaled(e_mid, dot(d, e_mid))));
  const Vec3 ab = sub(table[1].landmark_point, table[1].base_point);
  // The first finger's landmark moved by (du, dv) in the palm plane, and its metacarpal length.
  for (const auto& [du, dv, metacarpal] : {Vec3{0, 0, norm(ab)}, Vec3{0.002, -0.003, 0.05}}) {
    std::ostringstream yaml;
    yaml.precision(17);
    yaml << kEnabled << "    fingers: {first: {metacarpal: " << metacarpal << "}}\n    palm_layout:\n"
         << "      enabled: true\n      landmarks_m:\n";
    for (std::size_t row = 0; row < table.size(); ++row) {
      yaml << "        " << table[row].landmark << ": ["
           << dot(table[row].landmark_point, e_idx) + (row == 1) * du << ", "
           << dot(table[row].landmark_point, e_mid) + (row == 1) * dv << "]\n";
    }
    const std::string before = read_file(template_path());
    const std::string after = read_file(generate(yaml.str()));
    Attributes edited = {{"body", "right_index_mcp_abduction_aux", "pos"},
                         {"geom", "right_index_metacarpal_collision", "fromto"}};
    for (const char* body :
         {"right_thumb_cmc_abduction_aux", "right_index_metacarpal", "right_middle_metacarpal",
          "right_ring_metacarpal", "right_little_cmc_opposition_aux"}) {
      edited.push_back({"body", body, "pos"});
      const Vec3 moved =
          std::string(body) != "right_index_metacarpal"
              ? Vec3{}
              : add(add(scaled(e_mid, dv), scaled(e_idx, du)), scaled(ab, 1.0 - metacarpal / norm(ab)));
      std::istringstream old_pos(xml_attribute(before, "body", body, "pos"));
      std::istringstream new_pos(xml_attribute(after, "body", body, "pos"));
      for (int i = 0; i < 3; ++i) {
        double a = 0, b = 0;
        old_pos >> a;
        new_pos >> b;
        EXPECT_NEAR(b, a + moved[i], 2e-6) << body << " " << metacarpal;
      }
    }
    EXPECT_EQ(mask(after, edited), mask(before, edited));
  }
}

TEST_F(Generation, CacheFileIsNamedAfterTheBoneFileAndSide) {
  write_file(dir_ / "c/s.yaml", "hand:\n  type: dynamic_openxr_hand\n");
  for (const char* length : {"0.04", "0.05"}) {  // the second run replaces the first file
    write_file(dir_ / "bones/alice.yaml",
               std::string("right:\n  fingers: {first: {proximal: ") + length + "}}\n");
    const fs::path out = dynamic_openxr_model(
        template_path(), hand::Config::load(dir_ / "c/s.yaml", dir_ / "bones/alice.yaml", "right"), "right");
    EXPECT_EQ(out, cache_dir() / "alice_right.xml");
    EXPECT_EQ(xml_attribute(read_file(out), "body", "right_index_intermediate", "pos"),
              std::string("0 0 ") + length);
  }
  EXPECT_EQ(cache_files(), 1);
}

TEST_F(Generation, FailuresReportTheFaultAndLeaveNoCacheFile) {
  const std::string text = read_file(template_path());
  const auto edited = [&](const std::string& from, const std::string& to) {
    return std::string(text).replace(text.find(from), from.size(), to);
  };
  const std::string bone = kEnabled + "    fingers: {first: {proximal: 0.05}}\n";
  const std::vector<std::array<std::string, 3>> cases = {
      {edited("\"right_index_intermediate\" pos=\"0 0 0.04\"", "\"right_index_intermediate\" pos=\"0 0 0\""),
       bone, "Dynamic OpenXR XML has zero bone vector: right_index_intermediate"},
      {edited("name=\"right_index_intermediate\"", "name=\"renamed\""), bone,
       "Dynamic OpenXR XML missing right_index_intermediate"},
      {edited("right_index_proximal_collision\" class=\"phalanx\" fromto",
              "right_index_proximal_collision\" to"),
       bone, "Dynamic OpenXR XML missing attribute fromto"},
      {"", bone, "Dynamic OpenXR XML missing right_index_intermediate"},  // no template
      {text, kEnabled + "    palm_layout: {enabled: true, landmarks_m: {thumb_cmc: [0.01, 0.02, 0.03]}}\n",
       "Dynamic OpenXR palm landmark must contain two values"},
  };
  for (const auto& [xml, yaml, message] : cases) {
    write_file(template_path(), xml);
    if (xml.empty()) fs::remove(template_path());
    EXPECT_EQ(error_text([this, &yaml = yaml] { generate(yaml); }), message);
    EXPECT_EQ(cache_files(), 0) << message;
  }
}

TEST(Publication, ReplacesAFileOrEmptyDirectoryAndCleansUpOnFailure) {
  TempDir dir;
  const fs::path output = dir / "default_right.xml";
  const auto entries = [&] { return std::distance(fs::directory_iterator(dir.path()), {}); };
  write_file(output, "old");
  publish_mjcf_cache_file(output, "new");
  EXPECT_EQ(read_file(output), "new");
  fs::remove(output);
  fs::create_directory(output);  // the rename over an empty directory fails; it is removed and retried
  publish_mjcf_cache_file(output, "newer");
  EXPECT_EQ(read_file(output), "newer");
  fs::remove(output);
  write_file(output / "keep", "occupied");  // a non-empty directory can be neither replaced nor removed
  EXPECT_EQ(error_text([&] { publish_mjcf_cache_file(output, "text"); }),
            "cannot publish MuJoCo cache file: " + output.string());
  EXPECT_EQ(entries(), 1);

  // A failed write (EFBIG under a file size limit, its signal ignored) is an error, not a short file.
  fs::remove_all(output);
  struct rlimit old_limit {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  struct rlimit limit = old_limit;
  limit.rlim_cur = 16;
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  const std::string message = error_text([&] { publish_mjcf_cache_file(output, std::string(1 << 16, 'x')); });
  setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(message.rfind("cannot write MuJoCo cache temporary file: " + output.string() + ".tmp-", 0), 0u)
      << message;
  EXPECT_EQ(entries(), 0) << "no temporary file is left";
}

}  // namespace
}  // namespace kelto::test
