#include "config/resource_root.hpp"

namespace kelto::hand {
namespace {

std::filesystem::path& resource_root_storage() {
  static std::filesystem::path root;
  return root;
}

}  // namespace

void set_runtime_resource_root(const std::filesystem::path& root) {
  resource_root_storage() = root;
}

std::filesystem::path runtime_resource_root() {
  return resource_root_storage();
}

}  // namespace kelto::hand
