// Cost of the hand model's queries on the bundled hand: forward kinematics, the linearisation that the
// solver calls on every iteration, skeleton poses, and building a model.
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "kinematics/pinocchio_hand_kinematics.hpp"

namespace {

using namespace kelto::hand;

Config bundled_config() {
  return Config::load(
      std::string(KELTO_SOURCE_DIR) + "/resources/hands/dynamic_openxr_hand/dynamic_openxr_hand_system.yaml",
      "", "right");
}

// A handful of joint vectors spread over the limits, so the queries do not see one vector only.
std::vector<std::vector<double>> sample_vectors(const PinocchioHandKinematics& model) {
  std::vector<std::vector<double>> out;
  for (int k = 0; k < 16; ++k) {
    std::vector<double> q(model.active_lower().size());
    for (std::size_t i = 0; i < q.size(); ++i) {
      const double lo = model.active_lower()[i], hi = model.active_upper()[i];
      q[i] = lo + (hi - lo) * (0.5 + 0.45 * std::sin(0.7 * k + 1.3 * static_cast<double>(i)));
    }
    out.push_back(std::move(q));
  }
  return out;
}

void BM_StateFromActive(benchmark::State& state) {
  PinocchioHandKinematics model(bundled_config(), "right");
  const auto samples = sample_vectors(model);
  std::size_t k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(model.state_from_active(samples[k]));
    k = (k + 1) % samples.size();
  }
}
BENCHMARK(BM_StateFromActive);

void BM_LinearizedStateFromActive(benchmark::State& state) {
  PinocchioHandKinematics model(bundled_config(), "right");
  const auto samples = sample_vectors(model);
  std::size_t k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(model.linearized_state_from_active(samples[k]));
    k = (k + 1) % samples.size();
  }
}
BENCHMARK(BM_LinearizedStateFromActive);

void BM_SkeletonPosesLocal(benchmark::State& state) {
  PinocchioHandKinematics model(bundled_config(), "right");
  const auto samples = sample_vectors(model);
  std::size_t k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(model.skeleton_poses_local(samples[k]));
    k = (k + 1) % samples.size();
  }
}
BENCHMARK(BM_SkeletonPosesLocal);

void BM_BuildModel(benchmark::State& state) {
  const Config config = bundled_config();
  for (auto _ : state) {
    PinocchioHandKinematics model(config, "right");
    benchmark::DoNotOptimize(model.active_joint_names().size());
  }
}
BENCHMARK(BM_BuildModel)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
