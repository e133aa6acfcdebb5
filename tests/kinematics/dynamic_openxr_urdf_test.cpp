// The personalised URDF of the OpenXR-style hand (bone lengths, palm landmarks, errors) and the model cache.
#include "kinematics/dynamic_openxr_urdf.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <sstream>

#include "config/config.hpp"
#include "kinematics/model_cache.hpp"
#include "kinematics/palm_layout.hpp"
#include "kinematics/toy_hand.hpp"
#include "kinematics/vec3.hpp"
#include "support/error_text.hpp"

namespace kelto::hand::detail {
namespace {

namespace fs = std::filesystem;
using test::error_text;
using test::read_file;
using test::replace_all;
using test::ScopedEnv;
using test::TempDir;
using test::write_file;

// A template with the joints the generator edits ("S_" the side prefix), mesh references and odd spacing
// that must survive byte for byte.
std::string template_text(const std::string& side) {
  std::string text =
      "<?xml version=\"1.0\"?>\n<!-- toy template -->\n<robot name=\"t\">\n"
      "  <link name=\"palm\"><visual><geometry><mesh filename=\"../meshes/S/palm.stl\"/></geometry>"
      "</visual></link>\n";
  for (const auto& [name, xyz] :
       std::vector<std::pair<const char*, const char*>>{{"thumb_cmc_abduction", "0.01 0.02 0.03"},
                                                        {"thumb_mcp_abduction", "0 0.03 0.04"},
                                                        {"thumb_ip_flexion", "0 0 0.03"},
                                                        {"thumb_tip_fixed", "0   0  0.02"},
                                                        {"index_metacarpal_fixed", "0.001 0.002 0.003"},
                                                        {"index_mcp_abduction", "0 0.01 0.06"},
                                                        {"index_pip_flexion", "0 0 0.04"},
                                                        {"index_dip_flexion", "0 0 0.025"},
                                                        {"index_tip_fixed", "0 0 0.02"},
                                                        {"middle_metacarpal_fixed", "0 0 0"},
                                                        {"ring_cmc_cup", "-0.001 0 0.002"},
                                                        {"little_cmc_opposition", "0 0 0"}}) {
    text += std::string("  <joint name=\"S_") + name + "\" type=\"revolute\">\n    <parent link=\"p\"/>\n" +
            "    <origin xyz=\"" + xyz + "\" rpy=\"0 0 0\"/>\n    <axis xyz=\"1 0 0\"/>\n  </joint>\n";
  }
  return replace_all(replace_all(text + "</robot>\n", "S_", side + "_"), "meshes/S/", "meshes/" + side + "/");
}

// A template under <dir>/res/pinocchio/<side>.urdf, a cache home and a configuration whose hand section is
// `hand` (with a bone file when `bone` is given).
struct Generator {
  TempDir dir;
  ScopedEnv home{"KELTO_HOME", (dir / "home").string()};
  std::string side, template_;
  fs::path urdf;

  explicit Generator(const std::string& s = "right", const std::string& text = "")
      : side(s),
        template_(text.empty() ? template_text(s) : text),
        urdf(write_file(dir / "res/pinocchio" / (s + ".urdf"), template_)) {}
  Config config(const std::string& hand, const std::string& bone = "") {
    const auto system = write_file(dir / "system.yaml", "hand:\n  type: dynamic_openxr_hand\n" + hand);
    return bone.empty() ? Config::load(system, "", "")
                        : Config::load(system, write_file(dir / "alice.bone.yaml", bone), "");
  }
  fs::path cache_dir() const { return dir / "home/glove/algorithms/cache/dynamic_openxr_hand"; }
};

const std::string kEnabled = "  anthropometry:\n    enabled: true\n";

TEST(DynamicOpenxrUrdf, BoneLengthsRescaleOriginsAndKeepEverythingElse) {
  for (const auto& [type, hand] : std::vector<std::pair<std::string, std::string>>{
           {"toy_hand", kEnabled + "    fingers: {first: {proximal: 0.05}}\n"},
           {"dynamic_openxr_hand",
            "  anthropometry:\n    enabled: false\n    fingers: {first: {proximal: 0.05}}\n"},
           {"dynamic_openxr_hand", "  anthropometry:\n    fingers: {first: {proximal: 0.05}}\n"},
           {"dynamic_openxr_hand",
            kEnabled + "    fingers: {first: {}}\n    palm_layout: {enabled: false}\n"}}) {
    Generator g;
    Config config = g.config(hand);
    config.set_string("hand.type", type);
    EXPECT_EQ(dynamic_openxr_urdf(g.urdf, config, "right"), g.urdf) << hand;
    EXPECT_FALSE(fs::exists(g.dir / "home")) << "the cache directory is not even created";
  }
  Generator g;
  const auto out = dynamic_openxr_urdf(
      g.urdf,
      g.config(kEnabled + "    fingers:\n"
                          "      first: {metacarpal: 0.0305941170816, proximal: 0.05, distal: 0.01}\n"
                          "      thumb: {proximal: 0.06, intermediate: 0.5, distal: 0.0123456789}\n"),
      "right");
  EXPECT_EQ(out, g.cache_dir() / "default_right.urdf");
  std::string expected = g.template_;
  // |(0, 0.01, 0.06)| = 0.0608276: scaled by 0.0305941 / 0.0608276; six significant digits.
  expected = replace_all(expected, "\"0 0.01 0.06\"", "\"0 0.00502964 0.0301779\"");
  expected = replace_all(expected, "\"0 0 0.04\"", "\"0 0 0.05\"");
  expected = replace_all(expected, "\"0 0 0.02\"", "\"0 0 0.01\"");
  expected = replace_all(expected, "\"0 0 0.03\"", "\"0 0 0.06\"");          // thumb ip
  expected = replace_all(expected, "\"0   0  0.02\"", "\"0 0 0.0123457\"");  // thumb tip
  expected = replace_all(expected, "../meshes/right/", (g.dir / "res/meshes/right").string() + "/");
  EXPECT_EQ(read_file(out), expected);
}

Vec3 parse_origin(const std::string& text, const std::string& joint) {
  const std::size_t xyz =
      text.find("xyz=\"", text.find("<origin", text.find("<joint name=\"" + joint + "\""))) + 5;
  std::istringstream in(text.substr(xyz, text.find('"', xyz) - xyz));
  Vec3 v{};
  in >> v[0] >> v[1] >> v[2];
  return v;
}

// The palm plane's axes: toward the middle finger's landmark, and toward the index finger across it.
std::array<Vec3, 2> palm_axes(const PalmLayoutTable& t) {
  const Vec3 e_mid = normalized(t[2].landmark_point);
  const Vec3 d = sub(t[1].landmark_point, t[4].landmark_point);
  return {normalized(sub(d, scaled(e_mid, dot(d, e_mid)))), e_mid};
}

// The palm layout section with the template's own landmarks, `du` added to u of row `shifted`.
std::string palm(const PalmLayoutTable& t, std::size_t shifted = 99, double du = 0.0) {
  const auto [e_idx, e_mid] = palm_axes(t);
  std::ostringstream out;
  out.precision(17);
  out << "    palm_layout:\n      enabled: true\n      coordinate_frame: "
         "wrist_x_toward_index_y_toward_middle\n"
      << "      landmarks_m:\n";
  for (std::size_t i = 0; i < t.size(); ++i) {
    out << "        " << t[i].landmark << ": [" << dot(t[i].landmark_point, e_idx) + (i == shifted ? du : 0.0)
        << ", " << dot(t[i].landmark_point, e_mid) << "]\n";
  }
  return out.str();
}

TEST(DynamicOpenxrUrdf, PalmLayoutMovesTheLandmarkJoints) {
  for (const std::string side : {"right", "left"}) {
    const PalmLayoutTable& table = palm_layout_table(side);
    const Vec3 ab = sub(table[1].landmark_point, table[1].base_point);
    const std::tuple<std::string, std::string, Vec3> cases[] = {
        // The template's own landmarks leave the joints where they are (up to six digits).
        {palm(table), "thumb_cmc_abduction", {}},
        {palm(table), "ring_cmc_cup", {}},
        // Moving the thumb landmark 5 mm toward the index finger moves its joint along e_idx.
        {palm(table, 0, 0.005), "thumb_cmc_abduction", scaled(palm_axes(table)[0], 0.005)},
        // A metacarpal length moves the base along B→A, so the joint moves by (1 − s)(A − B).
        {"    fingers: {first: {metacarpal: " + std::to_string(0.5 * norm(ab)) + "}}\n" + palm(table),
         "index_metacarpal_fixed", scaled(ab, 0.5)},
    };
    for (const auto& [hand, joint, moved] : cases) {
      Generator g(side);
      const std::string text = read_file(dynamic_openxr_urdf(g.urdf, g.config(kEnabled + hand), side));
      const Vec3 before = parse_origin(g.template_, side + "_" + joint),
                 after = parse_origin(text, side + "_" + joint);
      for (int i = 0; i < 3; ++i) EXPECT_NEAR(after[i] - before[i], moved[i], 2e-6) << side << " " << joint;
    }
  }
}

TEST(DynamicOpenxrUrdf, ErrorTexts) {
  const std::string all = palm(palm_layout_table("right"));
  const std::string frame = "      coordinate_frame: wrist_x_toward_index_y_toward_middle\n";
  const std::string length = "Invalid dynamic OpenXR bone length: hand.anthropometry.fingers.first.";
  const std::string first_dip = "    fingers: {first: {intermediate: 0.02}}\n";
  const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
      // template text replaced (from, to), anthropometry, message
      {"right_index_dip_flexion", "right_index_dip", first_dip,
       "Dynamic OpenXR URDF is missing joint: right_index_dip_flexion"},
      {"flexion\" type=\"revolute\">\n    <parent link=\"p\"/>\n    <origin xyz=\"0 0 0.025\" rpy=\"0 0 "
       "0\"/>",
       "flexion\" type=\"revolute\"/>\n  </joint>\n<origin xyz=\"0 0 1\"/>", first_dip,
       "Dynamic OpenXR joint has no origin: right_index_dip_flexion"},
      {"<origin xyz=\"0 0 0.025\" rpy=\"0 0 0\"/>", "<origin rpy=\"0 0 0\"/>", first_dip,
       "Dynamic OpenXR joint origin has no xyz: right_index_dip_flexion"},  // the next joint's is not taken
      {"\"0 0 0.025\"", "\"0 0 0\"", first_dip, length + "intermediate"},
      {"", "", "    fingers: {first: {intermediate: 0}}\n", length + "intermediate"},
      {"", "", "    fingers: {first: {distal: .nan}}\n", length + "distal"},
      {"", "", replace_all(all, frame, ""), "Unsupported dynamic OpenXR palm coordinate frame"},
      {"", "", replace_all(all, "        ring_mcp: [", "        ring_mcp: [0, "),
       "Dynamic OpenXR palm landmark must contain two values: "
       "hand.anthropometry.palm_layout.landmarks_m.ring_mcp"},
      {"right_ring_cmc_cup", "right_ring_cmc", all,
       "Dynamic OpenXR palm joint is invalid: right_ring_cmc_cup"},
      {"<origin xyz=\"-0.001 0 0.002\" rpy=\"0 0 0\"/>", "<origin rpy=\"0 0 0\"/>", all,
       "Dynamic OpenXR palm joint is invalid: right_ring_cmc_cup"},  // its <axis xyz> is not taken
  };
  for (const auto& [from, to, hand, message] : cases) {
    const std::string text = template_text("right");
    ASSERT_NE(text.find(from), std::string::npos) << from;
    Generator g("right", from.empty() ? text : replace_all(text, from, to));
    const Config config = g.config(kEnabled + hand);
    EXPECT_EQ(error_text([&] { dynamic_openxr_urdf(g.urdf, config, "right"); }), message);
  }
}

TEST(DynamicOpenxrUrdf, CacheFileIsNamedAfterTheBoneFileAndSide) {
  Generator g("left");
  const Config config =
      g.config("  side: left\n", "left:\n  fingers:\n    first: {proximal: 0.05}\nright:\n  fingers: {}\n");
  const auto out = dynamic_openxr_urdf(g.urdf, config, "left");
  EXPECT_EQ(out, g.cache_dir() / "alice.bone_left.urdf");
  EXPECT_NE(read_file(out).find("xyz=\"0 0 0.05\""), std::string::npos);
  Config shorter = config;  // a second generation rewrites the same file
  shorter.set_number("hand.anthropometry.fingers.first.proximal", 0.03);
  EXPECT_EQ(dynamic_openxr_urdf(g.urdf, shorter, "left"), out);
  EXPECT_NE(read_file(out).find("xyz=\"0 0 0.03\""), std::string::npos);
  fs::remove(out);
  fs::create_directories(out);
  EXPECT_EQ(error_text([&] { dynamic_openxr_urdf(g.urdf, config, "left"); }),
            "cannot open dynamic OpenXR URDF cache: " + out.string());

  // The cache directory: KELTO_HOME, else $HOME/.kelto; the stem: the bone file's, else "default".
  TempDir tmp;
  const std::string suffix = "glove/algorithms/cache/dynamic_openxr_hand";
  using Env = std::optional<std::string>;
  const std::tuple<Env, Env, std::string> homes[] = {
      {(tmp / "kh").string(), (tmp / "h").string(), (tmp / "kh" / suffix).string()},
      {"", (tmp / "h").string(), (tmp / "h/.kelto" / suffix).string()},
      {std::nullopt, (tmp / "h").string(), (tmp / "h/.kelto" / suffix).string()},
      {"relative/dir", (tmp / "h").string(), "KELTO_HOME must be an absolute path"},
      {std::nullopt, "", "HOME is not set; cannot resolve KELTO_HOME"},
      {std::nullopt, std::nullopt, "HOME is not set; cannot resolve KELTO_HOME"},
  };
  for (const auto& [kelto_home, home, expected] : homes) {
    ScopedEnv kelto("KELTO_HOME", kelto_home);
    ScopedEnv user("HOME", home);
    std::string result;
    const std::string error = error_text([&] { result = dynamic_openxr_cache_dir().string(); });
    EXPECT_EQ(result.empty() ? error : result, expected);
    EXPECT_TRUE(result.empty() || fs::is_directory(result));
  }
  Config plain = Config::load(write_file(tmp / "s.yaml", "a: 1\n"), "", "");
  EXPECT_EQ(dynamic_openxr_cache_stem(plain), "default");
  plain.set_string("__bone_config_stem__", "");
  EXPECT_EQ(dynamic_openxr_cache_stem(plain), "default");
}

}  // namespace
}  // namespace kelto::hand::detail
