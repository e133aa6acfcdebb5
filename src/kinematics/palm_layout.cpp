#include "kinematics/palm_layout.hpp"

namespace kelto::hand::detail {

namespace {

// The left table is measured on the left template itself, so it is close to, but not exactly, the
// right table mirrored in x.
const PalmLayoutTable kRightTable = {{
    {"thumb_cmc",
     "thumb",
     "thumb_cmc_abduction",
     {0.01791378856, 0.02917817421, 0.02529839985},
     {0.01791378856, 0.02917817421, 0.02529839985}},
    {"first_mcp",
     "first",
     "index_metacarpal_fixed",
     {-0.0110400066222, 0.0373887227753, 0.0856472995507},
     {0.00155722315, 0.02107323706, 0.0147868637}},
    {"middle_mcp",
     "middle",
     "middle_metacarpal_fixed",
     {-0.0163691827829, 0.00946094353832, 0.0857296730851},
     {-0.002177313436, 0.00711954385, 0.01631873846}},
    {"ring_mcp",
     "ring",
     "ring_cmc_cup",
     {-0.00970091940494, -0.0132089374615, 0.0813390002479},
     {-0.0005134355742, -0.006545122713, 0.01634769328}},
    {"little_mcp",
     "little",
     "little_cmc_opposition",
     {0.00228678626667, -0.0376494808459, 0.0752327396856},
     {0.002478150884, -0.01898136921, 0.0152135836}},
}};

const PalmLayoutTable kLeftTable = {{
    {"thumb_cmc",
     "thumb",
     "thumb_cmc_abduction",
     {-0.0179138016, 0.02917803824, 0.02529831976},
     {-0.0179138016, 0.02917803824, 0.02529831976}},
    {"first_mcp",
     "first",
     "index_metacarpal_fixed",
     {0.0110399799606, 0.0373887937421, 0.0856473292338},
     {-0.001557245036, 0.02107322961, 0.01478697266}},
    {"middle_mcp",
     "middle",
     "middle_metacarpal_fixed",
     {0.0163690540737, 0.00946093536779, 0.0857297262748},
     {0.002177304821, 0.007119543385, 0.01631883532}},
    {"ring_mcp",
     "ring",
     "ring_cmc_cup",
     {0.00970092826314, -0.0132089553135, 0.0813390547869},
     {0.0005134225357, -0.006545126438, 0.01634766161}},
    {"little_mcp",
     "little",
     "little_cmc_opposition",
     {-0.00228680375259, -0.0376494576257, 0.0752327896856},
     {-0.002478157403, -0.0189813748, 0.01521364041}},
}};

}  // namespace

const PalmLayoutTable& palm_layout_table(const std::string& side) {
  return side == "right" ? kRightTable : kLeftTable;
}

}  // namespace kelto::hand::detail
