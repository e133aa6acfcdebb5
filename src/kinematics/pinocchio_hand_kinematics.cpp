#include "kinematics/pinocchio_hand_kinematics.hpp"

#include <pinocchio/algorithm/frames.hpp>
#include <pinocchio/algorithm/jacobian.hpp>
#include <pinocchio/algorithm/kinematics.hpp>
#include <pinocchio/multibody/data.hpp>
#include <pinocchio/multibody/model.hpp>
#include <pinocchio/parsers/urdf.hpp>

#include <algorithm>
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

// True when both vectors hold the same doubles bit for bit (a cached result of one is then valid for the
// other, NaNs and signed zeros included).
bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
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
  // The coupling factors effective_selection was folded with; a linearization with the same factors keeps it.
  std::vector<double> folded_factors, next_factors;
  bool couplings_folded = false;
  // Per finger of the finger order: the velocity columns its frame Jacobian can have non-zero, the selection
  // entries on those columns (all entries while a factor is not finite, since 0 · inf is not 0) and the
  // active columns these entries reach, ascending.
  std::vector<std::vector<bool>> finger_support;
  std::vector<std::vector<SelectionEntry>> finger_entries;
  std::vector<std::vector<Eigen::Index>> finger_columns;
  // Per finger: its frame Jacobian. Only the support columns are ever written, the others stay zero.
  std::vector<pinocchio::Data::Matrix6x> finger_jacobians;
  Eigen::MatrixXd reduced_jacobian;  // 6 x active joints
  HandTipKinematics tips_scratch;

  // What `data` holds: the placements of the wrist and fingertip frames for the active vector placed_q
  // (expanded in full_scratch), with the joint Jacobians and the folded couplings when placed_jacobians
  // is set, and placed_tips' poses when tips_placed is set. Every query of the same bits reuses them.
  std::vector<double> placed_q;
  bool placed = false;
  bool placed_jacobians = false;
  bool tips_placed = false;
  HandTipKinematics placed_tips;
  // The fingers sorted by name with their finger-order index: the order of the state maps' entries.
  std::vector<std::pair<std::string, std::size_t>> sorted_fingers;

  Impl(const Config& config, std::string side_word);

  bool frame_exists(const std::string& name) const { return model.existFrame(name); }
  std::size_t checked_frame_id(const std::string& name) const;
  void add_operational_frames(const Config& config, const Config& metadata);
  void setup_tip_axes(const Config& config);
  void setup_skeleton();
  void build_pinocchio_joint_mapping();
  void setup_finger_jacobians();
  void run_kinematics(const std::vector<double>& q_active, bool with_jacobians);
  void place_frames(const std::vector<double>& q_active, bool with_jacobians);
  void coupling_factors(const std::vector<double>& full, std::vector<double>& factors) const;
  void fold_couplings(const std::vector<double>& full);
  void rebuild_finger_entries();
  void compute_tips(HandTipKinematics& out) const;
  const HandTipKinematics& placed_poses();
  void fill_tips(HandTipKinematics& out);
  void fill_tip_jacobians(HandTipKinematics& out);

  template <typename Value, typename Get>
  void fill_finger_map(std::map<std::string, Value>& map, Get get) const;
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
  reduced_jacobian = Eigen::MatrixXd::Zero(6, static_cast<Eigen::Index>(meta.active_indices.size()));
  setup_finger_jacobians();
  for (std::size_t f = 0; f < meta.finger_order.size(); ++f)
    sorted_fingers.emplace_back(meta.finger_order[f], f);
  std::sort(sorted_fingers.begin(), sorted_fingers.end());
}

// The columns a fingertip's frame Jacobian can fill are those of the joints supporting its parent joint;
// with mimic joints Pinocchio also writes other columns, so every column counts then.
void PinocchioHandKinematics::Impl::setup_finger_jacobians() {
  const auto nv = static_cast<std::size_t>(model.nv);
  const bool all_columns = model.nvExtended != model.nv;
  for (std::size_t id : finger_frame_ids) {
    std::vector<bool> support(nv, all_columns);
    for (pinocchio::JointIndex j : model.supports[model.frames[id].parentJoint]) {
      if (j == 0) continue;
      const auto first = static_cast<std::size_t>(model.joints[j].idx_v());
      for (std::size_t c = first; c < first + static_cast<std::size_t>(model.joints[j].nv()); ++c)
        support[c] = true;
    }
    finger_support.push_back(std::move(support));
    finger_jacobians.push_back(pinocchio::Data::Matrix6x::Zero(6, model.nv));
  }
  finger_entries.resize(finger_frame_ids.size());
  finger_columns.resize(finger_frame_ids.size());
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

// Per coupling, the factor its child's row takes of its driver's row: the rule's slope when the coupled value
// lies within the child's limits, else 0 (0 too for a fixed child, which has no row).
void PinocchioHandKinematics::Impl::coupling_factors(const std::vector<double>& full,
                                                     std::vector<double>& factors) const {
  factors.resize(meta.couplings.size());
  for (std::size_t i = 0; i < meta.couplings.size(); ++i) {
    const detail::PassiveCoupling& c = meta.couplings[i];
    double factor = 0.0;
    if (v_index[c.child] >= 0) {
      const double x = c.input_scale * full[c.driver];
      const double value = c.output_scale * detail::coupling_polynomial(c, x);
      if (!(value < meta.lower[c.child] || value > meta.upper[c.child])) {
        factor = c.input_scale * detail::coupling_polynomial_slope(c, x) * c.output_scale;
      }
    }
    factors[i] = factor;
  }
}

// The folded selection depends on the expanded vector only through the coupling factors, so it is kept
// while they stay the same bit for bit.
void PinocchioHandKinematics::Impl::fold_couplings(const std::vector<double>& full) {
  coupling_factors(full, next_factors);
  if (couplings_folded && same_bits(next_factors, folded_factors)) return;
  couplings_folded = false;  // until the fold below is complete: a throw midway must not leave half of it
  std::swap(folded_factors, next_factors);
  effective_selection = selection;
  const std::size_t passes = meta.couplings.size();
  coupling_row.resize(effective_selection.cols());
  // A pass depends on the rows alone: once one changes nothing, the passes after it change nothing either.
  bool changed = true;
  for (std::size_t pass = 0; pass < passes && changed; ++pass) {
    changed = false;
    for (std::size_t i = 0; i < meta.couplings.size(); ++i) {
      const detail::PassiveCoupling& c = meta.couplings[i];
      const std::int32_t child_v = v_index[c.child];
      if (child_v < 0) continue;  // a fixed child has no velocity coordinate
      const std::int32_t driver_v = v_index[c.driver];
      if (driver_v < 0) {
        coupling_row.setZero();  // a fixed driver never moves
      } else {
        coupling_row = folded_factors[i] * effective_selection.row(driver_v);
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
  rebuild_finger_entries();
  couplings_folded = true;
}

// A finger's reduced Jacobian column sums factor · column over the entries; the terms of columns outside the
// finger's support are ±0 and leave the sum as it is (it starts at +0 and never becomes -0), unless a factor
// is infinite or NaN.
void PinocchioHandKinematics::Impl::rebuild_finger_entries() {
  const bool finite = std::all_of(selection_entries.begin(), selection_entries.end(),
                                  [](const SelectionEntry& e) { return std::isfinite(e.factor); });
  for (std::size_t f = 0; f < finger_entries.size(); ++f) {
    std::vector<SelectionEntry>& entries = finger_entries[f];
    std::vector<Eigen::Index>& columns = finger_columns[f];
    entries.clear();
    columns.clear();
    for (const SelectionEntry& e : selection_entries) {
      if (finite && !finger_support[f][static_cast<std::size_t>(e.v)]) continue;
      entries.push_back(e);
      if (columns.empty() || columns.back() != e.k) columns.push_back(e.k);  // entries run column by column
    }
  }
}

// Forward kinematics of `q_active`, with the joint Jacobians and the folded couplings when asked; reuses
// what `data` holds when it was computed for the same bits.
void PinocchioHandKinematics::Impl::run_kinematics(const std::vector<double>& q_active, bool with_jacobians) {
  if (!placed || !same_bits(q_active, placed_q)) {
    place_frames(q_active, with_jacobians);
  } else if (with_jacobians && !placed_jacobians) {
    // The same joint Jacobians as computeJointJacobians(model, data, q) computes along with the placements.
    pinocchio::computeJointJacobians(model, *data);
    placed_jacobians = true;
  }
  if (with_jacobians) fold_couplings(full_scratch);
}

// Forward kinematics of the expanded vector (in full_scratch), with the joint Jacobians when asked; only
// the wrist and fingertip frames are placed.
void PinocchioHandKinematics::Impl::place_frames(const std::vector<double>& q_active, bool with_jacobians) {
  placed = false;
  tips_placed = false;
  detail::expand_into(meta, fixed_indices, rest_full, q_active, full_scratch);
  q_pin.setZero();
  for (std::size_t i = 0; i < full_scratch.size(); ++i) {
    if (q_index[i] >= 0) q_pin[q_index[i]] = full_scratch[i];
  }
  if (with_jacobians) {
    pinocchio::computeJointJacobians(model, *data, q_pin);  // includes the forward kinematics pass
  } else {
    pinocchio::forwardKinematics(model, *data, q_pin);
  }
  pinocchio::updateFramePlacement(model, *data, wrist_frame_id);
  for (std::size_t id : finger_frame_ids) pinocchio::updateFramePlacement(model, *data, id);
  placed_q = q_active;
  placed = true;
  placed_jacobians = with_jacobians;
}

void PinocchioHandKinematics::Impl::compute_tips(HandTipKinematics& out) const {
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

// The poses of the placed frames, computed once per placement.
const HandTipKinematics& PinocchioHandKinematics::Impl::placed_poses() {
  if (!tips_placed) {
    compute_tips(placed_tips);
    tips_placed = true;
  }
  return placed_tips;
}

// The placed poses into `out`; its Jacobians are left alone.
void PinocchioHandKinematics::Impl::fill_tips(HandTipKinematics& out) {
  placed_poses();
  out.wrist_position = placed_tips.wrist_position;
  out.wrist_rotation = placed_tips.wrist_rotation;
  out.tips.resize(placed_tips.tips.size());
  for (std::size_t f = 0; f < placed_tips.tips.size(); ++f) {
    const TipKinematics& from = placed_tips.tips[f];
    TipKinematics& t = out.tips[f];
    t.position_world = from.position_world;
    t.rotation_world = from.rotation_world;
    t.position_wrist = from.position_wrist;
    t.rotation_wrist = from.rotation_wrist;
  }
}

// Fingertip Jacobians over the active joints: the frame Jacobian's columns gathered through the
// (coupling-folded) selection entries of the finger. The columns no entry reaches are zero: +0 in the
// angular rows and the wrist rotation applied to a zero column in the position rows (-0 where a row of the
// rotation is all negative).
void PinocchioHandKinematics::Impl::fill_tip_jacobians(HandTipKinematics& out) {
  const Eigen::Matrix3d wrist_t = data->oMf[wrist_frame_id].rotation().transpose();
  const Eigen::Vector3d zero_column = Eigen::Vector3d::Zero();
  const Eigen::Vector3d zero_linear = wrist_t * zero_column;
  const std::size_t n = meta.active_indices.size();
  for (std::size_t f = 0; f < finger_frame_ids.size(); ++f) {
    pinocchio::Data::Matrix6x& frame_jacobian = finger_jacobians[f];
    // Through the parent joint: the frame-index overload would place the fingertip frame once more.
    const pinocchio::Frame& frame = model.frames[finger_frame_ids[f]];
    pinocchio::getFrameJacobian(model, *data, frame.parentJoint, frame.placement,
                                pinocchio::LOCAL_WORLD_ALIGNED, frame_jacobian);
    for (Eigen::Index k : finger_columns[f]) reduced_jacobian.col(k).setZero();
    for (const SelectionEntry& e : finger_entries[f]) {
      reduced_jacobian.col(e.k) += e.factor * frame_jacobian.col(e.v);
    }
    TipKinematics& t = out.tips[f];
    t.position_jacobian.rows = 3;
    t.position_jacobian.cols = n;
    t.position_jacobian.data.resize(3 * n);
    t.angular_jacobian.rows = 3;
    t.angular_jacobian.cols = n;
    t.angular_jacobian.data.resize(3 * n);
    for (std::size_t r = 0; r < 3; ++r) {
      std::fill_n(t.position_jacobian.data.begin() + static_cast<std::ptrdiff_t>(r * n), n,
                  zero_linear[static_cast<Eigen::Index>(r)]);
      std::fill_n(t.angular_jacobian.data.begin() + static_cast<std::ptrdiff_t>(r * n), n, 0.0);
    }
    for (Eigen::Index k : finger_columns[f]) {
      const auto c = static_cast<std::size_t>(k);
      const Eigen::Vector3d linear = wrist_t * reduced_jacobian.block<3, 1>(0, k);
      for (int r = 0; r < 3; ++r) {
        t.position_jacobian.data[static_cast<std::size_t>(r) * n + c] = linear[r];
        t.angular_jacobian.data[static_cast<std::size_t>(r) * n + c] = reduced_jacobian(3 + r, k);
      }
    }
  }
}

// Writes get(f) into the map entry of every finger f. A map holding exactly the fingers (as every map this
// model filled before does) is walked in order; any other map is cleared and written through its keys.
template <typename Value, typename Get>
void PinocchioHandKinematics::Impl::fill_finger_map(std::map<std::string, Value>& map, Get get) const {
  bool in_order = map.size() == sorted_fingers.size();
  auto it = map.begin();
  for (std::size_t i = 0; in_order && i < sorted_fingers.size(); ++i, ++it) {
    in_order = it->first == sorted_fingers[i].first;
  }
  if (in_order) {
    it = map.begin();
    for (std::size_t i = 0; i < sorted_fingers.size(); ++i, ++it) it->second = get(sorted_fingers[i].second);
    return;
  }
  map.clear();
  for (std::size_t f = 0; f < meta.finger_order.size(); ++f) map[meta.finger_order[f]] = get(f);
}

template <typename State>
void PinocchioHandKinematics::Impl::fill_state(State& state, const HandTipKinematics& tips) const {
  state.wrist_position = tips.wrist_position;
  state.wrist_rotation = tips.wrist_rotation;
  fill_finger_map(
      state.tip_positions_world, [&tips](std::size_t f) -> const auto& {
        return tips.tips[f].position_world;
      });
  fill_finger_map(
      state.tip_rotations_world, [&tips](std::size_t f) -> const auto& {
        return tips.tips[f].rotation_world;
      });
  fill_finger_map(
      state.tip_positions_wrist, [&tips](std::size_t f) -> const auto& {
        return tips.tips[f].position_wrist;
      });
  fill_finger_map(
      state.tip_rotations_wrist, [&tips](std::size_t f) -> const auto& {
        return tips.tips[f].rotation_wrist;
      });
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

// detail::expand and detail::select_active with the fixed joints found once at construction.
std::vector<double> PinocchioHandKinematics::expand_active(const std::vector<double>& q_active) const {
  std::vector<double> full;
  detail::expand_into(impl_->meta, impl_->fixed_indices, impl_->rest_full, q_active, full);
  return full;
}

std::vector<double> PinocchioHandKinematics::active_from_full(const std::vector<double>& q_full) const {
  return detail::select_active(impl_->meta, impl_->fixed_indices, q_full);
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
  impl.run_kinematics(q_active, false);
  impl.fill_state(out, impl.placed_poses());
}

void PinocchioHandKinematics::linearized_state_from_active(const std::vector<double>& q_active,
                                                           HandKinematicsLinearization& out) {
  linearized_tip_kinematics_from_active(q_active, impl_->tips_scratch);
  linearization_from_tips(impl_->tips_scratch, out);
}

void PinocchioHandKinematics::state_from_tips(const HandTipKinematics& tips, HandKinematicsState& out) const {
  impl_->fill_state(out, tips);
}

void PinocchioHandKinematics::linearization_from_tips(const HandTipKinematics& tips,
                                                      HandKinematicsLinearization& out) const {
  const Impl& impl = *impl_;
  impl.fill_state(out, tips);
  impl.fill_finger_map(out.tip_position_jacobians, [&tips](std::size_t f) -> const DenseMatrix& {
    return tips.tips[f].position_jacobian;
  });
  impl.fill_finger_map(out.tip_angular_jacobians, [&tips](std::size_t f) -> const DenseMatrix& {
    return tips.tips[f].angular_jacobian;
  });
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
