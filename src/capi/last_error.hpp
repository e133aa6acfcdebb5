// Error texts at the C boundary: the calling thread's text and the guard that keeps exceptions inside.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "kelto_hand.h"

namespace kelto::hand::detail {

// The calling thread's last error text; empty until something sets it.
std::string& thread_last_error();

// Replaces the calling thread's text.
void fail(const std::string& message);

// Empties the calling thread's text.
void clear_thread_error();

// Runs `body`, which returns a status. An exception thrown by it becomes KX_STATUS_INTERNAL_ERROR and
// its text is handed to `report`: a standard exception's message, else `unknown_text`. Nothing escapes,
// not even a failure while reporting.
template <typename Body, typename Report>
kx_status guard(const char* unknown_text, Body&& body, Report&& report) {
  const char* text = unknown_text;
  std::string message;
  try {
    return std::forward<Body>(body)();
  } catch (const std::exception& error) {
    try {
      message = error.what();
      text = message.c_str();
    } catch (...) {
    }
  } catch (...) {
  }
  try {
    report(std::string(text));
  } catch (...) {
  }
  return KX_STATUS_INTERNAL_ERROR;
}

// The common case: the caught text goes to the calling thread only.
template <typename Body>
kx_status guard_thread(const char* unknown_text, Body&& body) {
  return guard(unknown_text, std::forward<Body>(body), [](const std::string& text) { fail(text); });
}

}  // namespace kelto::hand::detail
