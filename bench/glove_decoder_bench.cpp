// Time per glove line: GloveDecoder::decode_line on the lines the glove simulator writes for the bundled
// right hand in smooth motion (both orientation forms, and the same lines read by the YAML library alone
// for comparison), and a line all the way to joint angles (decode, then kx_engine_step).
#include <benchmark/benchmark.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "glove_simulator/glove_line_writer.hpp"
#include "kelto_hand.h"
#include "kinematics/pinocchio_hand_kinematics.hpp"
#include "moving_hand.hpp"
#include "retargeting/tip_mapping_parameters.hpp"
#include "runtime/glove_decoder.hpp"
#include "synthetic_glove/synthetic_glove.hpp"

namespace {

using namespace kelto::hand;

using bench::kFrames;

// The glove lines of the right hand over the moving sequence, made outside the timed loop.
std::vector<std::string> glove_lines(simulator::GloveLineFormat format) {
  const Config config = Config::load(bench::kBundledConfig, "", "right");
  PinocchioHandKinematics model(config, "right");
  synthetic::SyntheticGloveOptions options;
  options.side = "right";
  synthetic::SyntheticGlove glove(TipMappingParameters::from_config(config, "right"), options);
  const std::vector<std::string> fingers = config.strings("retargeting.finger_order");
  std::vector<std::string> lines;
  for (int k = 0; k < kFrames; ++k) {
    const double t = k / 60.0;
    lines.push_back(simulator::write_glove_line(
        glove.frame_from_active(model, bench::moving_pose(model, t), t), fingers, format));
  }
  return lines;
}

// Decodes the lines in turn with `decode` (a member of GloveDecoder); reports the time per line.
template <typename Decode>
void run_decode(benchmark::State& state, simulator::GloveLineFormat format, Decode decode) {
  const std::vector<std::string> lines = glove_lines(format);
  const Config config = Config::load(bench::kBundledConfig, "", "right");
  runtime::GloveDecoder decoder(config, nullptr, KX_HAND_RIGHT, "bench");
  std::size_t k = 0;
  for (auto _ : state) {
    const std::optional<kx_engine_input> record = (decoder.*decode)(lines[k]);
    if (!record) {
      state.SkipWithError(decoder.last_error().c_str());
      break;
    }
    benchmark::DoNotOptimize(record->local_tips[0].position[0]);
    k = (k + 1) % lines.size();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_DecodeGloveLineRpy(benchmark::State& state) {
  run_decode(state, simulator::GloveLineFormat::rpy, &runtime::GloveDecoder::decode_line);
}
void BM_DecodeGloveLineQuaternion(benchmark::State& state) {
  run_decode(state, simulator::GloveLineFormat::quaternion, &runtime::GloveDecoder::decode_line);
}
void BM_DecodeGloveLineRpyYamlOnly(benchmark::State& state) {
  run_decode(state, simulator::GloveLineFormat::rpy, &runtime::GloveDecoder::decode_yaml_line);
}

// One glove line to joint angles, as the run loop does it: decode, then step the engine.
void BM_GloveLineToJoints(benchmark::State& state) {
  const std::vector<std::string> lines = glove_lines(simulator::GloveLineFormat::rpy);
  const Config config = Config::load(bench::kBundledConfig, "", "right");
  runtime::GloveDecoder decoder(config, nullptr, KX_HAND_RIGHT, "bench");
  kx_engine* engine = bench::create_bundled_engine();
  std::vector<double> joints;
  kx_engine_output output = bench::joint_output(engine, joints);
  std::size_t k = 0;
  for (auto _ : state) {
    const std::optional<kx_engine_input> record = decoder.decode_line(lines[k]);
    if (!record) {
      state.SkipWithError(decoder.last_error().c_str());
      break;
    }
    if (kx_engine_step(engine, &*record, &output) != KX_STATUS_OK) {
      state.SkipWithError(kx_last_error());
      break;
    }
    benchmark::DoNotOptimize(joints.data());
    k = (k + 1) % lines.size();
  }
  kx_engine_destroy(engine);
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_DecodeGloveLineRpy)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_DecodeGloveLineQuaternion)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_DecodeGloveLineRpyYamlOnly)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_GloveLineToJoints)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
