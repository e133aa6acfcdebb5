#include "kinematics/dynamic_openxr_urdf.hpp"

#include <array>
#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "config/config.hpp"
#include "kinematics/model_cache.hpp"
#include "kinematics/palm_layout.hpp"
#include "kinematics/vec3.hpp"

namespace kelto::hand::detail {

namespace {

struct FingerWord {
  const char* key;   // anthropometry finger key
  const char* word;  // finger word in URDF joint names
};

constexpr std::array<FingerWord, 5> kFingers = {{
    {"thumb", "thumb"},
    {"first", "index"},
    {"middle", "middle"},
    {"ring", "ring"},
    {"little", "little"},
}};

struct BoneJoint {
  const char* bone;
  const char* suffix;
};

constexpr std::array<BoneJoint, 4> kBones = {{
    {"metacarpal", "mcp_abduction"},
    {"proximal", "pip_flexion"},
    {"intermediate", "dip_flexion"},
    {"distal", "tip_fixed"},
}};

constexpr const char* kPalmFrame = "wrist_x_toward_index_y_toward_middle";

// Where the xyz value of a joint's origin lies in the text: [begin, end).
struct ValueSpan {
  std::size_t begin = std::string::npos;
  std::size_t end = std::string::npos;
};

std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::size_t find_joint(const std::string& text, const std::string& joint) {
  return text.find("<joint name=\"" + joint + "\"");
}

// Up to three whitespace-separated numbers; the ones that cannot be read are 0.
Vec3 parse_vec3(const std::string& text) {
  Vec3 v{0.0, 0.0, 0.0};
  std::istringstream in(text);
  for (double& x : v) {
    double value = 0.0;
    if (!(in >> value)) break;
    x = value;
  }
  return v;
}

std::string format_vec3(const Vec3& v) {
  std::ostringstream out;
  out << v[0] << ' ' << v[1] << ' ' << v[2];
  return out.str();
}

// Unit vector, or the vector unchanged when its squared norm is not positive.
Vec3 normalized_or_same(const Vec3& a) {
  if (!(dot(a, a) > 0.0)) return a;
  return normalized(a);
}

ValueSpan bone_joint_origin(const std::string& text, const std::string& joint) {
  const std::size_t start = find_joint(text, joint);
  if (start == std::string::npos) throw std::runtime_error("Dynamic OpenXR URDF is missing joint: " + joint);
  const std::size_t element_end = text.find("</joint>", start);
  const std::size_t origin = text.find("<origin", start);
  if (origin == std::string::npos || (element_end != std::string::npos && origin > element_end)) {
    throw std::runtime_error("Dynamic OpenXR joint has no origin: " + joint);
  }
  const std::size_t origin_end = text.find("/>", origin);
  if (origin_end == std::string::npos)
    throw std::runtime_error("Dynamic OpenXR joint has no origin: " + joint);
  const std::size_t xyz = text.find("xyz=\"", origin);
  if (xyz == std::string::npos || xyz >= origin_end) {
    throw std::runtime_error("Dynamic OpenXR joint origin has no xyz: " + joint);
  }
  ValueSpan span;
  span.begin = xyz + 5;
  span.end = text.find('"', span.begin);
  // An unterminated value cannot be edited in place.
  if (span.end == std::string::npos)
    throw std::runtime_error("Dynamic OpenXR joint origin has no xyz: " + joint);
  return span;
}

ValueSpan palm_joint_origin(const std::string& text, const std::string& joint) {
  const std::runtime_error invalid("Dynamic OpenXR palm joint is invalid: " + joint);
  const std::size_t start = find_joint(text, joint);
  if (start == std::string::npos) throw invalid;
  const std::size_t element_end = text.find("</joint>", start);
  const std::size_t origin = text.find("<origin", start);
  if (origin == std::string::npos || (element_end != std::string::npos && origin > element_end))
    throw invalid;
  // The attribute belongs to the origin element, not to a later <axis> or joint.
  const std::size_t origin_end = text.find("/>", origin);
  const std::size_t xyz = text.find("xyz=\"", origin);
  if (origin_end == std::string::npos || xyz == std::string::npos || xyz >= origin_end) throw invalid;
  ValueSpan span;
  span.begin = xyz + 5;
  span.end = text.find('"', span.begin);
  if (span.end == std::string::npos) throw invalid;
  return span;
}

bool apply_bone_lengths(std::string& text, const Config& config, const std::string& side) {
  bool edited = false;
  for (const FingerWord& finger : kFingers) {
    for (const BoneJoint& bone : kBones) {
      const bool thumb = std::string(finger.key) == "thumb";
      const std::string bone_name = bone.bone;
      if (thumb && bone_name == "intermediate") continue;
      const std::string key = std::string("hand.anthropometry.fingers.") + finger.key + "." + bone_name;
      if (!config.contains(key)) continue;
      const double length = config.number(key);
      const std::string suffix = (thumb && bone_name == "proximal") ? "ip_flexion" : bone.suffix;
      const std::string joint = side + "_" + finger.word + "_" + suffix;
      const ValueSpan span = bone_joint_origin(text, joint);
      const Vec3 origin = parse_vec3(text.substr(span.begin, span.end - span.begin));
      const double current = norm(origin);
      if (current <= 1e-12 || !(length > 0.0))
        throw std::runtime_error("Invalid dynamic OpenXR bone length: " + key);
      text.replace(span.begin, span.end - span.begin, format_vec3(scaled(origin, length / current)));
      edited = true;
    }
  }
  return edited;
}

void apply_palm_layout(std::string& text, const Config& config, const std::string& side) {
  const std::string frame_key = "hand.anthropometry.palm_layout.coordinate_frame";
  if (!config.contains(frame_key) || config.string(frame_key) != kPalmFrame) {
    throw std::runtime_error("Unsupported dynamic OpenXR palm coordinate frame");
  }
  const PalmLayoutTable& table = palm_layout_table(side);
  auto row_point = [&table](const std::string& landmark) {
    for (const PalmLayoutRow& row : table) {
      if (landmark == row.landmark) return row.landmark_point;
    }
    return Vec3{0.0, 0.0, 0.0};
  };
  const Vec3 e_mid = normalized_or_same(row_point("middle_mcp"));
  const Vec3 d = sub(row_point("first_mcp"), row_point("little_mcp"));
  const Vec3 e_idx = normalized_or_same(sub(d, scaled(e_mid, dot(d, e_mid))));
  const Vec3 normal = normalized_or_same(cross(e_idx, e_mid));

  for (const PalmLayoutRow& row : table) {
    const std::string key = std::string("hand.anthropometry.palm_layout.landmarks_m.") + row.landmark;
    const std::vector<double> uv = config.numbers(key);
    if (uv.size() != 2)
      throw std::runtime_error("Dynamic OpenXR palm landmark must contain two values: " + key);
    const Vec3& a = row.landmark_point;
    const Vec3& b = row.base_point;
    Vec3 base = a;
    if (std::string(row.finger) != "thumb") {
      const std::string metacarpal_key =
          std::string("hand.anthropometry.fingers.") + row.finger + ".metacarpal";
      const Vec3 ab = sub(a, b);
      double s = 1.0;
      if (config.contains(metacarpal_key)) s = config.number(metacarpal_key) / norm(ab);
      base = add(b, scaled(ab, s));
    }
    const double out_of_plane = dot(normal, a);
    const Vec3 landmark = add(add(scaled(e_idx, uv[0]), scaled(e_mid, uv[1])), scaled(normal, out_of_plane));
    const std::string joint = side + "_" + row.joint_suffix;
    const ValueSpan span = palm_joint_origin(text, joint);
    const Vec3 origin = parse_vec3(text.substr(span.begin, span.end - span.begin));
    text.replace(span.begin, span.end - span.begin, format_vec3(sub(add(origin, landmark), base)));
  }
}

void rewrite_mesh_paths(std::string& text, const std::filesystem::path& template_urdf,
                        const std::string& side) {
  const std::string from = "../meshes/" + side + "/";
  const std::string to = (template_urdf.parent_path().parent_path() / "meshes" / side).string() + "/";
  std::size_t pos = 0;
  while ((pos = text.find(from, pos)) != std::string::npos) {
    text.replace(pos, from.size(), to);
    pos += to.size();
  }
}

}  // namespace

std::filesystem::path dynamic_openxr_urdf(const std::filesystem::path& template_urdf, const Config& config,
                                          const std::string& side) {
  if (config.string("hand.type") != "dynamic_openxr_hand") return template_urdf;
  if (!config.contains("hand.anthropometry.enabled") || !config.boolean("hand.anthropometry.enabled")) {
    return template_urdf;
  }
  std::string text = read_text(template_urdf);
  const bool bones_edited = apply_bone_lengths(text, config, side);
  const std::string palm_key = "hand.anthropometry.palm_layout.enabled";
  const bool palm = config.contains(palm_key) && config.boolean(palm_key);
  if (palm) apply_palm_layout(text, config, side);
  if (!palm && !bones_edited) return template_urdf;

  rewrite_mesh_paths(text, template_urdf, side);

  const std::filesystem::path output =
      dynamic_openxr_cache_dir() / (dynamic_openxr_cache_stem(config) + "_" + side + ".urdf");
  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot open dynamic OpenXR URDF cache: " + output.string());
  out << text;
  out.flush();
  if (!out) throw std::runtime_error("cannot write dynamic OpenXR URDF cache: " + output.string());
  return output;
}

}  // namespace kelto::hand::detail
