#!/usr/bin/env python3
"""Generates every resource file of the hand type ``dynamic_openxr_hand`` from one description.

The hand is an adult hand laid out in the template wrist frame: x palmar (right hand) / dorsal (left
hand), y toward the thumb, z toward the fingertips. Every metacarpal runs from its base landmark B to
its head landmark A of the palm layout table; the phalanges continue along the metacarpal at the zero
joint vector. The left hand is the mirror image of the right one across the wrist's x = 0 plane, built
from its own palm table so that its landmarks are met exactly.

Files written (under resources/hands/dynamic_openxr_hand/):
  dynamic_openxr_hand_system.yaml, config.yaml, pose_library.yaml,
  resources/pinocchio/{left,right}.urdf, resources/pinocchio/metadata.yaml,
  resources/mujoco/{left,right}.xml

Usage: generate_hand_resources.py          write the files
       generate_hand_resources.py --check  compare the committed files with the output; exit 1 and
                                           list the differing files when any differs
"""

import argparse
import math
import pathlib
import sys

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
HAND_TYPE = "dynamic_openxr_hand"
HAND_DIR = pathlib.Path("resources") / "hands" / HAND_TYPE

SIDES = ("right", "left")
FINGERS = ("thumb", "first", "middle", "ring", "little")
FINGER_WORD = {"thumb": "thumb", "first": "index", "middle": "middle", "ring": "ring", "little": "little"}
LONG_FINGERS = ("first", "middle", "ring", "little")

# Palm layout: per side and landmark, the metacarpal head A and base B (metres, template wrist frame).
# For the thumb the landmark is the carpometacarpal joint (A equals B).
PALM_TABLE = {
    "right": {
        "thumb": ((0.01791378856, 0.02917817421, 0.02529839985),
                  (0.01791378856, 0.02917817421, 0.02529839985)),
        "first": ((-0.0110400066222, 0.0373887227753, 0.0856472995507),
                  (0.00155722315, 0.02107323706, 0.0147868637)),
        "middle": ((-0.0163691827829, 0.00946094353832, 0.0857296730851),
                   (-0.002177313436, 0.00711954385, 0.01631873846)),
        "ring": ((-0.00970091940494, -0.0132089374615, 0.0813390002479),
                 (-0.0005134355742, -0.006545122713, 0.01634769328)),
        "little": ((0.00228678626667, -0.0376494808459, 0.0752327396856),
                   (0.002478150884, -0.01898136921, 0.0152135836)),
    },
    "left": {
        "thumb": ((-0.0179138016, 0.02917803824, 0.02529831976),
                  (-0.0179138016, 0.02917803824, 0.02529831976)),
        "first": ((0.0110399799606, 0.0373887937421, 0.0856473292338),
                  (-0.001557245036, 0.02107322961, 0.01478697266)),
        "middle": ((0.0163690540737, 0.00946093536779, 0.0857297262748),
                   (0.002177304821, 0.007119543385, 0.01631883532)),
        "ring": ((0.00970092826314, -0.0132089553135, 0.0813390547869),
                 (0.0005134225357, -0.006545126438, 0.01634766161)),
        "little": ((-0.00228680375259, -0.0376494576257, 0.0752327896856),
                   (-0.002478157403, -0.0189813748, 0.01521364041)),
    },
}

# Bone lengths in metres: thumb metacarpal (carpometacarpal to metacarpophalangeal joint), then joint to
# joint for the phalanges; "distal" runs from the last joint to the end of the fingertip.
THUMB_BONES = {"metacarpal": 0.046, "proximal": 0.032, "distal": 0.025}
FINGER_BONES = {
    "first": {"proximal": 0.040, "intermediate": 0.024, "distal": 0.020},
    "middle": {"proximal": 0.044, "intermediate": 0.028, "distal": 0.021},
    "ring": {"proximal": 0.041, "intermediate": 0.027, "distal": 0.020},
    "little": {"proximal": 0.033, "intermediate": 0.019, "distal": 0.018},
}

# Capsule radii per bone (metres).
RADIUS = {
    "thumb": {"metacarpal": 0.0105, "proximal": 0.0095, "distal": 0.0088},
    "first": {"metacarpal": 0.0080, "proximal": 0.0085, "intermediate": 0.0078, "distal": 0.0072},
    "middle": {"metacarpal": 0.0080, "proximal": 0.0088, "intermediate": 0.0080, "distal": 0.0074},
    "ring": {"metacarpal": 0.0078, "proximal": 0.0082, "intermediate": 0.0075, "distal": 0.0070},
    "little": {"metacarpal": 0.0075, "proximal": 0.0075, "intermediate": 0.0068, "distal": 0.0063},
}

# Thumb frame at the carpometacarpal joint, in the palm plane's axes: at the zero joint vector the
# thumb metacarpal lies alongside the index, turned THUMB_SPREAD_DEG from the middle finger's direction
# toward the index and lifted THUMB_ELEVATION_DEG out of the palm plane; its pad faces into the palm,
# turned THUMB_PRONATION_DEG from the palm normal toward the little finger.
THUMB_SPREAD_DEG = 25.0
THUMB_ELEVATION_DEG = 5.0
THUMB_PRONATION_DEG = 60.0
# The little finger's carpometacarpal axis: flexion tilted 20 degrees toward the metacarpal's long axis,
# so that flexing it also turns the finger toward the thumb.
LITTLE_OPPOSITION_TILT = math.radians(20.0)

# Joint limits (radians). Positive flexion closes the hand; positive abduction of a long finger moves it
# toward the thumb; positive thumb abduction lifts the thumb out of the palm.
LIMITS = {
    "thumb_cmc_abduction": (-0.35, 1.20),
    "thumb_cmc_flexion": (-0.50, 1.20),
    "thumb_mcp_abduction": (-0.26, 0.26),
    "thumb_mcp_flexion": (-0.17, 1.05),
    "thumb_ip_flexion": (-0.26, 1.40),
    "index_mcp_abduction": (-0.30, 0.44),
    "middle_mcp_abduction": (-0.35, 0.35),
    "ring_mcp_abduction": (-0.35, 0.30),
    "little_mcp_abduction": (-0.44, 0.30),
    "index_mcp_flexion": (-0.26, 1.57),
    "middle_mcp_flexion": (-0.26, 1.57),
    "ring_mcp_flexion": (-0.26, 1.61),
    "little_mcp_flexion": (-0.26, 1.66),
    "ring_cmc_cup": (-0.05, 0.30),
    "little_cmc_opposition": (-0.06, 0.45),
}
PIP_LIMITS = (0.0, 1.83)
DIP_LIMITS = (0.0, 1.40)

# Passive couplings: (driven joint, driving joint, factor); driven = factor * driver.
COUPLINGS = [
    ("index_dip_flexion", "index_pip_flexion", 0.7),
    ("middle_dip_flexion", "middle_pip_flexion", 0.7),
    ("ring_dip_flexion", "ring_pip_flexion", 0.7),
    ("little_dip_flexion", "little_pip_flexion", 0.7),
    ("ring_cmc_cup", "ring_mcp_flexion", 0.12),
    ("little_cmc_opposition", "little_mcp_flexion", 0.2),
]

POSE_JOINTS = {
    "thumb": ["thumb_cmc_abduction", "thumb_cmc_flexion", "thumb_mcp_abduction", "thumb_mcp_flexion",
              "thumb_ip_flexion"],
}
for _finger in LONG_FINGERS:
    _word = FINGER_WORD[_finger]
    POSE_JOINTS[_finger] = [f"{_word}_mcp_abduction", f"{_word}_mcp_flexion", f"{_word}_pip_flexion",
                            f"{_word}_dip_flexion"]

MIRROR = np.diag([-1.0, 1.0, 1.0])


# ---------------------------------------------------------------------------------------------------
# Number formatting
#
# The files must come out the same on every machine. numpy's matrix products, norms and decompositions
# go through OpenBLAS, whose kernels (chosen per CPU) sum in different orders, and glibc picks FMA or
# SSE2 versions of sin, cos and atan2 per CPU; either may change a result's last bit. Across OpenBLAS
# kernels and both libm versions, the numbers written here moved by at most 3e-16 (absolute) and 2e-15
# (relative), and the pinch pose angles, which come out of an iterative solve, by at most 6e-9 rad. So a
# number is written only to digits that such changes cannot reach: its text must stay the same for every
# value within a margin (NOISE_ABS plus NOISE_REL of the value, POSE_NOISE for pose angles) at least ten
# times wider than those differences, or generation stops and names it. Values that are zero within
# rounding are written as 0. The one result written in full (the glove rotation) is computed from rounded
# numbers with plain float arithmetic, which rounds alike on every IEEE 754 machine (see glove_rotation).

NOISE_ABS = 1e-15
NOISE_REL = 1e-14
ZERO = 1e-12
POSE_DECIMALS = 4
POSE_NOISE = 1e-7


def plain_text(value, digits):
    """`value` to `digits` significant digits, 0 when it is zero within rounding."""
    value = float(value)
    return "0" if abs(value) < ZERO else f"{value:.{digits}g}"


def rounded_alike(rounding, value, margin, what):
    """rounding(value), refused when a value within `margin` of it rounds otherwise."""
    result = rounding(value)
    if rounding(value - margin) != result or rounding(value + margin) != result:
        raise SystemExit(f"{what} {value!r} lies within {margin:.0e} of a rounding boundary")
    return result


def num(value, digits=10):
    """`value` to `digits` significant digits, refused when the digits could differ on another machine."""
    value = float(value)
    return rounded_alike(lambda v: plain_text(v, digits), value, NOISE_ABS + NOISE_REL * abs(value),
                         f"{digits}-digit number")


def rounded_angle(value):
    """A pose angle rounded to POSE_DECIMALS places, refused when the solver's last digits could tip it."""
    return rounded_alike(lambda v: round(v, POSE_DECIMALS), float(value), POSE_NOISE, "pose angle")


def nums(values, digits=10):
    return " ".join(num(v, digits) for v in values)


def yaml_list(values, digits=10):
    return "[" + ", ".join(num(v, digits) for v in values) + "]"


def full_list(values):
    """Numbers that every machine computes to the same bits, written in full."""
    return "[" + ", ".join(plain_text(v, ROTATION_DIGITS) for v in values) + "]"


# ---------------------------------------------------------------------------------------------------
# Rotations


# Vector helpers in plain float arithmetic, not BLAS: their results are the same bits on every machine.


def dot(a, b):
    total = 0.0
    for x, y in zip(a, b):
        total += float(x) * float(y)
    return total


def cross(a, b):
    return np.array([float(a[1]) * float(b[2]) - float(a[2]) * float(b[1]),
                     float(a[2]) * float(b[0]) - float(a[0]) * float(b[2]),
                     float(a[0]) * float(b[1]) - float(a[1]) * float(b[0])])


def norm(v):
    return math.sqrt(dot(v, v))


def normalized(v):
    length = norm(v)
    return np.array([float(c) / length for c in v])


def frame_from_zx(z, x_hint):
    """Rotation whose z axis is z and whose x axis is x_hint made orthogonal to z."""
    z = normalized(z)
    along = dot(x_hint, z)
    x = normalized([float(c) - along * zc for c, zc in zip(x_hint, z)])
    y = cross(z, x)
    return np.column_stack([x, y, z])


def axis_rotation(axis, angle):
    axis = normalized(axis)
    k = np.array([[0.0, -axis[2], axis[1]], [axis[2], 0.0, -axis[0]], [-axis[1], axis[0], 0.0]])
    return np.eye(3) + math.sin(angle) * k + (1.0 - math.cos(angle)) * (k @ k)


def rpy_from_rotation(r):
    """URDF roll, pitch, yaw with r = Rz(yaw) Ry(pitch) Rx(roll)."""
    pitch = math.atan2(-r[2, 0], math.hypot(r[0, 0], r[1, 0]))
    roll = math.atan2(r[2, 1], r[2, 2])
    yaw = math.atan2(r[1, 0], r[0, 0])
    return roll, pitch, yaw


def quat_from_rotation(r):
    """Unit quaternion (w, x, y, z) with a non-negative w."""
    t = r[0, 0] + r[1, 1] + r[2, 2]
    if t > 0.0:
        s = math.sqrt(t + 1.0) * 2.0
        q = [0.25 * s, (r[2, 1] - r[1, 2]) / s, (r[0, 2] - r[2, 0]) / s, (r[1, 0] - r[0, 1]) / s]
    else:
        i = int(np.argmax([r[0, 0], r[1, 1], r[2, 2]]))
        j, k = (i + 1) % 3, (i + 2) % 3
        s = math.sqrt(1.0 + r[i, i] - r[j, j] - r[k, k]) * 2.0
        q = [0.0, 0.0, 0.0, 0.0]
        q[0] = (r[k, j] - r[j, k]) / s
        q[1 + i] = 0.25 * s
        q[1 + j] = (r[j, i] + r[i, j]) / s
        q[1 + k] = (r[k, i] + r[i, k]) / s
    q = np.array(q)
    if q[0] < 0.0:
        q = -q
    return normalized(q)


def is_identity(r):
    return np.allclose(r, np.eye(3), atol=1e-15)


# ---------------------------------------------------------------------------------------------------
# The kinematic tree


class Joint:
    """One URDF joint, which is also one MJCF body (the child link) with an optional hinge."""

    def __init__(self, name, parent, child, xyz, rot, axis=None, limits=None):
        self.name = name
        self.parent = parent
        self.child = child
        self.xyz = np.asarray(xyz, dtype=float)
        self.rot = np.asarray(rot, dtype=float)
        self.axis = None if axis is None else normalized(axis)
        self.limits = limits

    @property
    def revolute(self):
        return self.axis is not None


class Capsule:
    def __init__(self, name, link, length, radius, cls):
        self.name = name
        self.link = link
        self.length = length
        self.radius = radius
        self.cls = cls

    def fromto(self):
        return [0.0, 0.0, 0.0, 0.0, 0.0, self.length]

    def mass(self):
        """Mass at the density of water, as MuJoCo computes it for the capsule."""
        return 1000.0 * (math.pi * self.radius ** 2 * self.length + 4.0 / 3.0 * math.pi * self.radius ** 3)


class Hand:
    def __init__(self, side):
        self.side = side
        self.root = f"{side}_wrist"
        self.joints = []
        self.capsules = []
        self.palm_rotation = np.eye(3)
        self.palm_center = np.zeros(3)

    def prefixed(self, name):
        return f"{self.side}_{name}"

    def joint(self, name):
        for joint in self.joints:
            if joint.name == name:
                return joint
        raise KeyError(name)

    def movable_joint_names(self):
        return [j.name for j in self.joints if j.revolute]

    def fixed_joint_names(self):
        return [j.name for j in self.joints if not j.revolute]

    def links(self):
        return [self.root] + [j.child for j in self.joints]

    def children(self, link):
        return [j for j in self.joints if j.parent == link]


def palm_normal(table):
    """Unit normal of the palm plane of a right-convention palm table (points palmar)."""
    e_mid = normalized(table["middle"][0])
    d = np.asarray(table["first"][0]) - np.asarray(table["little"][0])
    e_idx = normalized(d - dot(d, e_mid) * e_mid)
    return normalized(cross(e_idx, e_mid)), e_idx, e_mid


def build_right_convention(side, table):
    """The hand of `side` built in the right-hand convention from a palm table in that convention."""
    hand = Hand(side)
    p = hand.prefixed
    limits = LIMITS
    normal, e_idx, e_mid = palm_normal(table)

    # Thumb: two carpometacarpal hinges, two metacarpophalangeal hinges, one interphalangeal hinge.
    thumb_a = np.asarray(table["thumb"][0])
    spread, elevation = math.radians(THUMB_SPREAD_DEG), math.radians(THUMB_ELEVATION_DEG)
    pronation = math.radians(THUMB_PRONATION_DEG)
    thumb_direction = (math.cos(elevation) * (math.cos(spread) * e_mid + math.sin(spread) * e_idx) +
                       math.sin(elevation) * normal)
    r_thumb = frame_from_zx(thumb_direction, math.cos(pronation) * normal - math.sin(pronation) * e_idx)
    hand.joints += [
        Joint(p("thumb_cmc_abduction"), hand.root, p("thumb_cmc_abduction_aux"), thumb_a, r_thumb,
              (-1, 0, 0), limits["thumb_cmc_abduction"]),
        Joint(p("thumb_cmc_flexion"), p("thumb_cmc_abduction_aux"), p("thumb_metacarpal"), np.zeros(3),
              np.eye(3), (0, 1, 0), limits["thumb_cmc_flexion"]),
        Joint(p("thumb_mcp_abduction"), p("thumb_metacarpal"), p("thumb_mcp_abduction_aux"),
              (0, 0, THUMB_BONES["metacarpal"]), np.eye(3), (-1, 0, 0), limits["thumb_mcp_abduction"]),
        Joint(p("thumb_mcp_flexion"), p("thumb_mcp_abduction_aux"), p("thumb_proximal"), np.zeros(3),
              np.eye(3), (0, 1, 0), limits["thumb_mcp_flexion"]),
        Joint(p("thumb_ip_flexion"), p("thumb_proximal"), p("thumb_distal"),
              (0, 0, THUMB_BONES["proximal"]), np.eye(3), (0, 1, 0), limits["thumb_ip_flexion"]),
        Joint(p("thumb_tip_fixed"), p("thumb_distal"), p("thumb_tip"), (0, 0, THUMB_BONES["distal"]),
              np.eye(3)),
    ]
    for bone, link in (("metacarpal", "thumb_metacarpal"), ("proximal", "thumb_proximal"),
                       ("distal", "thumb_distal")):
        length = THUMB_BONES[bone]
        radius = RADIUS["thumb"][bone]
        if bone == "distal":
            length -= radius
        hand.capsules.append(Capsule(p(f"thumb_{bone}_collision"), p(link), length, radius,
                                     "bone" if bone == "metacarpal" else "phalanx"))

    for finger in LONG_FINGERS:
        word = FINGER_WORD[finger]
        head, base = (np.asarray(v) for v in table[finger])
        metacarpal = norm(head - base)
        r_mc = frame_from_zx(head - base, normal)
        bones = FINGER_BONES[finger]
        metacarpal_link = p(f"{word}_metacarpal")
        if finger in ("first", "middle"):
            hand.joints.append(Joint(p(f"{word}_metacarpal_fixed"), hand.root, metacarpal_link, base, r_mc))
        elif finger == "ring":
            hand.joints.append(Joint(p("ring_cmc_cup"), hand.root, metacarpal_link, base, r_mc, (0, 1, 0),
                                     limits["ring_cmc_cup"]))
        else:
            axis = (0.0, math.cos(LITTLE_OPPOSITION_TILT), math.sin(LITTLE_OPPOSITION_TILT))
            hand.joints += [
                Joint(p("little_cmc_opposition"), hand.root, p("little_cmc_opposition_aux"), base, r_mc, axis,
                      limits["little_cmc_opposition"]),
                Joint(p("little_metacarpal_fixed"), p("little_cmc_opposition_aux"), metacarpal_link,
                      np.zeros(3), np.eye(3)),
            ]
        hand.joints += [
            Joint(p(f"{word}_mcp_abduction"), metacarpal_link, p(f"{word}_mcp_abduction_aux"),
                  (0, 0, metacarpal), np.eye(3), (-1, 0, 0), limits[f"{word}_mcp_abduction"]),
            Joint(p(f"{word}_mcp_flexion"), p(f"{word}_mcp_abduction_aux"), p(f"{word}_proximal"),
                  np.zeros(3), np.eye(3), (0, 1, 0), limits[f"{word}_mcp_flexion"]),
            Joint(p(f"{word}_pip_flexion"), p(f"{word}_proximal"), p(f"{word}_intermediate"),
                  (0, 0, bones["proximal"]), np.eye(3), (0, 1, 0), PIP_LIMITS),
            Joint(p(f"{word}_dip_flexion"), p(f"{word}_intermediate"), p(f"{word}_distal"),
                  (0, 0, bones["intermediate"]), np.eye(3), (0, 1, 0), DIP_LIMITS),
            Joint(p(f"{word}_tip_fixed"), p(f"{word}_distal"), p(f"{word}_tip"), (0, 0, bones["distal"]),
                  np.eye(3)),
        ]
        hand.capsules.append(Capsule(p(f"{word}_metacarpal_collision"), metacarpal_link, metacarpal,
                                     RADIUS[finger]["metacarpal"], "bone"))
        for bone in ("proximal", "intermediate", "distal"):
            radius = RADIUS[finger][bone]
            length = bones[bone] - (radius if bone == "distal" else 0.0)
            hand.capsules.append(Capsule(p(f"{word}_{bone}_collision"), p(f"{word}_{bone}"), length, radius,
                                         "phalanx"))

    # Visual palm plate between the metacarpals.
    heads = np.array([table[f][0] for f in LONG_FINGERS])
    bases = np.array([table[f][1] for f in LONG_FINGERS])
    hand.palm_center = 0.5 * (heads.mean(axis=0) + bases.mean(axis=0))
    hand.palm_rotation = np.column_stack([normal, e_idx, cross(normal, e_idx)])
    return hand


def mirror_hand(hand):
    """Mirror image across the x = 0 plane of the wrist frame, joint for joint."""
    for joint in hand.joints:
        joint.xyz = MIRROR @ joint.xyz
        joint.rot = MIRROR @ joint.rot @ MIRROR
        if joint.axis is not None:
            joint.axis = -(MIRROR @ joint.axis)
    hand.palm_center = MIRROR @ hand.palm_center
    hand.palm_rotation = MIRROR @ hand.palm_rotation @ MIRROR
    return hand


def build_hand(side):
    table = PALM_TABLE[side]
    if side == "right":
        return build_right_convention(side, table)
    mirrored = {f: tuple(tuple(MIRROR @ np.asarray(v)) for v in table[f]) for f in table}
    return mirror_hand(build_right_convention(side, mirrored))


# ---------------------------------------------------------------------------------------------------
# Forward kinematics (used for the pose library and for self-checks)


def link_poses(hand, q):
    """World (= wrist) poses of every link for joint values by unprefixed-or-prefixed name."""
    poses = {hand.root: (np.eye(3), np.zeros(3))}
    for joint in hand.joints:  # parents always come first
        r_parent, p_parent = poses[joint.parent]
        rot = r_parent @ joint.rot
        pos = p_parent + r_parent @ joint.xyz
        if joint.revolute:
            rot = rot @ axis_rotation(joint.axis, q.get(joint.name, 0.0))
        poses[joint.child] = (rot, pos)
    return poses


def apply_couplings(hand, q):
    q = dict(q)
    for child, driver, factor in COUPLINGS:
        name = hand.prefixed(child)
        lower, upper = hand.joint(name).limits
        q[name] = min(max(factor * q.get(hand.prefixed(driver), 0.0), lower), upper)
    return q


# ---------------------------------------------------------------------------------------------------
# Poses


def clamp_pose(hand, finger_angles):
    out = {}
    for finger, values in finger_angles.items():
        row = []
        for name, value in zip(POSE_JOINTS[finger], values):
            lower, upper = hand.joint(hand.prefixed(name)).limits
            row.append(min(max(value, lower), upper))
        out[finger] = row
    return out


def adduction_angles(table):
    """Abduction angles that turn each long finger parallel to the middle finger, in its palm plane."""
    normal, _, _ = palm_normal(table)
    middle = normalized(np.asarray(table["middle"][0]) - np.asarray(table["middle"][1]))
    angles = {}
    for finger in LONG_FINGERS:
        head, base = (np.asarray(v) for v in table[finger])
        direction = normalized(head - base)
        r_mc = frame_from_zx(direction, normal)
        local = r_mc.T @ middle
        # Rotation about -x moves z toward +y: the angle that brings z onto the target's (y, z) part.
        angles[finger] = math.atan2(local[1], local[2])
    return angles


def base_poses(table):
    add = adduction_angles(table)
    spread = {"first": 0.12, "middle": 0.0, "ring": -0.10, "little": -0.20}
    poses = {}
    poses["open"] = {"thumb": [0.3, -0.2, 0.0, 0.05, 0.05]}
    poses["five_close"] = {"thumb": [0.1, 0.0, 0.0, 0.1, 0.1]}
    poses["mcp90"] = {"thumb": [0.1, 0.0, 0.0, 0.1, 0.1]}
    poses["mcp90_pip90"] = {"thumb": [0.25, -0.3, 0.0, 0.1, 0.1]}
    poses["fist"] = {"thumb": [0.4, 0.9, 0.0, 0.6, 0.5]}
    for finger in LONG_FINGERS:
        poses["open"][finger] = [spread[finger], 0.05, 0.08, 0.0]
        poses["five_close"][finger] = [0.9 * add[finger], 0.0, 0.0, 0.0]
        poses["mcp90"][finger] = [0.9 * add[finger], 1.55, 0.0, 0.0]
        poses["mcp90_pip90"][finger] = [0.9 * add[finger], 1.55, 1.55, 0.0]
        poses["fist"][finger] = [0.9 * add[finger], 1.45, 1.65, 0.0]
    return poses


PINCH_FINGER_START = {
    "first": [0.0, 0.65, 0.55, 0.0],
    "middle": [0.0, 0.75, 0.6, 0.0],
    "ring": [0.0, 0.85, 0.65, 0.0],
    "little": [0.0, 0.95, 0.7, 0.0],
}
PINCH_THUMB_START = [0.3, 0.6, 0.0, 0.3, 0.3]
PINCH_FACING_WEIGHT = 0.003
PINCH_MAX_GAP = 0.002


def pad_offset(finger, side="right"):
    """Centre of the fingertip pad in the tip link's frame: on the capsule's end cap, on the pad side."""
    radius = RADIUS[finger]["distal"]
    return np.array([radius if side == "right" else -radius, 0.0, -radius])


def pad_pose(hand, poses, finger):
    rot, pos = poses[hand.prefixed(FINGER_WORD[finger] + "_tip")]
    pad_axis = rot[:, 0] if hand.side == "right" else -rot[:, 0]
    return pos + rot @ pad_offset(finger, hand.side), pad_axis


def solve_pinch(hand, finger):
    """Thumb and finger angles that press the two fingertip pads together, near a natural pinch."""
    names = [hand.prefixed(n) for n in POSE_JOINTS["thumb"]] + [hand.prefixed(n) for n in POSE_JOINTS[finger][:3]]
    start = np.array(PINCH_THUMB_START + PINCH_FINGER_START[finger][:3])
    lower = np.array([hand.joint(n).limits[0] for n in names])
    upper = np.array([hand.joint(n).limits[1] for n in names])
    reg = np.array([0.004, 0.004, 0.01, 0.004, 0.004, 0.01, 0.006, 0.006])

    def residual(x):
        poses = link_poses(hand, apply_couplings(hand, dict(zip(names, x))))
        thumb_pad, thumb_normal = pad_pose(hand, poses, "thumb")
        finger_pad, finger_normal = pad_pose(hand, poses, finger)
        facing = PINCH_FACING_WEIGHT * (thumb_normal + finger_normal)
        return np.concatenate([thumb_pad - finger_pad, facing, reg * (x - start)])

    x = start.copy()
    for _ in range(200):
        r = residual(x)
        jac = np.empty((r.size, x.size))
        for i in range(x.size):
            step = np.zeros(x.size)
            step[i] = 1e-7
            jac[:, i] = (residual(x + step) - r) / 1e-7
        dx = np.linalg.solve(jac.T @ jac + 1e-6 * np.eye(x.size), -jac.T @ r)
        x = np.clip(x + dx, lower, upper)
    x = np.array([rounded_angle(v) for v in x])
    gap = norm(residual(x)[:3])
    if gap > PINCH_MAX_GAP:
        raise SystemExit(f"pinch pose for {finger} does not close: gap {gap:.4f} m")
    angles = {f: list(v) for f, v in base_poses(PALM_TABLE["right"])["open"].items()}
    angles["thumb"] = list(x[:5])
    angles[finger] = list(x[5:]) + [0.0]
    return angles


def build_poses(hand):
    """Named poses as finger angle lists (same values for both sides: the joints are mirrored)."""
    poses = base_poses(PALM_TABLE["right"])
    for finger in LONG_FINGERS:
        poses[f"pinch_{finger}"] = solve_pinch(hand, finger)
    rounded = {}
    for name, angles in poses.items():
        clamped = clamp_pose(hand, angles)
        rounded[name] = {f: [rounded_angle(v) for v in clamped[f]] for f in FINGERS}
    return rounded


# ---------------------------------------------------------------------------------------------------
# Glove frame
#
# The glove reports its fingertips relative to its root, which the tip mapping places at GLOVE_ORIGIN in
# the wrist frame. Glove axes, right-handed on either hand: z out of the back of the hand, x along the
# fingers, y = z × x. Calibration levels the glove on the plane through its root that best fits the
# non-thumb fingertips of the flat stages (open and close) and turns that plane's normal onto the glove
# z axis. So that the model's own flat hand calibrates to no base rotation, the glove z axis is that
# plane's normal for the model's reference poses of those stages, and x is the wrist's fingertip
# direction (+z) laid into the plane.

GLOVE_ORIGIN = (0.0, 0.0, 0.085)
FLAT_STAGE_IDS = ("open", "close")
DORSAL = {"right": (-1.0, 0.0, 0.0), "left": (1.0, 0.0, 0.0)}
GLOVE_LEVEL_TOLERANCE = 1e-12
# Written in full so that the rotation stays orthonormal to double precision.
ROTATION_DIGITS = 17


def pose_joint_values(hand, angles):
    q = {}
    for finger in FINGERS:
        for name, value in zip(POSE_JOINTS[finger], angles[finger]):
            q[hand.prefixed(name)] = value
    return apply_couplings(hand, q)


def flat_stage_pads(hand, poses):
    """Pad centres of the non-thumb fingertips at the reference poses of the flat stages (rows)."""
    reference = {stage[0]: stage[4] for stage in CALIBRATION_STAGES}
    rows = []
    for stage_id in FLAT_STAGE_IDS:
        link = link_poses(hand, pose_joint_values(hand, poses[reference[stage_id]]))
        rows += [pad_pose(hand, link, finger)[0] for finger in LONG_FINGERS]
    return np.array(rows)


def level_plane_normal(points):
    """Unit normal of the least-squares plane through the origin and the points (rows)."""
    return np.linalg.svd(points)[2][2]


def glove_rotation(hand, poses):
    """Glove-to-wrist rotation of `hand` (columns: the glove axes in the wrist frame).

    The plane normal's last bits depend on the machine's BLAS kernel, so it is first rounded to the digits
    every machine computes alike; the frame built from it by plain float arithmetic is then the same to
    the last bit everywhere and is written in full."""
    pads = flat_stage_pads(hand, poses) - np.asarray(GLOVE_ORIGIN)
    z = level_plane_normal(pads)
    if dot(z, DORSAL[hand.side]) < 0.0:
        z = -z
    rotation = frame_from_zx([float(num(c)) for c in z], (0.0, 0.0, 1.0))
    written = np.array([[float(plain_text(v, ROTATION_DIGITS)) for v in row] for row in rotation])
    glove_normal = level_plane_normal(pads @ written)  # the fingertips in glove coordinates
    if abs(abs(glove_normal[2]) - 1.0) > GLOVE_LEVEL_TOLERANCE:
        raise SystemExit(f"{hand.side} glove frame is not level on the flat hand: normal {glove_normal}")
    return rotation


# ---------------------------------------------------------------------------------------------------
# URDF


def urdf_text(hand):
    lines = [
        '<?xml version="1.0"?>',
        f"<!-- {hand.side.capitalize()} hand of the dynamic OpenXR-style hand; generated by "
        "tools/generate_hand_resources.py. -->",
        "<!-- Template wrist frame: x palmar (right) / dorsal (left), y toward the thumb, z toward the "
        "fingertips. -->",
        f'<robot name="{hand.side}_{HAND_TYPE}">',
    ]
    capsules = {c.link: c for c in hand.capsules}
    for link in hand.links():
        capsule = capsules.get(link)
        if capsule is None:
            lines.append(f'  <link name="{link}"/>')
            continue
        mass = capsule.mass()
        length = capsule.length
        ixx = mass * (3 * capsule.radius ** 2 + length ** 2) / 12.0
        izz = 0.5 * mass * capsule.radius ** 2
        lines += [
            f'  <link name="{link}">',
            "    <inertial>",
            f'      <origin xyz="0 0 {num(length / 2)}" rpy="0 0 0"/>',
            f'      <mass value="{num(mass, 6)}"/>',
            f'      <inertia ixx="{num(ixx, 6)}" ixy="0" ixz="0" iyy="{num(ixx, 6)}" iyz="0" izz="{num(izz, 6)}"/>',
            "    </inertial>",
            "  </link>",
        ]
    for joint in hand.joints:
        kind = "revolute" if joint.revolute else "fixed"
        lines += [
            f'  <joint name="{joint.name}" type="{kind}">',
            f'    <origin xyz="{nums(joint.xyz)}" rpy="{nums(rpy_from_rotation(joint.rot))}"/>',
            f'    <parent link="{joint.parent}"/>',
            f'    <child link="{joint.child}"/>',
        ]
        if joint.revolute:
            lines += [
                f'    <axis xyz="{nums(joint.axis)}"/>',
                f'    <limit lower="{num(joint.limits[0])}" upper="{num(joint.limits[1])}" effort="2" '
                'velocity="8"/>',
            ]
        lines.append("  </joint>")
    lines += ["</robot>", ""]
    return "\n".join(lines)


# ---------------------------------------------------------------------------------------------------
# MJCF


def mjcf_text(hand):
    p = hand.prefixed
    capsules = {c.link: c for c in hand.capsules}
    out = [
        f'<mujoco model="{hand.side}_{HAND_TYPE}">',
        f"  <!-- {hand.side.capitalize()} hand of the dynamic OpenXR-style hand; generated by "
        "tools/generate_hand_resources.py. -->",
        "  <!-- Same tree as the URDF of this side: one body per link, one hinge per revolute joint. -->",
        '  <compiler angle="radian" autolimits="true"/>',
        '  <option timestep="0.002" integrator="implicitfast" gravity="0 0 0"/>',
        '  <statistic center="0 0 0.1" extent="0.25"/>',
        "  <visual>",
        '    <headlight ambient="0.35 0.35 0.35" diffuse="0.5 0.5 0.5" specular="0.1 0.1 0.1"/>',
        '    <global azimuth="150" elevation="-20"/>',
        "  </visual>",
        "  <default>",
        '    <joint limited="true" damping="0.03" armature="0.0005"/>',
        '    <position kp="1.5" ctrllimited="true"/>',
        '    <default class="phalanx">',
        '      <geom type="capsule" contype="1" conaffinity="3" condim="3" friction="1 0.005 0.0001" '
        'rgba="0.85 0.7 0.6 1"/>',
        "    </default>",
        '    <default class="bone">',
        '      <geom type="capsule" contype="2" conaffinity="1" condim="3" friction="1 0.005 0.0001" '
        'rgba="0.8 0.65 0.55 1"/>',
        "    </default>",
        '    <default class="visual">',
        '      <geom contype="0" conaffinity="0" group="1" rgba="0.8 0.65 0.55 0.6"/>',
        "    </default>",
        "  </default>",
        "  <worldbody>",
        '    <light name="key_light" pos="0.4 -0.4 0.6" dir="-0.5 0.5 -0.7" directional="true" '
        'diffuse="0.6 0.6 0.6"/>',
        '    <light name="fill_light" pos="-0.4 0.4 0.4" dir="0.5 -0.5 -0.4" directional="true" '
        'diffuse="0.3 0.3 0.3"/>',
    ]

    def emit(link, depth, joint=None):
        pad = "  " * depth
        if joint is None:
            out.append(f'{pad}<body name="{link}" pos="0 0 0">')
        else:
            attrs = f'pos="{nums(joint.xyz)}"'
            if not is_identity(joint.rot):
                attrs += f' quat="{nums(quat_from_rotation(joint.rot))}"'
            out.append(f'{pad}<body name="{link}" {attrs}>')
        inner = pad + "  "
        capsule = capsules.get(link)
        if capsule is None:
            out.append(f'{inner}<inertial pos="0 0 0" mass="0.001" diaginertia="1e-08 1e-08 1e-08"/>')
        if joint is not None and joint.revolute:
            out.append(f'{inner}<joint name="{joint.name}" axis="{nums(joint.axis)}" '
                       f'range="{num(joint.limits[0])} {num(joint.limits[1])}"/>')
        if link == hand.root:
            size = "0.012 0.038 0.036"
            out.append(f'{inner}<geom name="{p("palm_visual")}" class="visual" type="box" size="{size}" '
                       f'pos="{nums(hand.palm_center)}" quat="{nums(quat_from_rotation(hand.palm_rotation))}"/>')
        if capsule is not None:
            out.append(f'{inner}<geom name="{capsule.name}" class="{capsule.cls}" '
                       f'fromto="{nums(capsule.fromto())}" size="{num(capsule.radius)}"/>')
        if link.endswith("_tip"):
            out.append(f'{inner}<site name="{link}_site" size="0.003" rgba="0.2 0.4 0.9 1"/>')
        for child in hand.children(link):
            emit(child.child, depth + 1, child)
        out.append(f"{pad}</body>")

    emit(hand.root, 2)
    out.append("  </worldbody>")

    # Same-finger bones never collide with one another; neither do the thumb and index metacarpals,
    # which lie against each other at the wrist.
    out.append("  <contact>")
    pairs = [("thumb_metacarpal", "thumb_proximal"), ("thumb_metacarpal", "thumb_distal"),
             ("thumb_metacarpal", "index_metacarpal")]
    for finger in LONG_FINGERS:
        word = FINGER_WORD[finger]
        bones = [f"{word}_metacarpal", f"{word}_proximal", f"{word}_intermediate", f"{word}_distal"]
        for i, first in enumerate(bones):
            for second in bones[i + 2 if i > 0 else i + 1:]:
                pairs.append((first, second))
    for first, second in pairs:
        out.append(f'    <exclude body1="{p(first)}" body2="{p(second)}"/>')
    out.append("  </contact>")

    out.append("  <equality>")
    for child, driver, factor in COUPLINGS:
        out.append(f'    <joint name="{p(child)}_coupling" joint1="{p(child)}" joint2="{p(driver)}" '
                   f'polycoef="0 {num(factor)} 0 0 0" solref="0.005 1"/>')
    out.append("  </equality>")

    coupled = {p(c) for c, _, _ in COUPLINGS}
    out.append("  <actuator>")
    for joint in hand.joints:
        if joint.revolute and joint.name not in coupled:
            out.append(f'    <position name="{joint.name}_position" joint="{joint.name}" '
                       f'ctrlrange="{num(joint.limits[0])} {num(joint.limits[1])}"/>')
    out.append("  </actuator>")
    out += ["</mujoco>", ""]
    return "\n".join(out)


# ---------------------------------------------------------------------------------------------------
# Metadata, pose library, configurations


def active_joint_names(hand):
    coupled = {hand.prefixed(c) for c, _, _ in COUPLINGS}
    return [n for n in hand.movable_joint_names() if n not in coupled]


def metadata_text(hands):
    lines = [
        "# Joint metadata of the dynamic OpenXR-style hand; generated by tools/generate_hand_resources.py.",
        "# Angles in radians. Coupled joints follow their driver: dependent = polycoef(independent).",
    ]
    for side in SIDES:
        hand = hands[side]
        p = hand.prefixed
        lines.append(f"{side}:")
        lines.append("  joint_order:")
        lines += [f"    - {name}" for name in hand.movable_joint_names()]
        lines.append("  joint_limits_rad:")
        for joint in hand.joints:
            if joint.revolute:
                lines.append(f"    {joint.name}: {yaml_list(joint.limits)}")
        lines.append("  pose_joint_names:")
        for finger in FINGERS:
            lines.append(f"    {finger}: [{', '.join(p(n) for n in POSE_JOINTS[finger])}]")
        lines.append("  pose_joint_multipliers:")
        for finger in FINGERS:
            lines.append(f"    {finger}: {yaml_list([1.0] * len(POSE_JOINTS[finger]))}")
        lines.append("  fixed_joint_names:")
        lines += [f"    - {name}" for name in hand.fixed_joint_names()]
        lines.append("  active_joint_order:")
        lines += [f"    - {name}" for name in active_joint_names(hand)]
        lines.append("  equality_constraints:")
        for child, driver, factor in COUPLINGS:
            lines += [
                f"    - name: {p(child)}_coupling",
                f"      dependent_joint: {p(child)}",
                f"      independent_joint: {p(driver)}",
                f"      polycoef: {yaml_list([0.0, factor, 0.0, 0.0, 0.0])}",
            ]
        lines.append(f"  wrist_frame_name: {hand.root}")
        lines.append("  fingertip_frame_names:")
        for finger in FINGERS:
            lines.append(f"    {finger}: {p(FINGER_WORD[finger] + '_tip')}")
    lines.append("")
    return "\n".join(lines)


CALIBRATION_STAGES = [
    ("close", "flat_reference", "close", "五指自然并拢并保持。", "five_close", list(FINGERS), None, 3.0),
    ("open", "flat_reference", "open", "五指自然张开并保持。", "open", list(FINGERS), None, 0.5),
    ("mcp90", "bent_reference", "mcp90", "四指根关节弯曲约 90 度并保持。", "mcp90", list(LONG_FINGERS), None,
     4.0),
    ("pinch_first", "tip_offset", "pinch", "拇指与食指指腹轻触并保持。", None, [], "first", 0.0),
    ("pinch_middle", "tip_offset", "pinch", "拇指与中指指腹轻触并保持。", None, [], "middle", 0.0),
    ("pinch_ring", "tip_offset", "pinch", "拇指与无名指指腹轻触并保持。", None, [], "ring", 0.0),
    ("pinch_little", "tip_offset", "pinch", "拇指与小指指腹轻触并保持。", None, [], "little", 0.0),
]


def pose_library_text(poses):
    lines = [
        "# Named poses of the dynamic OpenXR-style hand and its calibration profile; generated by",
        "# tools/generate_hand_resources.py. finger_angles_rad lists, per finger, the values of the",
        "# metadata's pose_joint_names (coupled joints are recomputed from their drivers).",
        "poses:",
    ]
    for name, angles in poses.items():
        lines.append(f"  - name: {name}")
        lines.append("    finger_angles_rad:")
        for finger in FINGERS:
            lines.append(f"      {finger}: {yaml_list(angles[finger], 6)}")
    lines += ["calibration:", "  profile_version: 1", "  stages:"]
    for sid, role, kind, prompt, pose, fingers, partner, weight in CALIBRATION_STAGES:
        lines += [
            f"    - id: {sid}",
            f"      role: {role}",
            f"      gesture_kind: {kind}",
            f'      prompt: "{prompt}"',
        ]
        if pose is not None:
            lines.append(f"      reference_pose: {pose}")
        lines.append(f"      fingers: [{', '.join(fingers)}]")
        if partner is not None:
            lines.append(f"      partner_finger: {partner}")
        lines += ["      sample_count: 30", f"      weight: {num(weight)}"]
    basic = [s[0] for s in CALIBRATION_STAGES[:3]]
    enhanced = [s[0] for s in CALIBRATION_STAGES]
    lines += [
        "  modes:",
        "    basic:",
        f"      stages: [{', '.join(basic)}]",
        "    enhanced:",
        f"      stages: [{', '.join(enhanced)}]",
        "",
    ]
    return "\n".join(lines)


def system_text(hands, poses):
    right = hands["right"]
    lines = [
        "# System configuration of the dynamic OpenXR-style hand; generated by",
        "# tools/generate_hand_resources.py. Link and joint names are given for the right hand; the left",
        "# hand reads them with the side prefix swapped.",
        "hand:",
        f"  type: {HAND_TYPE}",
        "  default_side: right",
        "  rest_pose: open",
        f"  wrist_link: {right.root}",
        "  wrist_offset: [0, 0, 0]",
        "  fingers:",
    ]
    for finger in FINGERS:
        lines += [
            f"    {finger}:",
            f"      fingertip_link: {right.prefixed(FINGER_WORD[finger] + '_tip')}",
            f"      fingertip_frame: {finger}",
            '      fingertip_direction_axis: "+z"',
            '      fingertip_pad_axis_right: "+x"',
            '      fingertip_pad_axis_left: "-x"',
            f"      tip_offset_right: {yaml_list(pad_offset(finger, 'right'))}",
            f"      tip_offset_left: {yaml_list(pad_offset(finger, 'left'))}",
        ]
    lines += [
        "retargeting:",
        f"  finger_order: [{', '.join(FINGERS)}]",
        "tip_mapping:",
    ]
    for side in SIDES:
        lines += [
            f"  {side}:",
            "    rotation_matrix:",
        ]
        lines += [f"      - {full_list(row)}" for row in glove_rotation(hands[side], poses)]
        lines += [
            "    human_hand_scale: 1.0",
            f"    palm_offset_local: {yaml_list(GLOVE_ORIGIN)}",
            "    input_tip_offset_local:",
        ]
        lines += [f"      {finger}: [0, 0, 0]" for finger in FINGERS]
        lines += [
            "    pinch_model:",
            "      enabled: true",
            f"      candidate_fingers: [{', '.join(LONG_FINGERS)}]",
            "      epsilon1_m: 0.03",
            "      epsilon2_m: 0.01",
            "      switch_gain: 50.0",
            "      thumb_compensation_weight: 0.0",
            "      finger_compensation_weight: 1.0",
            "      contact_distance_m: 0.0",
            "    tripod_pinch:",
            "      enabled: false",
            "      fingers: [first, middle]",
            "      alignment_axis: x",
            "    dynamic_palm_offset_by_finger_plane:",
            "      enabled: false",
            "      flat_z: 0.11261015",
            "      bent_z: 0.07261015",
            "      max_angle_deg: 65.0",
            "    dynamic_thumb_adduction_offset:",
            "      enabled: false",
            "    side_touch_plane_constraint:",
            "      enabled: false",
        ]
    lines += [
        "joint_smoother:",
        "  enabled: true",
        "  alpha: 0.45",
        "  deadband_rad: 0.0",
        "solver:",
        "  weights:",
        "    shape: 5.0",
        "    pinch: 10.0",
        "    pinch_pad_alignment: 0.0",
        "    orientation: 0.005",
        "    pinch_mode: relative",
        "    orientation_axis_weights:",
        "      x: 1.0",
        "      y: 0.0",
        "      z: 0.0",
        # The solver settings below were tuned on this hand fed by the synthetic glove along smooth 200 Hz
        # sweeps (smoother off): reachable targets, a glove with 0.3 mm noise, and hands 15 % and 30 % larger
        # than the model. Costs are absolute: one fingertip off by e metres costs 0.5 * 5 * e^2.
        "  joint_regularization:",
        # Pull toward the open rest pose. It keeps the thumb, whose five joints meet its fingertip position
        # and pointing with little to spare, on its natural branch: at 1e-5 a fast sweep drove it onto a
        # branch with the metacarpal flexed and the next joint pinned at its limit, 5 mm off target, where
        # it stayed. It also biases every flexed finger toward rest: 3e-5 costs a few hundredths of a
        # millimetre on average, 1e-4 about 0.25 mm.
        "    default_weight: 3.0e-5",
        "  velocity_regularization:",
        # Pull toward the previous frame's joints. It holds what the fingertip terms leave loose: sensor
        # noise, and targets beyond reach, where the fingers otherwise jerk between their joint limits (joint
        # second difference RMS for a hand 30 % larger: 1.7e-2 rad at 5e-4, 1.2e-2 at 7e-4, 6e-3 at 1e-3).
        # Its prices: lag behind a moving hand (mean fingertip error 0.17 mm at 7e-4, 0.19 at 1e-3, 0.29 at
        # 2e-3), and, since calibration solves from the rest pose, a pull toward rest there: above 7e-4 the
        # pinch fingertip offset fit and the calibrated fingertip errors get worse.
        "    default_weight: 7.0e-4",
        "  optimizer:",
        # Only a cap for the solve after a jump of the glove (first frame, reconnection); a tracking solve
        # ends by itself after about six iterations: two or three steps, then the refusals that raise the
        # damping past the solver's limit of 1e6 (see gn_damping_growth).
        "    gn_max_iters: 8",
        # Least decrease a step must bring, and the cost under which the tolerance stops may end a solve.
        # 1e-8 is one fingertip 0.06 mm off. At 1e-4 (6 mm) almost every tracking step was refused and the
        # hand trailed the glove by millimetres; 1e-9 gains 0.01 mm for 40 % more iterations.
        "    ftol: 1.0e-8",
        # Step and gradient stops. Both also need the cost under ftol, which the joint terms keep it above
        # once a finger is flexed, so they end only solves near the rest pose; a 1e-4 rad step moves a
        # fingertip by 0.01 mm at most.
        "    xtol: 1.0e-4",
        "    gtol: 1.0e-4",
        # Damping and its floor: about 1 % of the smallest fingertip curvature of the normal equations
        # (distal joints, 5 * 0.025^2 = 3e-3), so a step is nearly the full Gauss-Newton step.
        "    gn_damping: 1.0e-4",
        # After a refused step the damping grows a thousandfold and the solver tries again with a shorter,
        # more gradient-like step; four refusals in a row (1e-4, 0.1, 100, 1e5) end the solve. Where the
        # targets cannot be met exactly (orientations that disagree with the positions, fingertips beyond
        # reach), the full step is often refused while joints sit at their limits, and only the damped steps
        # move the hand on: with 1e11 (a refused step ended the solve) the hand stood still in up to 99 % of
        # the frames of such streams, with 3e3 in 2 %, with 1e3 and 300 in none. 1e3 keeps the reachable
        # tracking figures (0.16 mm mean, 0.30 mm max) for about 3 % more work per engine step than 1e11.
        "    gn_damping_growth: 1000.0",
        # Back to the floor after a few accepted steps; 0.1 and 0.001 made the larger hands jerk more.
        "    gn_damping_shrink: 0.5",
        # One scale: the growing damping shortens a refused step already, and the halvings that rescued
        # steps when a refusal ended the solve changed none of the figures above (nor the solves after a
        # random jump of the glove) while each costs a forward kinematics evaluation.
        "    gn_step_scales: [1.0]",
        "  coarse_to_fine:",
        "    enabled: false",
        "    finger: thumb",
        "    variable_joint_names: [thumb_cmc_abduction, thumb_cmc_flexion, thumb_mcp_flexion]",
        "    max_iters: 2",
        "    damping: 0.0001",
        "    max_step_rad: 0.5",
        "    orientation_multiplier: 8.0",
        "  error_reseed:",
        "    enabled: false",
        "    shape_max_threshold_m: 0.08",
        "  output_hold_when_stalled:",
        "    enabled: false",
        "    target_delta_threshold_m: 0.002",
        "    shape_delta_threshold_m: 0.0002",
        "    q_delta_norm_threshold_rad: 0.001",
        "  output_velocity_limit:",
        "    enabled: false",
        "    max_velocity_rad_s: 6.0",
        "    max_dt_s: 0.016666666666666666",
        "calibration:",
        "  input_tip_offset_local:",
        "    frozen_axes_by_side:",
    ]
    for side in SIDES:
        lines.append(f"      {side}:")
        lines += [f"        {finger}: []" for finger in FINGERS]
    lines += [
        "kelto_sdk:",
        "  physics_enabled: false",
        "viewer:",
        "  physics_enabled: false",
        "  physics_steps_per_render: 8",
        "  physics_reset_qvel: false",
        "  physics_iterations: 50",
        "  physics_ls_iterations: 20",
        "",
    ]
    return "\n".join(lines)


def runtime_config_text():
    lines = [
        "# Glove runtime configuration of the dynamic OpenXR-style hand; generated by",
        "# tools/generate_hand_resources.py. Filter alphas are the weight of each new sample (0..1);",
        "# rpy_bias_deg adds a fixed roll, pitch, yaw (degrees) to a finger's orientation.",
        "glove:",
        "  position_filter_alpha: 0.35",
        "  orientation_filter_alpha: 0.25",
        "  rpy_bias_deg:",
    ]
    lines += [f"    {finger}: []" for finger in FINGERS]
    lines.append("")
    return "\n".join(lines)


# ---------------------------------------------------------------------------------------------------


def generate():
    hands = {side: build_hand(side) for side in SIDES}
    poses = build_poses(hands["right"])
    files = {
        HAND_DIR / f"{HAND_TYPE}_system.yaml": system_text(hands, poses),
        HAND_DIR / "config.yaml": runtime_config_text(),
        HAND_DIR / "pose_library.yaml": pose_library_text(poses),
        HAND_DIR / "resources" / "pinocchio" / "metadata.yaml": metadata_text(hands),
    }
    for side in SIDES:
        files[HAND_DIR / "resources" / "pinocchio" / f"{side}.urdf"] = urdf_text(hands[side])
        files[HAND_DIR / "resources" / "mujoco" / f"{side}.xml"] = mjcf_text(hands[side])
    return files


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true",
                        help="compare the committed files with the generator's output")
    args = parser.parse_args(argv)
    files = generate()
    if args.check:
        differing = []
        for relative, text in files.items():
            path = ROOT / relative
            if not path.is_file() or path.read_bytes() != text.encode("utf-8"):
                differing.append(str(relative))
        if differing:
            print("hand resources differ from tools/generate_hand_resources.py output:")
            for name in differing:
                print(f"  {name}")
            print("run tools/generate_hand_resources.py to regenerate them")
            return 1
        print(f"hand resources match the generator ({len(files)} files)")
        return 0
    for relative, text in files.items():
        path = ROOT / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(text.encode("utf-8"))
        print(f"wrote {relative}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
