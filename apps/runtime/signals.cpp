#include "runtime/signals.hpp"

#include <csignal>

namespace kelto::hand::runtime {

static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

std::atomic<bool> running{true};

void on_signal(int /*signal_number*/) {
  running.store(false);
}

void install_signal_handlers() {
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
}

}  // namespace kelto::hand::runtime
