// The SDK handle: the resource root its front doors find hands under, and its last failure text.
#pragma once

#include <filesystem>
#include <string>

struct kx_sdk {
  std::filesystem::path resource_root;
  std::string last_error;
};
