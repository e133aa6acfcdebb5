// Value records through which the hand kinematic model hands out its results.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace kelto::hand {

// A dense matrix in row-major order: element (r, c) is data[r * cols + c].
struct DenseMatrix {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<double> data;
};

// Forward kinematics of one joint vector. Per-finger maps are keyed by finger name.
struct HandKinematicsState {
  std::array<double, 3> wrist_position{};  // world
  std::array<double, 9> wrist_rotation{};  // world, row-major
  std::map<std::string, std::array<double, 3>> tip_positions_wrist;
  std::map<std::string, std::array<double, 9>> tip_rotations_wrist;
  std::map<std::string, std::array<double, 3>> tip_positions_world;
  std::map<std::string, std::array<double, 9>> tip_rotations_world;
};

// Forward kinematics plus the fingertip Jacobians over the active joints (3 x active joints each).
struct HandKinematicsLinearization {
  std::array<double, 3> wrist_position{};
  std::array<double, 9> wrist_rotation{};
  std::map<std::string, std::array<double, 3>> tip_positions_wrist;
  std::map<std::string, std::array<double, 9>> tip_rotations_wrist;
  std::map<std::string, std::array<double, 3>> tip_positions_world;
  std::map<std::string, std::array<double, 9>> tip_rotations_world;
  std::map<std::string, DenseMatrix> tip_position_jacobians;  // rows in wrist-frame axes
  std::map<std::string, DenseMatrix> tip_angular_jacobians;   // rows in world axes
};

// One fingertip of a kinematics query answered in the model's finger order.
struct TipKinematics {
  std::array<double, 3> position_wrist{};
  std::array<double, 9> rotation_wrist{};  // row-major
  std::array<double, 3> position_world{};
  std::array<double, 9> rotation_world{};  // row-major
  DenseMatrix position_jacobian;  // 3 x active joints, rows in wrist-frame axes (linearized queries only)
  DenseMatrix angular_jacobian;   // 3 x active joints, rows in world axes (linearized queries only)
};

// The same results as HandKinematicsState and HandKinematicsLinearization with the fingertips indexed by
// the model's finger order. The model fills one in place, so that a caller querying again and again
// reuses its storage.
struct HandTipKinematics {
  std::array<double, 3> wrist_position{};
  std::array<double, 9> wrist_rotation{};
  std::vector<TipKinematics> tips;
};

// One skeleton node relative to the wrist.
struct SkeletonPose {
  std::string name;
  std::array<double, 3> position{};    // metres
  std::array<double, 4> quaternion{};  // x, y, z, w
};

}  // namespace kelto::hand
