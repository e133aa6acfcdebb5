// The C interface is tested the way callers meet it: through the exported names of the built shared
// library, loaded at run time. KX(kx_name) gives the library's function with the header's signature.
#pragma once

#include <dlfcn.h>

#include <stdexcept>
#include <string>

namespace kelto::test {

inline void* shared_library_handle() {
  static void* handle = [] {
    void* loaded = ::dlopen(KELTO_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (loaded == nullptr) {
      const char* reason = ::dlerror();
      throw std::runtime_error(std::string("cannot load ") + KELTO_SHARED_LIBRARY + ": " +
                               (reason != nullptr ? reason : "unknown reason"));
    }
    return loaded;
  }();
  return handle;
}

template <typename Function>
Function* exported_function(const char* name) {
  void* symbol = ::dlsym(shared_library_handle(), name);
  if (symbol == nullptr) throw std::runtime_error(std::string("the library does not export ") + name);
  return reinterpret_cast<Function*>(symbol);
}

}  // namespace kelto::test

#define KX(name) (::kelto::test::exported_function<decltype(name)>(#name))
