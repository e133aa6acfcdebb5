// The C interface is tested the way callers meet it: through the exported names of the built shared
// library, loaded at run time. KX(kx_name) gives the library's function with the header's signature.
#pragma once

#include <dlfcn.h>

#include <stdexcept>
#include <string>

namespace kelto::test {

template <typename Function>
Function* exported_function(const char* name) {
  static void* const handle = ::dlopen(KELTO_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  void* symbol = handle != nullptr ? ::dlsym(handle, name) : nullptr;
  if (symbol == nullptr)
    throw std::runtime_error(std::string("no export ") + name + " in " + KELTO_SHARED_LIBRARY);
  return reinterpret_cast<Function*>(symbol);
}

}  // namespace kelto::test

#define KX(name) (::kelto::test::exported_function<decltype(name)>(#name))
