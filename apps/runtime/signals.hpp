// The program's run flag: true until SIGINT or SIGTERM arrives. The run loop and the calibration capture
// test it between their bounded waits.
#pragma once

#include <atomic>

namespace kelto::hand::runtime {

extern std::atomic<bool> running;

// The handler for SIGINT and SIGTERM: clears `running` and does nothing else.
void on_signal(int signal_number);

// Installs on_signal for SIGINT, then for SIGTERM.
void install_signal_handlers();

}  // namespace kelto::hand::runtime
