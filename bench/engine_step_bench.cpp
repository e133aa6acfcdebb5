// Time per kx_engine_step at the shipped configuration on a smooth moving glove sequence: one hand, and
// two hands stepped alternately through one engine as the program does in dual-hand mode. The heap
// allocations of the steps are counted too (every malloc call of this program, the libraries included).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "kelto_hand.h"
#include "kinematics/pinocchio_hand_kinematics.hpp"
#include "moving_hand.hpp"
#include "retargeting/tip_mapping_parameters.hpp"
#include "synthetic_glove/engine_input.hpp"
#include "synthetic_glove/synthetic_glove.hpp"

namespace {
std::atomic<std::int64_t> malloc_calls{0};
}  // namespace

// Counts every malloc call of the process (operator new of the standard library allocates through it)
// and hands the request to the C library's allocator. A sanitizer build keeps the sanitizers' allocator
// and counts nothing.
#if defined(KELTO_SANITIZE)
constexpr bool kCountsMallocCalls = false;
#else
constexpr bool kCountsMallocCalls = true;
extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* malloc(std::size_t size) {
  malloc_calls.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
#endif

namespace {

using namespace kelto::hand;

using bench::kFrames;

using bench::moving_pose;

// The glove frame records of one side over the moving sequence, made outside the timed loop.
std::vector<kx_engine_input> glove_sequence(const std::string& side) {
  const Config config = Config::load(bench::kBundledConfig, "", side);
  PinocchioHandKinematics model(config, side);
  synthetic::SyntheticGloveOptions options;
  options.side = side;
  synthetic::SyntheticGlove glove(TipMappingParameters::from_config(config, side), options);
  std::vector<kx_engine_input> inputs;
  for (int k = 0; k < kFrames; ++k) {
    const double t = k / 60.0;
    inputs.push_back(synthetic::engine_input(glove.frame_from_active(model, moving_pose(model, t), t),
                                             side == "left" ? KX_HAND_LEFT : KX_HAND_RIGHT, t, "bench"));
  }
  return inputs;
}

// Steps the engine over `sides` in turn (one frame of each side per round); reports per-hand-step time.
void run_steps(benchmark::State& state, const std::vector<std::string>& sides) {
  std::vector<std::vector<kx_engine_input>> sequences;
  for (const std::string& side : sides) sequences.push_back(glove_sequence(side));
  kx_engine* engine = bench::create_bundled_engine();
  std::vector<double> joints;
  kx_engine_output output = bench::joint_output(engine, joints);
  // One round of warm-up so that the counted steps are the steady state.
  for (const auto& sequence : sequences) kx_engine_step(engine, &sequence[0], &output);
  int k = 1;
  const std::int64_t allocations_before = malloc_calls.load(std::memory_order_relaxed);
  for (auto _ : state) {
    for (const auto& sequence : sequences) {
      if (kx_engine_step(engine, &sequence[k], &output) != KX_STATUS_OK) {
        state.SkipWithError(kx_last_error());
        break;
      }
    }
    benchmark::DoNotOptimize(joints.data());
    k = (k + 1) % kFrames;
  }
  const double allocations =
      static_cast<double>(malloc_calls.load(std::memory_order_relaxed) - allocations_before);
  kx_engine_destroy(engine);
  const double hand_steps = static_cast<double>(state.iterations() * static_cast<std::int64_t>(sides.size()));
  if (kCountsMallocCalls)
    state.counters["allocations_per_hand_step"] = benchmark::Counter(allocations / hand_steps);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(sides.size()));
  state.counters["us_per_hand_step"] =
      benchmark::Counter(static_cast<double>(state.iterations() * static_cast<std::int64_t>(sides.size())),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_EngineStepOneHand(benchmark::State& state) {
  run_steps(state, {"right"});
}
void BM_EngineStepTwoHands(benchmark::State& state) {
  run_steps(state, {"right", "left"});
}

BENCHMARK(BM_EngineStepOneHand)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_EngineStepTwoHands)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
