#include "glove_simulator/calibration_samples.hpp"

#include <exception>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "calibration/calibration_profile.hpp"

namespace kelto::hand::simulator {
namespace {

// A YAML single-quoted scalar: quotes inside are doubled, nothing else is special.
std::string single_quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

}  // namespace

std::string calibration_gesture_key(const std::string& stage_id) {
  if (stage_id == "close") return "five_close";
  if (stage_id == "fist") return "mcp90_pip90";
  return stage_id;
}

std::vector<SampleStage> calibration_sample_stages(const Config& config,
                                                   const std::vector<std::string>& finger_order) {
  const CalibrationProfile profile = load_calibration_profile(config, finger_order);
  std::vector<SampleStage> stages;
  std::set<std::string> keys;
  for (const std::string& id : profile.stage_ids(true)) {
    const CalibrationStageProfile& stage = profile.stage(id);
    SampleStage sample;
    sample.stage_id = id;
    sample.gesture_key = calibration_gesture_key(id);
    if (stage.reference_pose) {
      sample.pose_name = *stage.reference_pose;
    } else if (stage.partner_finger) {
      sample.pose_name = "pinch_" + *stage.partner_finger;
    } else {
      sample.pose_name = id;
    }
    sample.sample_count = stage.sample_count;
    if (!keys.insert(sample.gesture_key).second) {
      throw std::runtime_error("two calibration stages are recorded as gesture " + sample.gesture_key);
    }
    stages.push_back(sample);
  }
  return stages;
}

std::string calibration_samples_yaml(SimulatedGlove& glove, const std::vector<SampleStage>& stages,
                                     GloveLineFormat format) {
  std::ostringstream out;
  out << "# Calibration samples recorded by kelto_glove_simulator (" << glove.side() << " glove, "
      << glove_line_format_name(format) << " lines): each gesture holds the glove lines of one held pose.\n"
      << "gestures:\n";
  for (const SampleStage& stage : stages) {
    std::vector<double> q;
    try {
      q = glove.kinematics().pose_active(stage.pose_name);
    } catch (const std::exception& error) {
      throw std::runtime_error("calibration stage " + stage.stage_id + " has no pose " + stage.pose_name +
                               " to hold: " + error.what());
    }
    out << "  " << single_quoted(stage.gesture_key) << ":\n";
    for (std::size_t i = 0; i < stage.sample_count; ++i) {
      out << "    - " << single_quoted(write_glove_line(glove.frame(q), glove.finger_order(), format))
          << "\n";
    }
  }
  return out.str();
}

std::size_t write_calibration_samples(const std::filesystem::path& path, SimulatedGlove& glove,
                                      GloveLineFormat format) {
  const std::vector<SampleStage> stages = calibration_sample_stages(glove.config(), glove.finger_order());
  const std::string text = calibration_samples_yaml(glove, stages, format);
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot open samples file: " + path.string());
  out << text;
  out.flush();
  if (!out) throw std::runtime_error("cannot write samples file: " + path.string());
  std::size_t lines = 0;
  for (const SampleStage& stage : stages) lines += stage.sample_count;
  return lines;
}

}  // namespace kelto::hand::simulator
