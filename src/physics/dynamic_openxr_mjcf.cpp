#include "physics/dynamic_openxr_mjcf.hpp"

#include <array>
#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "config/config.hpp"
#include "kinematics/model_cache.hpp"
#include "kinematics/palm_layout.hpp"
#include "kinematics/vec3.hpp"

namespace kelto::hand::detail {
namespace {

namespace fs = std::filesystem;

constexpr const char* kHandType = "dynamic_openxr_hand";
constexpr const char* kAnthropometry = "hand.anthropometry";

// Configuration finger key and the word that names the finger in MJCF body and geom names.
constexpr std::array<std::pair<const char*, const char*>, 5> kFingers{{
    {"thumb", "thumb"},
    {"first", "index"},
    {"middle", "middle"},
    {"ring", "ring"},
    {"little", "little"},
}};

// A bone, the body at its end (whose pos is the bone vector) and the geom spanning it.
struct Bone {
  const char* key;
  const char* child_body;
  const char* collision_geom;
};
constexpr std::array<Bone, 4> kBones{{
    {"metacarpal", "mcp_abduction_aux", "metacarpal_collision"},
    {"proximal", "intermediate", "proximal_collision"},
    {"intermediate", "distal", "intermediate_collision"},
    {"distal", "tip", "distal_collision"},
}};

// The MJCF body that carries each palm landmark, in the order of the palm layout table; the body moves
// where the URDF generator moves a joint.
constexpr std::array<std::pair<const char*, const char*>, 5> kPalmBodies{{
    {"thumb_cmc", "thumb_cmc_abduction_aux"},
    {"first_mcp", "index_metacarpal"},
    {"middle_mcp", "middle_metacarpal"},
    {"ring_mcp", "ring_metacarpal"},
    {"little_mcp", "little_cmc_opposition_aux"},
}};

// Bounds [first, last) of an attribute value inside the start tag of the first `<tag name="name"`.
std::pair<std::size_t, std::size_t> attribute_value(const std::string& xml, const std::string& tag,
                                                    const std::string& name, const std::string& attribute) {
  const std::string marker = "<" + tag + " name=\"" + name + "\"";
  const std::size_t element = xml.find(marker);
  if (element == std::string::npos) throw std::runtime_error("Dynamic OpenXR XML missing " + name);
  const std::size_t tag_end = xml.find('>', element);
  const std::string key = attribute + "=\"";
  const std::size_t at = xml.find(key, element);
  if (at == std::string::npos || (tag_end != std::string::npos && at > tag_end)) {
    throw std::runtime_error("Dynamic OpenXR XML missing attribute " + attribute);
  }
  const std::size_t first = at + key.size();
  std::size_t last = xml.find('"', first);
  if (last == std::string::npos) last = xml.size();
  return {first, last};
}

// N whitespace-separated numbers; one that does not read, and all after it, count as 0.
template <std::size_t N>
std::array<double, N> read_numbers(const std::string& text) {
  std::array<double, N> values{};
  std::istringstream in(text);
  for (double& value : values) {
    if (!(in >> value)) {
      value = 0.0;
      break;
    }
  }
  return values;
}

template <std::size_t N>
std::array<double, N> get_numbers(const std::string& xml, const std::string& tag, const std::string& name,
                                  const std::string& attribute) {
  const auto [first, last] = attribute_value(xml, tag, name, attribute);
  return read_numbers<N>(xml.substr(first, last - first));
}

// Numbers as the standard stream writes them by default (6 significant digits), one blank apart.
template <std::size_t N>
std::string format_numbers(const std::array<double, N>& values) {
  std::ostringstream out;
  for (std::size_t i = 0; i < N; ++i) {
    if (i > 0) out << ' ';
    out << values[i];
  }
  return out.str();
}

// Makes the `file` of every <skin> element absolute against the template's directory.
void absolutize_skin_files(std::string& xml, const fs::path& template_dir) {
  const std::string open = "<skin";
  const std::string key = "file=\"";
  std::size_t pos = 0;
  while ((pos = xml.find(open, pos)) != std::string::npos) {
    const std::size_t tag_end = xml.find('>', pos);
    if (tag_end == std::string::npos) return;
    const std::size_t at = xml.find(key, pos);
    if (at == std::string::npos || at > tag_end) {
      pos = tag_end + 1;
      continue;
    }
    const std::size_t first = at + key.size();
    std::size_t last = xml.find('"', first);
    if (last == std::string::npos) last = xml.size();
    const fs::path value = xml.substr(first, last - first);
    if (value.has_root_directory()) {
      pos = last;  // past the value; the closing quote (or the end of the text) comes next
      continue;
    }
    const std::string absolute = (template_dir / value).lexically_normal().string();
    xml.replace(first, last - first, absolute);
    pos = first + absolute.size();
  }
}

std::string mjcf_name(const std::string& side, const std::string& finger_word, const std::string& suffix) {
  return side + "_" + finger_word + "_" + suffix;
}

bool scale_bones(std::string& xml, const Config& config, const std::string& side) {
  bool changed = false;
  for (const auto& [finger, word] : kFingers) {
    const bool thumb = std::string(finger) == "thumb";
    for (const Bone& bone : kBones) {
      const std::string bone_key = bone.key;
      if (thumb && bone_key == "intermediate") continue;
      const std::string key = std::string(kAnthropometry) + ".fingers." + finger + "." + bone_key;
      if (!config.contains(key)) continue;
      const double length = config.number(key);
      const std::string body =
          mjcf_name(side, word, thumb && bone_key == "proximal" ? "distal" : bone.child_body);
      const std::string geom = mjcf_name(side, word, bone.collision_geom);
      const Vec3 pos = get_numbers<3>(xml, "body", body, "pos");
      const double n = norm(pos);
      if (!(n > 1e-12)) throw std::runtime_error("Dynamic OpenXR XML has zero bone vector: " + body);
      const double s = length / n;
      set_xml_attribute(xml, "body", body, "pos", format_numbers(scaled(pos, s)));
      std::array<double, 6> fromto = get_numbers<6>(xml, "geom", geom, "fromto");
      for (double& value : fromto) value *= s;
      set_xml_attribute(xml, "geom", geom, "fromto", format_numbers(fromto));
      changed = true;
    }
  }
  return changed;
}

const PalmLayoutRow& palm_row(const PalmLayoutTable& rows, const std::string& landmark) {
  for (const PalmLayoutRow& row : rows) {
    if (landmark == row.landmark) return row;
  }
  throw std::logic_error("palm layout table lacks " + landmark);
}

const char* palm_body(const std::string& landmark) {
  for (const auto& [name, body] : kPalmBodies) {
    if (landmark == name) return body;
  }
  throw std::logic_error("no MJCF body carries the palm landmark " + landmark);
}

bool move_palm(std::string& xml, const Config& config, const std::string& side) {
  const std::string enabled = std::string(kAnthropometry) + ".palm_layout.enabled";
  if (!config.contains(enabled) || !config.boolean(enabled)) return false;
  const PalmLayoutTable& rows = palm_layout_table(side);
  const Vec3 e_mid = normalized(palm_row(rows, "middle_mcp").landmark_point);
  const Vec3 d = sub(palm_row(rows, "first_mcp").landmark_point, palm_row(rows, "little_mcp").landmark_point);
  const Vec3 e_idx = normalized(sub(d, scaled(e_mid, dot(d, e_mid))));
  const Vec3 n = cross(e_idx, e_mid);
  for (const PalmLayoutRow& row : rows) {
    const std::vector<double> uv =
        config.numbers(std::string(kAnthropometry) + ".palm_layout.landmarks_m." + row.landmark);
    if (uv.size() != 2) throw std::runtime_error("Dynamic OpenXR palm landmark must contain two values");
    const Vec3& a = row.landmark_point;
    Vec3 base = a;
    const std::string metacarpal = std::string(kAnthropometry) + ".fingers." + row.finger + ".metacarpal";
    if (std::string(row.finger) != "thumb" && config.contains(metacarpal)) {
      const Vec3 along = sub(a, row.base_point);
      base = add(row.base_point, scaled(along, config.number(metacarpal) / norm(along)));
    }
    const Vec3 landmark = add(add(scaled(e_idx, uv[0]), scaled(e_mid, uv[1])), scaled(n, dot(n, a)));
    const std::string body = side + "_" + palm_body(row.landmark);
    const Vec3 pos = get_numbers<3>(xml, "body", body, "pos");
    set_xml_attribute(xml, "body", body, "pos", format_numbers(add(pos, sub(landmark, base))));
  }
  return true;  // the palm layout counts as a change even when it reproduces the template
}

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

void set_xml_attribute(std::string& xml, const std::string& tag, const std::string& name,
                       const std::string& attribute, const std::string& value) {
  const auto [first, last] = attribute_value(xml, tag, name, attribute);
  xml.replace(first, last - first, value);
}

std::optional<std::string> personalised_openxr_mjcf(const fs::path& model, const Config& config,
                                                    const std::string& side) {
  if (config.string("hand.type") != kHandType) return std::nullopt;
  const std::string enabled = std::string(kAnthropometry) + ".enabled";
  if (!config.contains(enabled) || !config.boolean(enabled)) return std::nullopt;

  std::string xml = read_text(model);
  absolutize_skin_files(xml, fs::absolute(model).parent_path());
  bool changed = scale_bones(xml, config, side);
  changed = move_palm(xml, config, side) || changed;
  if (!changed) return std::nullopt;
  return xml;
}

void publish_mjcf_cache_file(const fs::path& output, const std::string& text) {
  const auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::steady_clock::now().time_since_epoch())
                         .count();
  fs::path temporary = output;
  temporary += ".tmp-" + std::to_string(ticks);

  std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot open MuJoCo cache temporary file: " + temporary.string());
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.flush();
  if (!out) {
    out.close();
    std::error_code ignored;
    fs::remove(temporary, ignored);
    throw std::runtime_error("cannot write MuJoCo cache temporary file: " + temporary.string());
  }
  out.close();
  if (!out) {  // closing can still report a failed write
    std::error_code ignored;
    fs::remove(temporary, ignored);
    throw std::runtime_error("cannot write MuJoCo cache temporary file: " + temporary.string());
  }

  std::error_code error;
  fs::rename(temporary, output, error);
  if (error) {
    std::error_code ignored;
    fs::remove(output, ignored);
    error.clear();
    fs::rename(temporary, output, error);
    if (error) {
      fs::remove(temporary, ignored);
      throw std::runtime_error("cannot publish MuJoCo cache file: " + output.string());
    }
  }
}

fs::path dynamic_openxr_model(const fs::path& model, const Config& config, const std::string& side) {
  const std::optional<std::string> xml = personalised_openxr_mjcf(model, config, side);
  if (!xml) return model;
  const fs::path output =
      dynamic_openxr_cache_dir() / (dynamic_openxr_cache_stem(config) + "_" + side + ".xml");
  publish_mjcf_cache_file(output, *xml);
  return output;
}

}  // namespace kelto::hand::detail
