// The ordered writer of the streaming subcommands: how fast the thread that
// writes hands finished buffers to the system, here /dev/null, so that only
// its own work is measured. The workers' buffers go out as they are, several
// to a vectored write; for comparison, the same bytes first copied into one
// output buffer, as a writer that gathers its output would.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>

#include "cli/output.h"

namespace {

// `count` buffers of `bytes` each, as workers would hand them over.
std::vector<std::string> worker_buffers(int count, std::size_t bytes) {
  std::vector<std::string> buffers;
  for (int i = 0; i < count; ++i) buffers.emplace_back(bytes, static_cast<char>('a' + i % 26));
  return buffers;
}

int dev_null() {
  static const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  return fd;
}

void BM_WriteBlocks(benchmark::State& state) {
  const auto buffers =
      worker_buffers(static_cast<int>(state.range(0)), std::size_t(state.range(1)));
  std::vector<std::string_view> blocks(buffers.begin(), buffers.end());
  kelvra::cli::Output output(dev_null());
  for (auto _ : state) output.write_blocks(blocks);
  state.SetBytesProcessed(state.iterations() * state.range(0) * state.range(1));
}
BENCHMARK(BM_WriteBlocks)
    ->Args({1, 1 << 20})
    ->Args({4, 1 << 20})
    ->Args({4, 16 << 20})
    ->Args({16, 1 << 16});

void BM_CopyThenWrite(benchmark::State& state) {
  const auto buffers =
      worker_buffers(static_cast<int>(state.range(0)), std::size_t(state.range(1)));
  kelvra::cli::Output output(dev_null());
  for (auto _ : state) {
    for (const std::string& buffer : buffers) output.write(buffer);
    output.flush();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0) * state.range(1));
}
BENCHMARK(BM_CopyThenWrite)->Args({4, 1 << 20})->Args({4, 16 << 20});

}  // namespace

BENCHMARK_MAIN();
