// Personalised MJCF of the OpenXR-style hand: the side's template with the user's bone lengths and palm
// landmarks written into it, published in the generated-model cache.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kelto::hand {
class Config;
}

namespace kelto::hand::detail {

// Replaces the value of `attribute` in the start tag of the first element that begins with
// `<tag name="name"`. Throws "Dynamic OpenXR XML missing <name>" when there is no such element and
// "Dynamic OpenXR XML missing attribute <attribute>" when its start tag lacks the attribute.
void set_xml_attribute(std::string& xml, const std::string& tag, const std::string& name,
                       const std::string& attribute, const std::string& value);

// The template text edited for the configured anthropometry (relative skin paths made absolute, bone
// lengths, palm layout). Empty when the hand type or the configuration asks for no change to the model.
std::optional<std::string> personalised_openxr_mjcf(const std::filesystem::path& model, const Config& config,
                                                    const std::string& side);

// Writes `text` to `output` through a temporary file in the same directory and a rename, so that a
// reader never sees a half-written file and a failure leaves no temporary file behind.
void publish_mjcf_cache_file(const std::filesystem::path& output, const std::string& text);

// The model file the physics observer loads: `model` itself, or the personalised copy
// <cache dir>/<stem>_<side>.xml, which then belongs to the caller.
std::filesystem::path dynamic_openxr_model(const std::filesystem::path& model, const Config& config,
                                           const std::string& side);

}  // namespace kelto::hand::detail
