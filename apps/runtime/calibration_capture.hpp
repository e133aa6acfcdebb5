// Calibrate mode of kelto_hand_runtime: the held gestures of the calibration profile captured from one
// glove (or replayed from a samples file) into a calibrator, the fit, and the calibration overlay that a
// later run takes as its configuration.
#pragma once

#include <filesystem>
#include <string>

#include <yaml-cpp/yaml.h>

#include "config/config.hpp"
#include "runtime/glove_decoder.hpp"
#include "runtime/options.hpp"

namespace kelto::hand::runtime {

// Runs the whole calibration for the options' side and writes the overlay to `options.output`; the
// Enter presses that start each live stage are read from the descriptor `input` (a pipe, a terminal or
// a file). Every failure is an exception; an existing overlay is only ever replaced whole, by a complete
// new one.
void run_calibration(const Options& options, const Config& config, GloveDecoder& decoder, int input);

// The same, reading the Enter presses from standard input.
void run_calibration(const Options& options, const Config& config, GloveDecoder& decoder);

// The overlay entry of one side: deep copies of the calibrated tip mapping keys that `side_entry`
// defines (the fingertip offsets only when `include_tip_offsets` is set).
YAML::Node calibration_side_overlay(const YAML::Node& side_entry, bool include_tip_offsets);

namespace detail {

// Key under the samples file's `gestures` for a stage id.
std::string samples_gesture_key(const std::string& stage_id, const YAML::Node& gestures);

// Replaces `path` with `text` through a temporary file in the same directory and a rename, so that
// readers see either the old file or the complete new one, with the permission bits of the old one. A
// symbolic link is followed to its target, which is created when it does not exist yet. Throws
// std::runtime_error "cannot open calibration output: <path>" for a directory or a place that cannot be
// opened for writing, "cannot write calibration output: <path>" when writing fails later; the temporary
// file never outlives a failure.
void publish_file(const std::filesystem::path& path, const std::string& text);

}  // namespace detail

}  // namespace kelto::hand::runtime
