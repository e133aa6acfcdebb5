#include "kinematics/pinocchio_hand_kinematics.hpp"

#include <pinocchio/algorithm/frames.hpp>
#include <pinocchio/algorithm/jacobian.hpp>
#include <pinocchio/algorithm/kinematics.hpp>
#include <pinocchio/multibody/data.hpp>
#include <pinocchio/multibody/model.hpp>
#include <pinocchio/parsers/urdf.hpp>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <stdexcept>
#include <utility>

#include "config/config.hpp"
#include "kinematics/dynamic_openxr_urdf.hpp"
#include "kinematics/frame_math.hpp"
#include "kinematics/hand_metadata.hpp"

namespace kelto::hand {

namespace {

using Vec3 = std::array<double, 3>;
using Rot9 = std::array<double, 9>;
using RowMatrix3 = Eigen::Matrix<double, 3, 3, Eigen::RowMajor>;

struct Axis {
  int index = 0;
  double sign = 1.0;
};

Axis parse_axis(const std::string& text) {
  if (text.empty()) throw std::runtime_error("fingertip axis must not be empty");
  Axis axis;
  std::string rest = text;
  if (rest[0] == '+' || rest[0] == '-') {
    axis.sign = rest[0] == '-' ? -1.0 : 1.0;
    rest = rest.substr(1);
  }
  if (rest == "x") {
    axis.index = 0;
  } else if (rest == "y") {
    axis.index = 1;
  } else if (rest == "z") {
    axis.index = 2;
  } else {
    throw std::runtime_error("fingertip axis must be +x/-x/+y/-y/+z/-z");
  }
  return axis;
}

std::string side_aware_name(std::string name, const std::string& fallback, const std::string& side) {
  if (name.empty()) name = fallback;
  auto starts = [&name](const char* prefix) { return name.rfind(prefix, 0) == 0; };
  if (side == "left") {
    if (starts("right_")) return "left_" + name.substr(6);
    if (starts("r_")) return "l_" + name.substr(2);
  } else if (side == "right") {
    if (starts("left_")) return "right_" + name.substr(5);
    if (starts("l_")) return "r_" + name.substr(2);
  }
  return name;
}

Vec3 vec3_or_zero(const Config& config, const std::string& key) {
  if (!config.contains(key)) return {0.0, 0.0, 0.0};
  const std::vector<double> values = config.numbers(key);
  if (values.size() != 3) throw std::runtime_error("Expected a 3D vector at: " + key);
  return {values[0], values[1], values[2]};
}

Rot9 to_row_major(const Eigen::Matrix3d& m) {
  Rot9 r;
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 3; ++col) r[static_cast<std::size_t>(3 * row + col)] = m(row, col);
  }
  return r;
}

Vec3 to_array(const Eigen::Vector3d& v) {
  return {v[0], v[1], v[2]};
}

// Unit quaternion (x, y, z, w) of a rotation matrix.
std::array<double, 4> quaternion_xyzw(const Eigen::Matrix3d& r) {
  std::array<double, 4> q{};
  const double t = r(0, 0) + r(1, 1) + r(2, 2);
  if (t > 0.0) {
    const double s = std::sqrt(t + 1.0);
    const double f = 0.5 / s;
    q[3] = 0.5 * s;
    q[0] = (r(2, 1) - r(1, 2)) * f;
    q[1] = (r(0, 2) - r(2, 0)) * f;
    q[2] = (r(1, 0) - r(0, 1)) * f;
    return q;
  }
  int i = 0;
  if (r(1, 1) > r(0, 0)) i = 1;
  if (r(2, 2) > r(i, i)) i = 2;
  const int j = (i + 1) % 3;
  const int k = (j + 1) % 3;
  const double s = std::sqrt(r(i, i) - r(j, j) - r(k, k) + 1.0);
  const double f = 0.5 / s;
  q[static_cast<std::size_t>(i)] = 0.5 * s;
  q[3] = (r(k, j) - r(j, k)) * f;
  q[static_cast<std::size_t>(j)] = (r(j, i) + r(i, j)) * f;
  q[static_cast<std::size_t>(k)] = (r(k, i) + r(i, k)) * f;
  return q;
}

bool is_scalar_joint(const pinocchio::Model::JointModel& joint) {
  static const char* const kScalarKinds[] = {
      "JointModelRX", "JointModelRY", "JointModelRZ", "JointModelRevoluteUnaligned",
      "JointModelPX", "JointModelPY", "JointModelPZ", "JointModelPrismaticUnaligned",
      "JointModelHX", "JointModelHY", "JointModelHZ", "JointModelHelicalUnaligned"};
  const std::string kind = joint.shortname();
  for (const char* scalar : kScalarKinds) {
    if (kind == scalar) return true;
  }
  return kind == "JointModelComposite" && joint.nq() == 1 && joint.nv() == 1;
}

const std::array<const char*, 4> kSkeletonFingers = {"index", "middle", "ring", "little"};
const std::array<const char*, 5> kSkeletonBones = {"metacarpal", "proximal", "intermediate", "distal", "tip"};

}  // namespace

struct PinocchioHandKinematics::Impl {
  detail::HandJointMetadata meta;
  std::vector<std::int32_t> q_index;  // Pinocchio configuration index per metadata joint; -1 when fixed
  std::vector<std::int32_t> v_index;  // Pinocchio velocity index per metadata joint; -1 when fixed
  std::vector<std::string> skeleton_node_names;
  std::vector<std::size_t> skeleton_frame_ids;
  std::vector<double> rest_full;
  std::vector<double> current_full;
  std::vector<double> rest_active;
  std::vector<double> current_active;
  Eigen::MatrixXd selection;  // nv x active joints
  pinocchio::Model model;
  std::unique_ptr<pinocchio::Data> data;
  std::size_t wrist_frame_id = 0;
  std::map<std::string, std::size_t> tip_frame_ids;
  std::map<std::string, Eigen::Matrix3d> tip_axis_rotations;
  std::vector<std::size_t> fixed_indices;     // metadata joints held at 0
  std::vector<std::size_t> finger_frame_ids;  // per finger of the finger order
  std::vector<Eigen::Matrix3d> finger_axes;   // per finger of the finger order

  // Scratch reused by every query.
  std::vector<double> full_scratch;
  std::vector<double> next_full, next_projected;  // apply_active's results before they become current
  Eigen::VectorXd q_pin;
  Eigen::MatrixXd effective_selection;
  Eigen::RowVectorXd coupling_row;  // one row of effective_selection as a coupling pass rewrites it
  // The non-zero entries of effective_selection, column by column: (velocity index, active column, factor).
  struct SelectionEntry {
    Eigen::Index v;
    Eigen::Index k;
    double factor;
  };
  std::vector<SelectionEntry> selection_entries;
  pinocchio::Data::Matrix6x frame_jacobian;
  Eigen::MatrixXd reduced_jacobian;  // 6 x active joints
  HandTipKinematics tips_scratch;
  // The configuration whose joint placements data holds, and whether its joint Jacobians are there too.
  Eigen::VectorXd placed_q;
  bool placed = false;
  bool placed_jacobians = false;

  Impl(const Config& config, std::string side_word);

  bool frame_exists(const std::string& name) const { return model.existFrame(name); }
  std::size_t checked_frame_id(const std::string& name) const;
  void add_operational_frames(const Config& config, const Config& metadata);
  void setup_tip_axes(const Config& config);
  void setup_skeleton();
  void build_pinocchio_joint_mapping();
  void run_kinematics(const std::vector<double>& q_active, bool with_jacobians);
  bool placed_at(const Eigen::VectorXd& q) const;
  void fold_couplings(const std::vector<double>& full);
  void fill_tips(HandTipKinematics& out) const;
  void fill_tip_jacobians(HandTipKinematics& out);

  template <typename State>
  void fill_state(State& state, const HandTipKinematics& tips) const;
};

PinocchioHandKinematics::Impl::Impl(const Config& config, std::string side_word) {
  if (side_word != "left" && side_word != "right") {
    throw std::runtime_error("Pinocchio hand side must be left or right");
  }
  meta = detail::load_hand_metadata(config, side_word);
  meta.paths.urdf = detail::dynamic_openxr_urdf(meta.paths.urdf, config, meta.side);

  pinocchio::urdf::details::UrdfVisitor<double, 0, pinocchio::JointCollectionDefaultTpl> visitor(model);
  pinocchio::urdf::details::parseRootTree(meta.paths.urdf.string(), visitor, false);

  add_operational_frames(config, *meta.metadata);
  data = std::make_unique<pinocchio::Data>(model);
  wrist_frame_id = checked_frame_id("wrist");
  setup_tip_axes(config);
  if (meta.hand_type == "dynamic_openxr_hand") setup_skeleton();
  build_pinocchio_joint_mapping();

  rest_full = detail::project_passive(
      meta, detail::load_pose(meta.paths.pose_library, detail::rest_pose_name(config), meta.pose_joint_specs,
                              meta.joint_names, meta.lower, meta.upper));
  current_full = rest_full;
  rest_active = detail::select_active(meta, rest_full);
  current_active = rest_active;

  fixed_indices = detail::fixed_joint_indices(meta);
  for (const std::string& finger : meta.finger_order) {
    finger_frame_ids.push_back(tip_frame_ids.at(finger));
    finger_axes.push_back(tip_axis_rotations.at(finger));
  }
  q_pin = Eigen::VectorXd::Zero(model.nq);
  effective_selection = selection;
  frame_jacobian = pinocchio::Data::Matrix6x::Zero(6, model.nv);
  reduced_jacobian = Eigen::MatrixXd::Zero(6, static_cast<Eigen::Index>(meta.active_indices.size()));
}

std::size_t PinocchioHandKinematics::Impl::checked_frame_id(const std::string& name) const {
  for (std::size_t i = model.frames.size(); i-- > 0;) {
    if (model.frames[i].name == name) return i;
  }
  throw std::runtime_error("URDF frame was not found: " + name);
}

void PinocchioHandKinematics::Impl::add_operational_frames(const Config& config, const Config& metadata) {
  const std::string& side = meta.side;
  const std::string side_link_key = "hand.wrist_link_" + side + "_hand";
  const std::string wrist_meta_key = side + ".wrist_frame_name";
  const bool has_meta_wrist = metadata.contains(wrist_meta_key);
  if (!config.contains(side_link_key) && !config.contains("hand.wrist_link") && !has_meta_wrist) {
    throw std::runtime_error("Generic Pinocchio hand requires a wrist link: " + meta.hand_type);
  }
  std::string configured;
  if (config.contains(side_link_key)) {
    configured = config.string(side_link_key);
  } else if (config.contains("hand.wrist_link")) {
    configured = config.string("hand.wrist_link");
  }
  std::string wrist_parent = side_aware_name(configured, configured, side);
  if (!frame_exists(wrist_parent)) {
    std::string candidate = wrist_parent;
    bool found = false;
    if (has_meta_wrist) {
      const std::string value = metadata.string(wrist_meta_key);
      candidate = side_aware_name(value, value, side);
      found = frame_exists(candidate);
    }
    if (!found) {
      for (const std::string& fallback :
           {side + "_base_link", std::string("hand_base_link"), std::string("base_link"), side + "_wrist",
            std::string("wrist_link")}) {
        if (frame_exists(fallback)) {
          candidate = fallback;
          found = true;
          break;
        }
      }
    }
    wrist_parent = candidate;  // a missing one fails in checked_frame_id below
  }
  {
    const std::size_t parent_id = checked_frame_id(wrist_parent);  // before the offset is read
    const Vec3 wrist_offset = vec3_or_zero(config, "hand.wrist_offset");
    const pinocchio::Frame& parent = model.frames[parent_id];
    const pinocchio::SE3 offset(Eigen::Matrix3d::Identity(),
                                Eigen::Vector3d(wrist_offset[0], wrist_offset[1], wrist_offset[2]));
    model.addFrame(pinocchio::Frame("wrist", parent.parentJoint, parent_id, parent.placement * offset,
                                    pinocchio::OP_FRAME));
  }

  for (const std::string& finger : meta.finger_order) {
    const std::string prefix = "hand.fingers." + finger + ".";
    const std::string meta_key = side + ".fingertip_frame_names." + finger;
    std::string link;
    if (config.contains(prefix + "fingertip_link_" + side + "_hand")) {
      link = config.string(prefix + "fingertip_link_" + side + "_hand");
    } else if (config.contains(prefix + "fingertip_link")) {
      link = config.string(prefix + "fingertip_link");
    } else if (metadata.contains(meta_key)) {
      link = metadata.string(meta_key);
    } else {
      throw std::runtime_error("Generic Pinocchio hand requires a fingertip link for: " + finger);
    }
    std::string candidate = side_aware_name(link, link, side);
    if (!frame_exists(candidate) && metadata.contains(meta_key)) {
      const std::string value = metadata.string(meta_key);
      candidate = side_aware_name(value, value, side);
    }
    const std::size_t parent_id = checked_frame_id(candidate);
    const std::string offset_key = config.contains(prefix + "tip_offset_" + side)
                                       ? prefix + "tip_offset_" + side
                                       : prefix + "tip_offset";
    const Vec3 tip_offset = vec3_or_zero(config, offset_key);
    const std::string frame_name =
        config.contains(prefix + "fingertip_frame") ? config.string(prefix + "fingertip_frame") : finger;
    const pinocchio::Frame& parent = model.frames[parent_id];
    const pinocchio::SE3 offset(Eigen::Matrix3d::Identity(),
                                Eigen::Vector3d(tip_offset[0], tip_offset[1], tip_offset[2]));
    model.addFrame(pinocchio::Frame(frame_name, parent.parentJoint, parent_id, parent.placement * offset,
                                    pinocchio::OP_FRAME));
  }
}

void PinocchioHandKinematics::Impl::setup_tip_axes(const Config& config) {
  const std::string& side = meta.side;
  for (const std::string& finger : meta.finger_order) {
    const std::string prefix = "hand.fingers." + finger + ".";
    const std::string frame_name =
        config.contains(prefix + "fingertip_frame") ? config.string(prefix + "fingertip_frame") : finger;
    tip_frame_ids[finger] = checked_frame_id(frame_name);
    auto axis_text = [&](const std::string& name, const char* fallback) {
      if (config.contains(prefix + name + "_" + side)) return config.string(prefix + name + "_" + side);
      if (config.contains(prefix + name)) return config.string(prefix + name);
      return std::string(fallback);
    };
    const Axis direction = parse_axis(axis_text("fingertip_direction_axis", "+z"));
    const Axis pad = parse_axis(axis_text("fingertip_pad_axis", "+x"));
    if (direction.index == pad.index)
      throw std::runtime_error("fingertip direction and pad axes must differ");
    Vec3 x_hint{0.0, 0.0, 0.0};
    Vec3 z_hint{0.0, 0.0, 0.0};
    x_hint[static_cast<std::size_t>(direction.index)] = direction.sign;
    z_hint[static_cast<std::size_t>(pad.index)] = -pad.sign;
    const Rot9 r = build_rotation_from_xz(x_hint, z_hint);
    Eigen::Matrix3d m;
    m << r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8];
    tip_axis_rotations[finger] = m;
  }
}

void PinocchioHandKinematics::Impl::setup_skeleton() {
  skeleton_node_names = {"wrist", "thumb_metacarpal", "thumb_proximal", "thumb_distal", "thumb_tip"};
  for (const char* finger : kSkeletonFingers) {
    for (const char* bone : kSkeletonBones) skeleton_node_names.push_back(std::string(finger) + "_" + bone);
  }
  for (const std::string& node : skeleton_node_names) {
    skeleton_frame_ids.push_back(node == "wrist" ? checked_frame_id("wrist")
                                                 : checked_frame_id(meta.side + "_" + node));
  }
}

void PinocchioHandKinematics::Impl::build_pinocchio_joint_mapping() {
  q_index.assign(meta.joint_names.size(), -1);
  v_index.assign(meta.joint_names.size(), -1);
  for (std::size_t i = 0; i < meta.joint_names.size(); ++i) {
    const std::string& name = meta.joint_names[i];
    if (meta.fixed_joint_names.count(name) > 0) continue;
    if (!model.existJointName(name)) throw std::runtime_error("URDF joint was not found: " + name);
    const pinocchio::JointIndex id = model.getJointId(name);
    const pinocchio::Model::JointModel& joint = model.joints[id];
    if (!is_scalar_joint(joint))
      throw std::runtime_error("Only scalar Pinocchio joints are supported: " + name);
    q_index[i] = static_cast<std::int32_t>(joint.idx_q());
    v_index[i] = static_cast<std::int32_t>(joint.idx_v());
  }
  selection = Eigen::MatrixXd::Zero(model.nv, static_cast<Eigen::Index>(meta.active_indices.size()));
  for (std::size_t k = 0; k < meta.active_indices.size(); ++k) {
    const std::int32_t v = v_index[meta.active_indices[k]];
    if (v >= 0) selection(v, static_cast<Eigen::Index>(k)) = 1.0;
  }
}

void PinocchioHandKinematics::Impl::fold_couplings(const std::vector<double>& full) {
  effective_selection = selection;
  const std::size_t passes = meta.couplings.size();
  coupling_row.resize(effective_selection.cols());
  // A pass depends on the rows alone: once one changes nothing, the passes after it change nothing either.
  bool changed = true;
  for (std::size_t pass = 0; pass < passes && changed; ++pass) {
    changed = false;
    for (const detail::PassiveCoupling& c : meta.couplings) {
      const std::int32_t child_v = v_index[c.child];
      if (child_v < 0) continue;  // a fixed child has no velocity coordinate
      const std::int32_t driver_v = v_index[c.driver];
      const double x = c.input_scale * full[c.driver];
      const double value = c.output_scale * detail::coupling_polynomial(c, x);
      double factor = 0.0;
      if (!(value < meta.lower[c.child] || value > meta.upper[c.child])) {
        factor = c.input_scale * detail::coupling_polynomial_slope(c, x) * c.output_scale;
      }
      if (driver_v < 0) {
        coupling_row.setZero();  // a fixed driver never moves
      } else {
        coupling_row = factor * effective_selection.row(driver_v);
      }
      if (!(coupling_row.array() == effective_selection.row(child_v).array()).all()) {
        effective_selection.row(child_v) = coupling_row;
        changed = true;
      }
    }
  }
  selection_entries.clear();
  for (Eigen::Index k = 0; k < effective_selection.cols(); ++k) {
    for (Eigen::Index v = 0; v < effective_selection.rows(); ++v) {
      const double factor = effective_selection(v, k);
      if (factor != 0.0) selection_entries.push_back({v, k, factor});
    }
  }
}

// Forward kinematics of the expanded vector (in full_scratch), with the joint Jacobians when asked; only
// the wrist and fingertip frames are placed. Pinocchio's data keeps the placements of the configuration
// last computed, so a query at that same configuration (the step accepted after its candidate was
// evaluated, or a skeleton at the state just computed) skips the forward pass; the joint Jacobians from
// those placements are the ones the combined pass computes.
void PinocchioHandKinematics::Impl::run_kinematics(const std::vector<double>& q_active, bool with_jacobians) {
  detail::expand_into(meta, fixed_indices, rest_full, q_active, full_scratch);
  q_pin.setZero();
  for (std::size_t i = 0; i < full_scratch.size(); ++i) {
    if (q_index[i] >= 0) q_pin[q_index[i]] = full_scratch[i];
  }
  if (!placed_at(q_pin)) {
    placed = false;
    if (with_jacobians) {
      pinocchio::computeJointJacobians(model, *data, q_pin);  // includes the forward kinematics pass
    } else {
      pinocchio::forwardKinematics(model, *data, q_pin);
    }
    placed_q = q_pin;
    placed = true;
    placed_jacobians = with_jacobians;
  } else if (with_jacobians && !placed_jacobians) {
    pinocchio::computeJointJacobians(model, *data);
    placed_jacobians = true;
  }
  pinocchio::updateFramePlacement(model, *data, wrist_frame_id);
  for (std::size_t id : finger_frame_ids) pinocchio::updateFramePlacement(model, *data, id);
  if (with_jacobians) fold_couplings(full_scratch);
}

// Whether data holds the joint placements of exactly (bit for bit) this configuration.
bool PinocchioHandKinematics::Impl::placed_at(const Eigen::VectorXd& q) const {
  return placed && placed_q.size() == q.size() &&
         std::memcmp(placed_q.data(), q.data(), static_cast<std::size_t>(q.size()) * sizeof(double)) == 0;
}

void PinocchioHandKinematics::Impl::fill_tips(HandTipKinematics& out) const {
  const pinocchio::SE3& wrist = data->oMf[wrist_frame_id];
  out.wrist_position = to_array(wrist.translation());
  out.wrist_rotation = to_row_major(wrist.rotation());
  const Eigen::Matrix3d wrist_t = wrist.rotation().transpose();
  out.tips.resize(finger_frame_ids.size());
  for (std::size_t f = 0; f < finger_frame_ids.size(); ++f) {
    const pinocchio::SE3& tip = data->oMf[finger_frame_ids[f]];
    const Eigen::Matrix3d world_rotation = tip.rotation() * finger_axes[f];
    TipKinematics& t = out.tips[f];
    t.position_world = to_array(tip.translation());
    t.rotation_world = to_row_major(world_rotation);
    t.position_wrist = to_array(wrist_t * (tip.translation() - wrist.translation()));
    t.rotation_wrist = to_row_major(wrist_t * world_rotation);
  }
}

// Fingertip Jacobians over the active joints: the frame Jacobian's columns gathered through the
// (coupling-folded) selection, which has only a few non-zero entries per column.
void PinocchioHandKinematics::Impl::fill_tip_jacobians(HandTipKinematics& out) {
  const Eigen::Matrix3d wrist_t = data->oMf[wrist_frame_id].rotation().transpose();
  const std::size_t n = meta.active_indices.size();
  for (std::size_t f = 0; f < finger_frame_ids.size(); ++f) {
    frame_jacobian.setZero();
    pinocchio::getFrameJacobian(model, *data, finger_frame_ids[f], pinocchio::LOCAL_WORLD_ALIGNED,
                                frame_jacobian);
    reduced_jacobian.setZero();
    for (const SelectionEntry& e : selection_entries) {
      reduced_jacobian.col(e.k) += e.factor * frame_jacobian.col(e.v);
    }
    TipKinematics& t = out.tips[f];
    t.position_jacobian.rows = 3;
    t.position_jacobian.cols = n;
    t.position_jacobian.data.resize(3 * n);
    t.angular_jacobian.rows = 3;
    t.angular_jacobian.cols = n;
    t.angular_jacobian.data.resize(3 * n);
    for (std::size_t c = 0; c < n; ++c) {
      const Eigen::Index k = static_cast<Eigen::Index>(c);
      const Eigen::Vector3d linear = wrist_t * reduced_jacobian.block<3, 1>(0, k);
      for (int r = 0; r < 3; ++r) {
        t.position_jacobian.data[static_cast<std::size_t>(r) * n + c] = linear[r];
        t.angular_jacobian.data[static_cast<std::size_t>(r) * n + c] = reduced_jacobian(3 + r, k);
      }
    }
  }
}

template <typename State>
void PinocchioHandKinematics::Impl::fill_state(State& state, const HandTipKinematics& tips) const {
  state.wrist_position = tips.wrist_position;
  state.wrist_rotation = tips.wrist_rotation;
  for (std::size_t f = 0; f < meta.finger_order.size(); ++f) {
    const std::string& finger = meta.finger_order[f];
    const TipKinematics& t = tips.tips[f];
    state.tip_positions_world[finger] = t.position_world;
    state.tip_rotations_world[finger] = t.rotation_world;
    state.tip_positions_wrist[finger] = t.position_wrist;
    state.tip_rotations_wrist[finger] = t.rotation_wrist;
  }
}

PinocchioHandKinematics::PinocchioHandKinematics(const Config& config, std::string side)
    : impl_(std::make_unique<Impl>(config, std::move(side))) {}

PinocchioHandKinematics::~PinocchioHandKinematics() = default;
PinocchioHandKinematics::PinocchioHandKinematics(PinocchioHandKinematics&&) noexcept = default;
PinocchioHandKinematics& PinocchioHandKinematics::operator=(PinocchioHandKinematics&&) noexcept = default;

const std::vector<std::string>& PinocchioHandKinematics::joint_names() const {
  return impl_->meta.joint_names;
}

const std::vector<std::string>& PinocchioHandKinematics::active_joint_names() const {
  return impl_->meta.active_joint_names;
}

const std::vector<double>& PinocchioHandKinematics::active_lower() const {
  return impl_->meta.active_lower;
}
const std::vector<double>& PinocchioHandKinematics::active_upper() const {
  return impl_->meta.active_upper;
}
const std::vector<double>& PinocchioHandKinematics::q_rest_active() const {
  return impl_->rest_active;
}
const std::vector<double>& PinocchioHandKinematics::q_current_active() const {
  return impl_->current_active;
}

std::vector<double> PinocchioHandKinematics::pose_active(const std::string& pose_name) const {
  const detail::HandJointMetadata& meta = impl_->meta;
  return detail::select_active(
      meta, detail::project_passive(
                meta, detail::load_pose(meta.paths.pose_library, pose_name, meta.pose_joint_specs,
                                        meta.joint_names, meta.lower, meta.upper)));
}

std::vector<double> PinocchioHandKinematics::expand_active(const std::vector<double>& q_active) const {
  return detail::expand(impl_->meta, impl_->rest_full, q_active);
}

std::vector<double> PinocchioHandKinematics::active_from_full(const std::vector<double>& q_full) const {
  return detail::select_active(impl_->meta, q_full);
}

HandKinematicsState PinocchioHandKinematics::state_from_active(const std::vector<double>& q_active) {
  HandKinematicsState state;
  state_from_active(q_active, state);
  return state;
}

HandKinematicsLinearization PinocchioHandKinematics::linearized_state_from_active(
    const std::vector<double>& q_active) {
  HandKinematicsLinearization lin;
  linearized_state_from_active(q_active, lin);
  return lin;
}

void PinocchioHandKinematics::state_from_active(const std::vector<double>& q_active,
                                                HandKinematicsState& out) {
  Impl& impl = *impl_;
  tip_kinematics_from_active(q_active, impl.tips_scratch);
  impl.fill_state(out, impl.tips_scratch);
}

void PinocchioHandKinematics::linearized_state_from_active(const std::vector<double>& q_active,
                                                           HandKinematicsLinearization& out) {
  Impl& impl = *impl_;
  linearized_tip_kinematics_from_active(q_active, impl.tips_scratch);
  impl.fill_state(out, impl.tips_scratch);
  for (std::size_t f = 0; f < impl.meta.finger_order.size(); ++f) {
    const std::string& finger = impl.meta.finger_order[f];
    out.tip_position_jacobians[finger] = impl.tips_scratch.tips[f].position_jacobian;
    out.tip_angular_jacobians[finger] = impl.tips_scratch.tips[f].angular_jacobian;
  }
}

const std::vector<std::string>& PinocchioHandKinematics::finger_order() const {
  return impl_->meta.finger_order;
}

void PinocchioHandKinematics::tip_kinematics_from_active(const std::vector<double>& q_active,
                                                         HandTipKinematics& out) {
  impl_->run_kinematics(q_active, false);
  impl_->fill_tips(out);
}

void PinocchioHandKinematics::linearized_tip_kinematics_from_active(const std::vector<double>& q_active,
                                                                    HandTipKinematics& out) {
  impl_->run_kinematics(q_active, true);
  impl_->fill_tips(out);
  impl_->fill_tip_jacobians(out);
}

// The same vectors as expand and select_active, computed in storage kept from call to call; the state
// changes only once both are done.
void PinocchioHandKinematics::apply_active(const std::vector<double>& q_active) {
  Impl& impl = *impl_;
  detail::expand_into(impl.meta, impl.fixed_indices, impl.rest_full, q_active, impl.next_full);
  impl.next_projected = impl.next_full;
  detail::project_passive_in_place(impl.meta, impl.fixed_indices, impl.next_projected);
  std::swap(impl.current_full, impl.next_full);
  const std::vector<std::size_t>& active = impl.meta.active_indices;
  impl.current_active.resize(active.size());
  for (std::size_t k = 0; k < active.size(); ++k) impl.current_active[k] = impl.next_projected[active[k]];
}

std::vector<double> PinocchioHandKinematics::full_current_q() const {
  return impl_->current_full;
}

const std::vector<std::string>& PinocchioHandKinematics::skeleton_node_names() const {
  return impl_->skeleton_node_names;
}

std::vector<SkeletonPose> PinocchioHandKinematics::skeleton_poses_local(const std::vector<double>& q_active) {
  std::vector<SkeletonPose> poses;
  skeleton_poses_local(q_active, poses);
  return poses;
}

void PinocchioHandKinematics::skeleton_poses_local(const std::vector<double>& q_active,
                                                   std::vector<SkeletonPose>& poses) {
  Impl& impl = *impl_;
  poses.resize(impl.skeleton_node_names.size());
  if (impl.skeleton_node_names.empty()) return;
  impl.run_kinematics(q_active, false);
  for (std::size_t id : impl.skeleton_frame_ids) pinocchio::updateFramePlacement(impl.model, *impl.data, id);
  const pinocchio::SE3& wrist = impl.data->oMf[impl.wrist_frame_id];
  const Eigen::Matrix3d wrist_t = wrist.rotation().transpose();
  for (std::size_t i = 0; i < impl.skeleton_node_names.size(); ++i) {
    const pinocchio::SE3& node = impl.data->oMf[impl.skeleton_frame_ids[i]];
    SkeletonPose& pose = poses[i];
    pose.name = impl.skeleton_node_names[i];
    pose.position = to_array(wrist_t * (node.translation() - wrist.translation()));
    pose.quaternion = quaternion_xyzw(wrist_t * node.rotation());
  }
}

}  // namespace kelto::hand
