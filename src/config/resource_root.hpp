// The process-wide directory under which hand resources are looked up.
#pragma once

#include <filesystem>

namespace kelto::hand {

// Replaces the resource root. Not synchronised: set it before any thread looks up models.
void set_runtime_resource_root(const std::filesystem::path& root);

// The resource root; empty until it is first set.
std::filesystem::path runtime_resource_root();

}  // namespace kelto::hand
