// The ordered writer against the order its tasks were given in, whatever
// order they finish in.
#include "cli/pipeline.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "cli/cli_test_util.h"

namespace kelvra::cli {
namespace {

using namespace kelvra::cli::testing;

// What the tasks wrote, read back from the file `output` wrote to.
struct FileOutput {
  std::string path = temp_path(".out");
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  Output output{fd};
  ~FileOutput() { ::close(fd); }
  std::string written() {
    output.flush();
    return slurp(path);
  }
};

// Task `i` writes "i\n" (repeated, so that sizes differ) after a random
// pause, so that tasks finish out of order.
OrderedOutput::Task numbered_task(int i, int pause_us, bool fail = false) {
  return [=](std::string& out) {
    std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
    if (fail) throw std::runtime_error("task " + std::to_string(i) + " failed");
    for (int k = 0; k <= i % 3; ++k) out += std::to_string(i) + "\n";
  };
}

std::string expected_for(int first, int end) {
  std::string expected;
  for (int i = first; i < end; ++i)
    for (int k = 0; k <= i % 3; ++k) expected += std::to_string(i) + "\n";
  return expected;
}

TEST(OrderedOutput, WritesInTheOrderGivenForAnyThreadsAndWindow) {
  std::mt19937 rng(3);
  for (int threads : {1, 2, 5}) {
    for (std::size_t in_flight : {1, 3, 16}) {
      FileOutput file;
      ThreadPool pool(threads);
      OrderedOutput ordered(pool, file.output, in_flight);
      for (int i = 0; i < 60; ++i) ordered.submit(numbered_task(i, static_cast<int>(rng() % 300)));
      ordered.finish();
      pool.finish();
      const std::string expected = expected_for(0, 60);
      EXPECT_EQ(file.written(), expected) << threads << " threads, " << in_flight << " in flight";
      EXPECT_EQ(ordered.bytes_written(), expected.size());
    }
  }
}

TEST(OrderedOutput, AFailureComesOutAfterTheOutputsBeforeIt) {
  FileOutput file;
  ThreadPool pool(4);
  OrderedOutput ordered(pool, file.output, 8);
  try {
    // The failing task finishes first; the slower ones before it still go out.
    for (int i = 0; i < 12; ++i) ordered.submit(numbered_task(i, i == 7 ? 0 : 2000, i == 7));
    ordered.finish();
    FAIL() << "the task's failure was lost";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "task 7 failed");
  }
  EXPECT_EQ(file.written(), expected_for(0, 7));
}

}  // namespace
}  // namespace kelvra::cli
