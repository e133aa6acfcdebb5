// Personalised URDF of the OpenXR-style hand: bone lengths and palm landmarks from the anthropometry
// are written into the side's template, and the result is cached per bone file and side.
#pragma once

#include <filesystem>
#include <string>

namespace kelto::hand {

class Config;

namespace detail {

// Returns the template path when nothing is to be generated, else the freshly written cache file.
std::filesystem::path dynamic_openxr_urdf(const std::filesystem::path& template_urdf, const Config& config,
                                          const std::string& side);

}  // namespace detail
}  // namespace kelto::hand
