// Calibration samples files: the glove lines of a hand holding each calibration stage's pose, recorded
// per gesture under `gestures`, so that a calibration can be replayed without a glove.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "glove_simulator/glove_line_writer.hpp"
#include "glove_simulator/simulated_glove.hpp"

namespace kelto::hand::simulator {

// One stage of the hand's calibration profile as the samples file needs it.
struct SampleStage {
  std::string stage_id;
  std::string gesture_key;  // key under `gestures`
  std::string pose_name;    // pose of the pose library that the hand holds
  std::size_t sample_count = 0;
};

// Key under `gestures` for a stage id: "close" is recorded as "five_close", "fist" as "mcp90_pip90",
// every other stage under its own id.
std::string calibration_gesture_key(const std::string& stage_id);

// The stages of the calibration profile of the configured hand (every stage of the enhanced mode, in
// order), with the pose each one holds: its reference pose, else "pinch_<partner finger>", else the pose
// named like the stage. Throws the profile loader's errors, or std::runtime_error when two stages would
// share a gesture key.
std::vector<SampleStage> calibration_sample_stages(const Config& config,
                                                   const std::vector<std::string>& finger_order);

// The samples file text: for each stage, sample_count lines of the glove holding the stage's pose. A pose
// the hand's pose library lacks throws std::runtime_error naming the stage.
std::string calibration_samples_yaml(SimulatedGlove& glove, const std::vector<SampleStage>& stages,
                                     GloveLineFormat format);

// Writes the samples file for the glove's hand (creating missing parent directories); returns the
// number of lines written.
std::size_t write_calibration_samples(const std::filesystem::path& path, SimulatedGlove& glove,
                                      GloveLineFormat format);

}  // namespace kelto::hand::simulator
