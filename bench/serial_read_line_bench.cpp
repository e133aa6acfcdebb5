// Time for SerialPort::read_line to hand out one long line that arrives in reads of at most 4096 bytes,
// as a glove line on its way to the 1 MiB limit does; the search for its line feed looks at each byte
// once, so the time per byte stays flat as the line grows.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "runtime/serial_port.hpp"

namespace {

using kelto::hand::runtime::SerialPort;

// The glove's end of a pseudo-terminal; the port under test holds the other end.
struct GloveEnd {
  GloveEnd() : master(::posix_openpt(O_RDWR | O_NOCTTY)) {
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) throw std::runtime_error("no pty");
    port.open(::ptsname(master), 115200);
  }
  ~GloveEnd() { ::close(master); }
  void send(const std::string& bytes) const {
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t n =
          ::write(master, bytes.data() + done, std::min<std::size_t>(4096, bytes.size() - done));
      if (n > 0) done += static_cast<std::size_t>(n);
    }
  }
  int master;
  SerialPort port;
};

void BM_ReadLongLine(benchmark::State& state) {
  const auto length = static_cast<std::size_t>(state.range(0));
  const std::string line = std::string(length, 'x') + "\n";
  GloveEnd glove;
  for (auto _ : state) {
    std::thread writer([&] { glove.send(line); });
    const std::optional<std::string> received = glove.port.read_line(std::chrono::seconds(10));
    writer.join();
    if (!received || received->size() != length) state.SkipWithError("the line did not arrive whole");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * length));
}
BENCHMARK(BM_ReadLongLine)->Arg(64 << 10)->Arg(256 << 10)->Arg(1000 << 10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
