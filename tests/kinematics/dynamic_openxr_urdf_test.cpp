#include "kinematics/dynamic_openxr_urdf.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <sstream>
#include <stdexcept>

#include "config/config.hpp"
#include "kinematics/model_cache.hpp"
#include "kinematics/palm_layout.hpp"
#include "kinematics/toy_hand.hpp"
#include "support/test_files.hpp"

namespace kelto::hand::detail {
namespace {

using test::read_file;
using test::replace_all;
using test::ScopedEnv;
using test::TempDir;
using test::write_file;
using Vec3 = std::array<double, 3>;

std::string error_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no error>";
}

std::string joint(const std::string& name, const std::string& xyz) {
  return "  <joint name=\"" + name +
         "\" type=\"revolute\">\n    <parent link=\"p\"/>\n    <child link=\"c\"/>\n" + "    <origin xyz=\"" +
         xyz + "\" rpy=\"0 0 0\"/>\n    <axis xyz=\"1 0 0\"/>\n  </joint>\n";
}

// A template holding the joints the generator edits, with mesh references and odd spacing that must
// survive byte for byte.
std::string template_text(const std::string& s) {
  std::string text = "<?xml version=\"1.0\"?>\n<!-- toy template -->\n<robot name=\"t\">\n";
  text += "  <link name=\"palm\"><visual><geometry><mesh filename=\"../meshes/" + s +
          "/palm.stl\"/></geometry></visual></link>\n";
  text += joint(s + "_thumb_cmc_abduction", "0.01 0.02 0.03");
  text += joint(s + "_thumb_mcp_abduction", "0 0.03 0.04");
  text += joint(s + "_thumb_ip_flexion", "0 0 0.03");
  text += joint(s + "_thumb_tip_fixed", "0   0  0.02");
  text += joint(s + "_index_metacarpal_fixed", "0.001 0.002 0.003");
  text += joint(s + "_index_mcp_abduction", "0 0.01 0.06");
  text += joint(s + "_index_pip_flexion", "0 0 0.04");
  text += joint(s + "_index_dip_flexion", "0 0 0.025");
  text += joint(s + "_index_tip_fixed", "0 0 0.02");
  text += joint(s + "_middle_metacarpal_fixed", "0 0 0");
  text += joint(s + "_ring_cmc_cup", "-0.001 0 0.002");
  text += joint(s + "_little_cmc_opposition", "0 0 0");
  text += "  <link name=\"tip\"><visual><geometry><mesh filename=\"../meshes/" + s +
          "/tip.stl\"/></geometry></visual></link>\n</robot>\n";
  return text;
}

// A template under <dir>/res/pinocchio/<side>.urdf, a cache home and a configuration whose hand
// section is `hand`.
struct Generator {
  TempDir dir;
  ScopedEnv home{"KELTO_HOME", (dir / "home").string()};
  std::filesystem::path urdf;
  std::string template_;

  explicit Generator(const std::string& side = "right") : template_(template_text(side)) {
    urdf = write_file(dir / "res/pinocchio" / (side + ".urdf"), template_);
  }

  Config config(const std::string& hand, const std::string& bone = "") {
    const auto system = write_file(dir / "system.yaml", "hand:\n  type: dynamic_openxr_hand\n" + hand);
    if (bone.empty()) return Config::load(system, "", "");
    return Config::load(system, write_file(dir / "alice.bone.yaml", bone), "");
  }

  std::filesystem::path cache_dir() const { return dir / "home/glove/algorithms/cache/dynamic_openxr_hand"; }
};

const char* const kEnabled = "  anthropometry:\n    enabled: true\n";

TEST(DynamicOpenxrUrdf, TemplateIsKeptWhenNothingIsAsked) {
  struct Case {
    const char* name;
    std::string hand;
    const char* type;
  };
  const Case cases[] = {
      {"other_type", std::string(kEnabled) + "    fingers: {first: {proximal: 0.05}}\n", "toy_hand"},
      {"disabled", "  anthropometry:\n    enabled: false\n    fingers: {first: {proximal: 0.05}}\n",
       "dynamic_openxr_hand"},
      {"switch_absent", "  anthropometry:\n    fingers: {first: {proximal: 0.05}}\n", "dynamic_openxr_hand"},
      {"nothing_to_edit",
       std::string(kEnabled) + "    fingers: {first: {}}\n    palm_layout: {enabled: false}\n",
       "dynamic_openxr_hand"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Generator g;
    Config config = g.config(c.hand);
    config.set_string("hand.type", c.type);
    EXPECT_EQ(dynamic_openxr_urdf(g.urdf, config, "right"), g.urdf);
    EXPECT_FALSE(std::filesystem::exists(g.dir / "home")) << "the cache directory must not be created";
  }
}

TEST(DynamicOpenxrUrdf, BoneLengthsRescaleOriginsAndKeepEverythingElse) {
  Generator g;
  const std::string hand = std::string(kEnabled) +
                           "    fingers:\n"
                           "      first: {metacarpal: 0.0305941170816, proximal: 0.05, distal: 0.01}\n"
                           "      thumb: {proximal: 0.06, intermediate: 0.5, distal: 0.0123456789}\n";
  const auto out = dynamic_openxr_urdf(g.urdf, g.config(hand), "right");
  EXPECT_EQ(out, g.cache_dir() / "default_right.urdf");
  std::string expected = g.template_;
  // |(0, 0.01, 0.06)| = 0.0608276: scaled by 0.0305941 / 0.0608276.
  expected = replace_all(expected, "\"0 0.01 0.06\"", "\"0 0.00502964 0.0301779\"");
  expected = replace_all(expected, "\"0 0 0.04\"", "\"0 0 0.05\"");
  expected = replace_all(expected, "\"0 0 0.02\"", "\"0 0 0.01\"");
  expected = replace_all(expected, "\"0 0 0.03\"", "\"0 0 0.06\"");          // thumb ip
  expected = replace_all(expected, "\"0   0  0.02\"", "\"0 0 0.0123457\"");  // thumb tip, six digits
  expected = replace_all(expected, "../meshes/right/", (g.dir / "res/meshes/right").string() + "/");
  EXPECT_EQ(read_file(out), expected);
}

TEST(DynamicOpenxrUrdf, BoneErrors) {
  struct Case {
    const char* name;
    const char* from;
    const char* to;
    const char* fingers;
    const char* message;
  };
  const Case cases[] = {
      {"missing_joint", "right_index_dip_flexion", "right_index_dip", "{first: {intermediate: 0.02}}",
       "Dynamic OpenXR URDF is missing joint: right_index_dip_flexion"},
      {"origin_after_element",
       "<joint name=\"right_index_dip_flexion\" type=\"revolute\">\n    <parent link=\"p\"/>\n    <child "
       "link=\"c\"/>\n"
       "    <origin xyz=\"0 0 0.025\" rpy=\"0 0 0\"/>\n    <axis xyz=\"1 0 0\"/>\n  </joint>",
       "<joint name=\"right_index_dip_flexion\" type=\"revolute\"/>\n  </joint>\n<origin xyz=\"0 0 1\"/>",
       "{first: {intermediate: 0.02}}", "Dynamic OpenXR joint has no origin: right_index_dip_flexion"},
      {"no_xyz", "<origin xyz=\"0 0 0.025\"", "<origin pos=\"0 0 0.025\"", "{first: {intermediate: 0.02}}",
       "Dynamic OpenXR joint origin has no xyz: right_index_dip_flexion"},
      {"xyz_of_a_later_element", "<origin xyz=\"0 0 0.025\" rpy=\"0 0 0\"/>", "<origin rpy=\"0 0 0\"/>",
       "{first: {intermediate: 0.02}}", "Dynamic OpenXR joint origin has no xyz: right_index_dip_flexion"},
      {"zero_origin", "\"0 0 0.025\"", "\"0 0 0\"", "{first: {intermediate: 0.02}}",
       "Invalid dynamic OpenXR bone length: hand.anthropometry.fingers.first.intermediate"},
      {"zero_length", "", "", "{first: {intermediate: 0}}",
       "Invalid dynamic OpenXR bone length: hand.anthropometry.fingers.first.intermediate"},
      {"negative_length", "", "", "{first: {proximal: -0.01}}",
       "Invalid dynamic OpenXR bone length: hand.anthropometry.fingers.first.proximal"},
      {"nan_length", "", "", "{first: {distal: .nan}}",
       "Invalid dynamic OpenXR bone length: hand.anthropometry.fingers.first.distal"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Generator g;
    if (c.from[0] != '\0') {
      ASSERT_NE(g.template_.find(c.from), std::string::npos);
      write_file(g.urdf, replace_all(g.template_, c.from, c.to));
    }
    const Config config = g.config(std::string(kEnabled) + "    fingers: " + c.fingers + "\n");
    EXPECT_EQ(error_of([&] { dynamic_openxr_urdf(g.urdf, config, "right"); }), c.message);
  }
}

Vec3 parse_origin(const std::string& text, const std::string& joint_name) {
  const std::size_t start = text.find("<joint name=\"" + joint_name + "\"");
  const std::size_t xyz = text.find("xyz=\"", text.find("<origin", start)) + 5;
  std::istringstream in(text.substr(xyz, text.find('"', xyz) - xyz));
  Vec3 v{};
  in >> v[0] >> v[1] >> v[2];
  return v;
}

struct PalmBasis {
  Vec3 e_idx, e_mid, n;
};

double dot(const Vec3& a, const Vec3& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

PalmBasis palm_basis(const PalmLayoutTable& t) {
  auto unit = [](Vec3 v) {
    const double l = std::sqrt(dot(v, v));
    return Vec3{v[0] / l, v[1] / l, v[2] / l};
  };
  PalmBasis b;
  b.e_mid = unit(t[2].landmark_point);
  Vec3 d{t[1].landmark_point[0] - t[4].landmark_point[0], t[1].landmark_point[1] - t[4].landmark_point[1],
         t[1].landmark_point[2] - t[4].landmark_point[2]};
  const double k = dot(d, b.e_mid);
  b.e_idx = unit({d[0] - k * b.e_mid[0], d[1] - k * b.e_mid[1], d[2] - k * b.e_mid[2]});
  b.n = unit({b.e_idx[1] * b.e_mid[2] - b.e_idx[2] * b.e_mid[1],
              b.e_idx[2] * b.e_mid[0] - b.e_idx[0] * b.e_mid[2],
              b.e_idx[0] * b.e_mid[1] - b.e_idx[1] * b.e_mid[0]});
  return b;
}

// Landmark (u, v) list of the template itself, with `du` added to u of the row `shifted`.
std::string landmarks(const PalmLayoutTable& t, const PalmBasis& b, std::size_t shifted, double du) {
  std::ostringstream out;
  out.precision(17);
  out << "      landmarks_m:\n";
  for (std::size_t i = 0; i < t.size(); ++i) {
    out << "        " << t[i].landmark << ": ["
        << dot(t[i].landmark_point, b.e_idx) + (i == shifted ? du : 0.0) << ", "
        << dot(t[i].landmark_point, b.e_mid) << "]\n";
  }
  return out.str();
}

TEST(DynamicOpenxrUrdf, PalmLayoutMovesTheLandmarkJoints) {
  for (const std::string side : {"right", "left"}) {
    SCOPED_TRACE(side);
    const PalmLayoutTable& table = palm_layout_table(side);
    const PalmBasis basis = palm_basis(table);
    const std::string palm =
        "    palm_layout:\n      enabled: true\n"
        "      coordinate_frame: wrist_x_toward_index_y_toward_middle\n";
    // The template's own landmarks leave every joint where it was (up to six digits).
    {
      Generator g(side);
      const std::string text = read_file(
          dynamic_openxr_urdf(g.urdf, g.config(kEnabled + palm + landmarks(table, basis, 99, 0.0)), side));
      for (const PalmLayoutRow& row : table) {
        const std::string name = side + "_" + row.joint_suffix;
        const Vec3 before = parse_origin(g.template_, name), after = parse_origin(text, name);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(after[i], before[i], 1e-6) << name;
      }
    }
    // Moving the thumb landmark 5 mm toward the index finger moves its joint along e_idx.
    {
      Generator g(side);
      const std::string text = read_file(
          dynamic_openxr_urdf(g.urdf, g.config(kEnabled + palm + landmarks(table, basis, 0, 0.005)), side));
      const std::string name = side + "_thumb_cmc_abduction";
      const Vec3 before = parse_origin(g.template_, name), after = parse_origin(text, name);
      for (int i = 0; i < 3; ++i) EXPECT_NEAR(after[i] - before[i], 0.005 * basis.e_idx[i], 2e-6);
    }
    // A metacarpal length moves the base along B→A, so the joint moves by A − base = A − B − s(A − B).
    {
      Generator g(side);
      const PalmLayoutRow& first = table[1];
      Vec3 ab{};
      for (int i = 0; i < 3; ++i) ab[i] = first.landmark_point[i] - first.base_point[i];
      const double length = std::sqrt(dot(ab, ab));
      const std::string hand = kEnabled + std::string("    fingers: {first: {metacarpal: ") +
                               std::to_string(0.5 * length) + "}}\n" + palm +
                               landmarks(table, basis, 99, 0.0);
      Config config = g.config(hand);
      config.set_number("hand.anthropometry.fingers.first.metacarpal", 0.5 * length);
      const std::string text = read_file(dynamic_openxr_urdf(g.urdf, config, side));
      const std::string name = side + "_index_metacarpal_fixed";
      const Vec3 before = parse_origin(g.template_, name), after = parse_origin(text, name);
      for (int i = 0; i < 3; ++i) EXPECT_NEAR(after[i] - before[i], 0.5 * ab[i], 2e-6);
    }
  }
}

TEST(DynamicOpenxrUrdf, PalmErrors) {
  const PalmLayoutTable& table = palm_layout_table("right");
  const PalmBasis basis = palm_basis(table);
  const std::string all = landmarks(table, basis, 99, 0.0);
  struct Case {
    const char* name;
    std::string palm;
    const char* from;
    const char* to;
    const char* message;
  };
  const std::string frame = "      coordinate_frame: wrist_x_toward_index_y_toward_middle\n";
  const Case cases[] = {
      {"frame_missing", "      enabled: true\n" + all, "", "",
       "Unsupported dynamic OpenXR palm coordinate frame"},
      {"frame_other", "      enabled: true\n      coordinate_frame: palm\n" + all, "", "",
       "Unsupported dynamic OpenXR palm coordinate frame"},
      {"three_values",
       "      enabled: true\n" + frame + replace_all(all, "        ring_mcp: [", "        ring_mcp: [0, "),
       "", "",
       "Dynamic OpenXR palm landmark must contain two values: "
       "hand.anthropometry.palm_layout.landmarks_m.ring_mcp"},
      {"landmark_missing", "      enabled: true\n" + frame + "      landmarks_m: {}\n", "", "",
       "Config key was not found: hand.anthropometry.palm_layout.landmarks_m.thumb_cmc"},
      {"joint_missing", "      enabled: true\n" + frame + all, "right_ring_cmc_cup", "right_ring_cmc",
       "Dynamic OpenXR palm joint is invalid: right_ring_cmc_cup"},
      {"xyz_missing", "      enabled: true\n" + frame + all,
       "<origin xyz=\"0 0 0\" rpy=\"0 0 0\"/>\n    <axis xyz=\"1 0 0\"/>\n  </joint>\n  <link name=\"tip\">",
       "<origin rpy=\"0 0 0\"/>\n  </joint>\n  <link name=\"tip\">",
       "Dynamic OpenXR palm joint is invalid: right_little_cmc_opposition"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Generator g;
    if (c.from[0] != '\0') {
      ASSERT_NE(g.template_.find(c.from), std::string::npos);
      write_file(g.urdf, replace_all(g.template_, c.from, c.to));
    }
    const Config config = g.config(std::string(kEnabled) + "    palm_layout:\n" + c.palm);
    EXPECT_EQ(error_of([&] { dynamic_openxr_urdf(g.urdf, config, "right"); }), c.message);
  }
}

TEST(DynamicOpenxrUrdf, CacheFileIsNamedAfterTheBoneFileAndSide) {
  Generator g("left");
  const Config config =
      g.config("  side: left\n", "left:\n  fingers:\n    first: {proximal: 0.05}\nright:\n  fingers: {}\n");
  const auto out = dynamic_openxr_urdf(g.urdf, config, "left");
  EXPECT_EQ(out, g.cache_dir() / "alice.bone_left.urdf");
  EXPECT_NE(read_file(out).find("xyz=\"0 0 0.05\""), std::string::npos);
  // A second generation rewrites the same file with the new content.
  Config shorter = config;
  shorter.set_number("hand.anthropometry.fingers.first.proximal", 0.03);
  EXPECT_EQ(dynamic_openxr_urdf(g.urdf, shorter, "left"), out);
  EXPECT_NE(read_file(out).find("xyz=\"0 0 0.03\""), std::string::npos);

  // An unwritable cache entry is reported.
  std::filesystem::remove(out);
  std::filesystem::create_directories(out);
  EXPECT_EQ(error_of([&] { dynamic_openxr_urdf(g.urdf, config, "left"); }),
            "cannot open dynamic OpenXR URDF cache: " + out.string());
}

TEST(ModelCache, DirectoryFollowsKeltoHomeThenHome) {
  TempDir tmp;
  const std::string suffix = "glove/algorithms/cache/dynamic_openxr_hand";
  {
    ScopedEnv kelto("KELTO_HOME", (tmp / "kh").string());
    ScopedEnv home("HOME", (tmp / "h").string());
    EXPECT_EQ(dynamic_openxr_cache_dir(), tmp / "kh" / suffix);
    EXPECT_TRUE(std::filesystem::is_directory(tmp / "kh" / suffix));
  }
  for (const std::optional<std::string>& empty :
       {std::optional<std::string>(""), std::optional<std::string>()}) {
    ScopedEnv kelto("KELTO_HOME", empty);
    ScopedEnv home("HOME", (tmp / "h").string());
    EXPECT_EQ(dynamic_openxr_cache_dir(), tmp / "h/.kelto" / suffix);
  }
  {
    ScopedEnv kelto("KELTO_HOME", std::string("relative/dir"));
    EXPECT_EQ(error_of([] { dynamic_openxr_cache_dir(); }), "KELTO_HOME must be an absolute path");
  }
  for (const std::optional<std::string>& empty :
       {std::optional<std::string>(""), std::optional<std::string>()}) {
    ScopedEnv kelto("KELTO_HOME", std::nullopt);
    ScopedEnv home("HOME", empty);
    EXPECT_EQ(error_of([] { dynamic_openxr_cache_dir(); }), "HOME is not set; cannot resolve KELTO_HOME");
  }
}

TEST(ModelCache, StemDefaultsWithoutABoneFile) {
  TempDir tmp;
  Config config = Config::load(write_file(tmp / "s.yaml", "a: 1\n"), "", "");
  EXPECT_EQ(dynamic_openxr_cache_stem(config), "default");
  config.set_string("__bone_config_stem__", "");
  EXPECT_EQ(dynamic_openxr_cache_stem(config), "default");
  config.set_string("__bone_config_stem__", "bob");
  EXPECT_EQ(dynamic_openxr_cache_stem(config), "bob");
}

}  // namespace
}  // namespace kelto::hand::detail
