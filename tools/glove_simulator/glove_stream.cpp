#include "glove_simulator/glove_stream.hpp"

namespace kelto::hand::simulator {

GloveStream::GloveStream(const GloveStreamOptions& options)
    : glove_(options.glove),
      script_(make_motion_script(options.script, glove_.kinematics(), glove_.finger_order())),
      format_(options.format),
      invalid_every_(options.invalid_every) {}

std::string GloveStream::next_line(double t_s) {
  ++lines_;
  const GloveFeatureFrame frame = glove_.frame(sample_motion(script_, t_s), t_s);
  if (invalid_every_ > 0 && lines_ % invalid_every_ == 0) {
    return write_invalid_glove_line(invalid_line_kind(invalid_++), frame, glove_.finger_order(), format_);
  }
  return write_glove_line(frame, glove_.finger_order(), format_);
}

}  // namespace kelto::hand::simulator
