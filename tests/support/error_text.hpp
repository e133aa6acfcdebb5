// The message of the exception a call throws: the tests' tables compare it with the texts callers see.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace kelto::test {

// The message of what `call` throws, or "no exception" when it returns.
template <typename Call>
std::string error_text(Call&& call) {
  try {
    std::forward<Call>(call)();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no exception";
}

}  // namespace kelto::test
