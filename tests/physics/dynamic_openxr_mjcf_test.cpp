// Personalisation of the OpenXR-style hand MJCF: which attributes change, how, and how the result is
// published in the model cache.
#include "physics/dynamic_openxr_mjcf.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <array>
#include <cmath>
#include <csignal>
#include <stdexcept>

#include "physics/mujoco_physics_observer.hpp"
#include "physics_fixtures.hpp"

namespace kelto::test {
namespace {

namespace fs = std::filesystem;
using hand::Config;
using hand::detail::dynamic_openxr_model;
using hand::detail::personalised_openxr_mjcf;
using hand::detail::publish_mjcf_cache_file;
using hand::detail::set_xml_attribute;
using ::testing::HasSubstr;

constexpr const char* kEnabledHand = R"(hand:
  type: dynamic_openxr_hand
  anthropometry:
    enabled: true
)";

// Template, configuration and cache directory of one generation.
class Generation : public ::testing::Test {
 protected:
  void SetUp() override {
    model_ = write_file(dir_ / "res/mujoco/right.xml", openxr_hand_fixture("right"));
    write_file(dir_ / "res/mujoco/left.xml", openxr_hand_fixture("left"));
  }
  Config load(const std::string& yaml) { return write_and_load_config(dir_ / "conf/system.yaml", yaml); }
  fs::path cache_dir() const { return dir_ / "home/glove/algorithms/cache/dynamic_openxr_hand"; }
  std::string template_text(const std::string& side = "right") const {
    return read_file(dir_ / ("res/mujoco/" + side + ".xml"));
  }
  std::vector<fs::path> cache_entries() const {
    std::vector<fs::path> entries;
    if (fs::exists(cache_dir())) {
      for (const auto& entry : fs::directory_iterator(cache_dir())) entries.push_back(entry.path());
    }
    return entries;
  }

  TempDir dir_;
  ScopedEnv home_{"KELTO_HOME", (dir_ / "home").string()};
  fs::path model_;
};

TEST_F(Generation, TemplateIsKeptWhenNothingAsksForAChange) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"other hand type with bones",
       "hand:\n  type: other_hand\n  anthropometry:\n    enabled: true\n"
       "    fingers: {first: {proximal: 0.05}}\n"},
      {"anthropometry disabled",
       "hand:\n  type: dynamic_openxr_hand\n  anthropometry:\n    enabled: false\n"
       "    fingers: {first: {proximal: 0.05}}\n"},
      {"anthropometry absent", "hand:\n  type: dynamic_openxr_hand\n"},
      {"enabled without bones or palm", kEnabledHand},
      {"only a thumb intermediate length",
       std::string(kEnabledHand) + "    fingers: {thumb: {intermediate: 0.03}}\n"},
      {"palm layout off", std::string(kEnabledHand) + "    palm_layout: {enabled: false}\n"},
  };
  for (const auto& [label, yaml] : cases) {
    SCOPED_TRACE(label);
    EXPECT_EQ(dynamic_openxr_model(model_, load(yaml), "right"), model_);
    EXPECT_FALSE(fs::exists(dir_ / "home")) << "nothing may be written, not even the cache directory";
  }
}

TEST_F(Generation, MissingHandTypeIsAConfigurationError) {
  EXPECT_THROW(dynamic_openxr_model(model_, load("hand: {}\n"), "right"), std::out_of_range);
}

TEST_F(Generation, BoneLengthsRescaleExactlyTheirBodyAndCapsule) {
  struct Case {
    const char* finger;
    const char* bone;
    const char* body;
    const char* geom;
    double length;
  };
  const std::vector<Case> cases = {
      {"first", "metacarpal", "right_index_mcp_abduction_aux", "right_index_metacarpal_collision", 0.06},
      {"first", "proximal", "right_index_intermediate", "right_index_proximal_collision", 0.045},
      {"middle", "intermediate", "right_middle_distal", "right_middle_intermediate_collision", 0.03},
      {"little", "distal", "right_little_tip", "right_little_distal_collision", 0.015},
      {"thumb", "proximal", "right_thumb_distal", "right_thumb_proximal_collision", 0.032},
      {"thumb", "distal", "right_thumb_tip", "right_thumb_distal_collision", 0.024},
      {"ring", "proximal", "right_ring_intermediate", "right_ring_proximal_collision", -0.04},
  };
  const std::string before = template_text();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.finger) + " " + c.bone);
    const Config config = load(std::string(kEnabledHand) + "    fingers:\n      " + c.finger + ":\n        " +
                               c.bone + ": " + std::to_string(c.length) + "\n");
    const fs::path out = dynamic_openxr_model(model_, config, "right");
    ASSERT_EQ(out, cache_dir() / "default_right.xml");
    const std::string after = read_file(out);

    // Every byte outside the two attributes is the template's.
    EXPECT_EQ(mask_attribute(mask_attribute(after, "body", c.body, "pos"), "geom", c.geom, "fromto"),
              mask_attribute(mask_attribute(before, "body", c.body, "pos"), "geom", c.geom, "fromto"));

    const auto old_pos = parse_numbers(xml_attribute(before, "body", c.body, "pos"));
    const auto new_pos = parse_numbers(xml_attribute(after, "body", c.body, "pos"));
    const auto old_fromto = parse_numbers(xml_attribute(before, "geom", c.geom, "fromto"));
    const auto new_fromto = parse_numbers(xml_attribute(after, "geom", c.geom, "fromto"));
    ASSERT_EQ(new_pos.size(), 3u);
    ASSERT_EQ(new_fromto.size(), 6u);
    const double s = c.length / std::hypot(old_pos[0], old_pos[1], old_pos[2]);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(new_pos[i], old_pos[i] * s, 1e-6);
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(new_fromto[i], old_fromto[i] * s, 1e-6);
    EXPECT_NEAR(std::hypot(new_pos[0], new_pos[1], new_pos[2]), std::abs(c.length), 1e-6);
  }
}

TEST_F(Generation, NumbersAreWrittenWithSixSignificantDigits) {
  const Config config = load(std::string(kEnabledHand) +
                             "    fingers: {first: {proximal: 0.0451234567, distal: 0.0}, "
                             "middle: {proximal: 0.00001}}\n");
  const std::string after = read_file(dynamic_openxr_model(model_, config, "right"));
  EXPECT_EQ(xml_attribute(after, "body", "right_index_intermediate", "pos"), "0 0 0.0451235");
  EXPECT_EQ(xml_attribute(after, "geom", "right_index_proximal_collision", "fromto"), "0 0 0 0 0 0.0451235");
  EXPECT_EQ(xml_attribute(after, "body", "right_index_tip", "pos"), "0 0 0");
  EXPECT_EQ(xml_attribute(after, "geom", "right_index_distal_collision", "fromto"), "0 0 0 0 0 0");
  EXPECT_EQ(xml_attribute(after, "body", "right_middle_intermediate", "pos"), "0 0 1e-05");
}

TEST_F(Generation, LeftSideEditsLeftNames) {
  const fs::path left = dir_ / "res/mujoco/left.xml";
  const Config config = load(std::string(kEnabledHand) + "    fingers: {first: {proximal: 0.05}}\n");
  const fs::path out = dynamic_openxr_model(left, config, "left");
  EXPECT_EQ(out, cache_dir() / "default_left.xml");
  EXPECT_EQ(xml_attribute(read_file(out), "body", "left_index_intermediate", "pos"), "0 0 0.05");
}

TEST_F(Generation, CacheFileIsNamedAfterTheBoneConfiguration) {
  write_file(dir_ / "conf/system.yaml", "hand:\n  type: dynamic_openxr_hand\n");
  write_file(dir_ / "bones/alice.yaml", "right:\n  fingers: {first: {proximal: 0.05}}\n");
  const Config config = Config::load(dir_ / "conf/system.yaml", dir_ / "bones/alice.yaml", "right");
  EXPECT_EQ(dynamic_openxr_model(model_, config, "right"), cache_dir() / "alice_right.xml");
  EXPECT_EQ(cache_entries(), std::vector<fs::path>{cache_dir() / "alice_right.xml"});
}

TEST_F(Generation, BrokenTemplatesFailWithTheirReason) {
  const std::string fixture = template_text();
  auto without = [&](const std::string& text) {
    std::string edited = fixture;
    edited.erase(edited.find(text), text.size());
    return edited;
  };
  const std::string bone = std::string(kEnabledHand) + "    fingers: {first: {proximal: 0.05}}\n";
  const std::string palm = std::string(kEnabledHand) +
                           "    palm_layout:\n      enabled: true\n      landmarks_m:\n"
                           "        thumb_cmc: [0.01, 0.02]\n        first_mcp: [0.01, 0.08, 0.1]\n";
  struct Case {
    const char* label;
    std::string xml;
    std::string yaml;
    const char* message;
  };
  std::string zero = fixture;
  zero.replace(zero.find("<body name=\"right_index_intermediate\" pos=\"0 0 0.04\""),
               std::string("<body name=\"right_index_intermediate\" pos=\"0 0 0.04\"").size(),
               "<body name=\"right_index_intermediate\" pos=\"0 0 0\"");
  std::string index_capsule_without_fromto = fixture;
  const std::string capsule = "name=\"right_index_proximal_collision\" type=\"capsule\" size=\"0.006\" ";
  index_capsule_without_fromto.erase(fixture.find(capsule) + capsule.size(),
                                     std::string("fromto=\"0 0 0 0 0 0.04\"").size());
  const std::vector<Case> cases = {
      {"zero bone vector", zero, bone, "Dynamic OpenXR XML has zero bone vector: right_index_intermediate"},
      {"missing body", without("<body name=\"right_index_intermediate\""), bone,
       "Dynamic OpenXR XML missing right_index_intermediate"},
      {"missing capsule", without("<geom name=\"right_index_proximal_collision\""), bone,
       "Dynamic OpenXR XML missing right_index_proximal_collision"},
      {"capsule without fromto", index_capsule_without_fromto, bone,
       "Dynamic OpenXR XML missing attribute fromto"},
      {"unreadable template", "", bone, "Dynamic OpenXR XML missing right_index_intermediate"},
      {"landmark with three values", fixture, palm, "Dynamic OpenXR palm landmark must contain two values"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    write_file(model_, c.xml);
    if (c.xml.empty()) fs::remove(model_);
    try {
      dynamic_openxr_model(model_, load(c.yaml), "right");
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), c.message);
    }
    EXPECT_TRUE(cache_entries().empty());
  }
}

TEST_F(Generation, MissingLandmarkIsAConfigurationError) {
  const Config config =
      load(std::string(kEnabledHand) + "    palm_layout: {enabled: true, landmarks_m: {}}\n");
  EXPECT_THROW(dynamic_openxr_model(model_, config, "right"), std::out_of_range);
}

TEST(SetXmlAttribute, EditsOnlyTheStartTagOfTheFirstExactlyNamedElement) {
  const std::string xml =
      "<body name=\"a_long\" pos=\"9\">\n<body name=\"a\">\n  <body name=\"b\" pos=\"1 2 3\"/>\n</body>\n"
      "<body name=\"a\" pos=\"4\"/>\n";
  std::string edited = xml;
  set_xml_attribute(edited, "body", "b", "pos", "7 8 9");
  EXPECT_EQ(edited,
            "<body name=\"a_long\" pos=\"9\">\n<body name=\"a\">\n  <body name=\"b\" pos=\"7 8 9\"/>\n"
            "</body>\n<body name=\"a\" pos=\"4\"/>\n");
  // The first "a" has no pos of its own; the child's pos lies after its start tag.
  std::string unchanged = xml;
  try {
    set_xml_attribute(unchanged, "body", "a", "pos", "0");
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Dynamic OpenXR XML missing attribute pos");
  }
  EXPECT_EQ(unchanged, xml);
  try {
    set_xml_attribute(unchanged, "geom", "a", "pos", "0");
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Dynamic OpenXR XML missing a");
  }
}

TEST_F(Generation, SkinPathsBecomeAbsoluteOnlyWhenTheModelIsPersonalised) {
  const std::string skins =
      "<mujoco>\n<deformable>\n  <skin name=\"s1\" file=\"skins/hand.skn\"/>\n"
      "  <skin name=\"s2\" file=\"/abs/hand.skn\"/>\n  <skin name=\"s3\" file=\"../shared/./x.skn\"/>\n"
      "  <skin name=\"s4\"/>\n</deformable>\n";
  const std::string body =
      "<worldbody><body name=\"right_index_intermediate\" pos=\"0 0 0.04\">"
      "<geom name=\"right_index_proximal_collision\" fromto=\"0 0 0 0 0 0.04\"/></body>"
      "</worldbody>\n</mujoco>\n";
  write_file(model_, skins + body);
  const fs::path res = fs::canonical(dir_ / "res");

  EXPECT_EQ(personalised_openxr_mjcf(model_, load(kEnabledHand), "right"), std::nullopt);

  const auto xml = personalised_openxr_mjcf(
      model_, load(std::string(kEnabledHand) + "    fingers: {first: {proximal: 0.05}}\n"), "right");
  ASSERT_TRUE(xml.has_value());
  const std::string expected_skins =
      "<mujoco>\n<deformable>\n  <skin name=\"s1\" file=\"" + (res / "mujoco/skins/hand.skn").string() +
      "\"/>\n  <skin name=\"s2\" file=\"/abs/hand.skn\"/>\n  <skin name=\"s3\" file=\"" +
      (res / "shared/x.skn").string() + "\"/>\n  <skin name=\"s4\"/>\n</deformable>\n";
  EXPECT_EQ(xml->substr(0, expected_skins.size()), expected_skins);
}

TEST_F(Generation, UnterminatedSkinValueEndsTheScan) {
  for (const std::string value : {"/abs/never closed", "rel/never closed"}) {
    write_file(model_,
               "<body name=\"right_index_intermediate\" pos=\"0 0 0.04\"><geom "
               "name=\"right_index_proximal_collision\" fromto=\"0 0 0 0 0 0.04\"/></body>\n"
               "<skin file=\"" +
                   value + " > <skin file=\"");
    EXPECT_TRUE(
        personalised_openxr_mjcf(
            model_, load(std::string(kEnabledHand) + "    fingers: {first: {proximal: 0.05}}\n"), "right")
            .has_value());
  }
}

// Palm landmarks of the right template for the first finger (A) and its metacarpal base (B).
constexpr std::array<double, 3> kFirstA{-0.0110400066222, 0.0373887227753, 0.0856472995507};
constexpr std::array<double, 3> kFirstB{0.00155722315, 0.02107323706, 0.0147868637};

struct PalmBasis {
  std::array<double, 3> e_idx, e_mid, n;
};

// The palm plane of the right template: towards the middle finger, towards the first finger, normal.
PalmBasis right_palm_basis() {
  const std::array<double, 3> middle{-0.0163691827829, 0.00946094353832, 0.0857296730851};
  const std::array<double, 3> little{0.00228678626667, -0.0376494808459, 0.0752327396856};
  auto unit = [](std::array<double, 3> v) {
    const double n = std::hypot(v[0], v[1], v[2]);
    return std::array<double, 3>{v[0] / n, v[1] / n, v[2] / n};
  };
  const auto e_mid = unit(middle);
  std::array<double, 3> d{kFirstA[0] - little[0], kFirstA[1] - little[1], kFirstA[2] - little[2]};
  const double along = d[0] * e_mid[0] + d[1] * e_mid[1] + d[2] * e_mid[2];
  const auto e_idx = unit({d[0] - along * e_mid[0], d[1] - along * e_mid[1], d[2] - along * e_mid[2]});
  const std::array<double, 3> n{e_idx[1] * e_mid[2] - e_idx[2] * e_mid[1],
                                e_idx[2] * e_mid[0] - e_idx[0] * e_mid[2],
                                e_idx[0] * e_mid[1] - e_idx[1] * e_mid[0]};
  return {e_idx, e_mid, n};
}

double dot3(const std::array<double, 3>& a, const std::array<double, 3>& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// Palm layout YAML with every landmark at the template's own in-plane coordinates, except the first
// finger's, which is moved by (du, dv).
std::string palm_yaml(double du, double dv, const std::string& extra_fingers = "") {
  const std::vector<std::pair<const char*, std::array<double, 3>>> landmarks = {
      {"thumb_cmc", {0.01791378856, 0.02917817421, 0.02529839985}},
      {"first_mcp", kFirstA},
      {"middle_mcp", {-0.0163691827829, 0.00946094353832, 0.0857296730851}},
      {"ring_mcp", {-0.00970091940494, -0.0132089374615, 0.0813390002479}},
      {"little_mcp", {0.00228678626667, -0.0376494808459, 0.0752327396856}},
  };
  const PalmBasis basis = right_palm_basis();
  std::ostringstream yaml;
  yaml.precision(17);
  yaml << kEnabledHand << extra_fingers << "    palm_layout:\n      enabled: true\n      landmarks_m:\n";
  for (const auto& [name, a] : landmarks) {
    const bool first = std::string(name) == "first_mcp";
    yaml << "        " << name << ": [" << dot3(a, basis.e_idx) + (first ? du : 0.0) << ", "
         << dot3(a, basis.e_mid) + (first ? dv : 0.0) << "]\n";
  }
  return yaml.str();
}

const std::vector<std::string> kPalmBodies = {"right_thumb_cmc_abduction_aux", "right_index_metacarpal",
                                              "right_middle_metacarpal", "right_ring_metacarpal",
                                              "right_little_cmc_opposition_aux"};

std::string mask_palm(std::string xml) {
  for (const std::string& body : kPalmBodies) xml = mask_attribute(xml, "body", body, "pos");
  return xml;
}

TEST_F(Generation, PalmLayoutMovesOnlyThePalmBodies) {
  const std::string before = template_text();
  const PalmBasis basis = right_palm_basis();
  struct Case {
    const char* label;
    double du, dv;
  };
  for (const Case& c :
       {Case{"template landmarks", 0.0, 0.0}, Case{"first moved towards the first finger", 0.002, 0.0},
        Case{"first moved towards the middle finger", 0.0, -0.003}}) {
    SCOPED_TRACE(c.label);
    const fs::path out = dynamic_openxr_model(model_, load(palm_yaml(c.du, c.dv)), "right");
    ASSERT_EQ(out, cache_dir() / "default_right.xml") << "the palm layout always publishes a file";
    const std::string after = read_file(out);
    EXPECT_EQ(mask_palm(after), mask_palm(before));
    for (const std::string& body : kPalmBodies) {
      SCOPED_TRACE(body);
      const auto old_pos = parse_numbers(xml_attribute(before, "body", body, "pos"));
      const auto new_pos = parse_numbers(xml_attribute(after, "body", body, "pos"));
      ASSERT_EQ(new_pos.size(), 3u);
      const bool first = body == "right_index_metacarpal";
      for (int i = 0; i < 3; ++i) {
        const double expected = old_pos[i] + (first ? c.du * basis.e_idx[i] + c.dv * basis.e_mid[i] : 0.0);
        EXPECT_NEAR(new_pos[i], expected, 2e-6);
      }
    }
  }
}

TEST_F(Generation, MetacarpalLengthMovesThePalmBaseButNotTheThumbs) {
  const double length = 0.05;
  const std::string fingers = "    fingers: {first: {metacarpal: 0.05}, thumb: {metacarpal: 0.03}}\n";
  const std::string before = template_text();
  const std::string after = read_file(dynamic_openxr_model(model_, load(palm_yaml(0, 0, fingers)), "right"));
  std::array<double, 3> ab{kFirstA[0] - kFirstB[0], kFirstA[1] - kFirstB[1], kFirstA[2] - kFirstB[2]};
  const double ratio = length / std::hypot(ab[0], ab[1], ab[2]);
  const auto old_pos = parse_numbers(xml_attribute(before, "body", "right_index_metacarpal", "pos"));
  const auto new_pos = parse_numbers(xml_attribute(after, "body", "right_index_metacarpal", "pos"));
  ASSERT_EQ(new_pos.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(new_pos[i], old_pos[i] + ab[i] * (1.0 - ratio), 2e-6);
  EXPECT_EQ(xml_attribute(after, "body", "right_thumb_cmc_abduction_aux", "pos"),
            xml_attribute(before, "body", "right_thumb_cmc_abduction_aux", "pos"));
}

TEST_F(Generation, GeneratedModelLoadsInMujoco) {
  // The observer looks the template up beside the configuration and loads the personalised copy.
  write_file(dir_ / "conf/resources/mujoco/right.xml", template_text());
  const Config config =
      load(palm_yaml(0.001, 0.001, "    fingers: {first: {proximal: 0.05, distal: 0.018}}\n"));
  hand::MujocoPhysicsObserver observer(config, dir_ / "conf/system.yaml", "right");
  EXPECT_EQ(observer.model_path(), cache_dir() / "default_right.xml");
  EXPECT_EQ(observer.actuator_count(), 5);
  EXPECT_NEAR(observer.observe({"right_index_flexion"}, {0.0}).at(0), 0.0, 1e-6);
}

TEST_F(Generation, RepeatedGenerationReplacesTheSameFile) {
  for (const double length : {0.04, 0.05}) {
    const fs::path out =
        dynamic_openxr_model(model_,
                             load(std::string(kEnabledHand) +
                                  "    fingers: {first: {proximal: " + std::to_string(length) + "}}\n"),
                             "right");
    EXPECT_EQ(parse_numbers(xml_attribute(read_file(out), "body", "right_index_intermediate", "pos")).at(2),
              length);
  }
  EXPECT_EQ(cache_entries().size(), 1u);
}

TEST(Publication, ReplacesAFileOrAnEmptyDirectoryOfTheSameName) {
  TempDir dir;
  const fs::path output = dir / "default_right.xml";
  write_file(output, "old");
  publish_mjcf_cache_file(output, "new text");
  EXPECT_EQ(read_file(output), "new text");

  fs::remove(output);
  fs::create_directory(output);  // a rename over an empty directory fails; it is removed and retried
  publish_mjcf_cache_file(output, "newer text");
  EXPECT_EQ(read_file(output), "newer text");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(Publication, FailedRenameLeavesNoTemporaryFile) {
  TempDir dir;
  const fs::path output = dir / "default_right.xml";
  write_file(output / "keep", "occupied");  // a non-empty directory can be neither replaced nor removed
  try {
    publish_mjcf_cache_file(output, "text");
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(error.what(), "cannot publish MuJoCo cache file: " + output.string());
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
  EXPECT_EQ(read_file(output / "keep"), "occupied");
}

TEST(Publication, FailedWriteLeavesNoTemporaryFile) {
  TempDir dir;
  const fs::path output = dir / "default_right.xml";
  // A file size limit makes the write fail with EFBIG (the signal it would raise is ignored meanwhile).
  struct rlimit old_limit {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  struct rlimit limit = old_limit;
  limit.rlim_cur = 16;
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  std::string message;
  try {
    publish_mjcf_cache_file(output, std::string(1 << 16, 'x'));
  } catch (const std::runtime_error& error) {
    message = error.what();
  }
  setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_THAT(message, HasSubstr("cannot write MuJoCo cache temporary file: " + output.string() + ".tmp-"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 0);
}

}  // namespace
}  // namespace kelto::test
