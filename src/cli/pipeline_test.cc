// The ordered writer against the order its tasks were given in, whatever
// order they finish in; the line pipeline against lines that fail.
#include "cli/pipeline.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/cli_test_util.h"
#include "cli/input.h"
#include "kelvra/common/json_writer.h"

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

// Blocks handed to the writing thread, direct writes and the buffer reach
// a slowly read pipe in the order they were made, whatever their mix; a
// block that cannot be written fails the next call that writes.
TEST(Output, HandedOverBlocksKeepTheirPlaceAmongOtherWritesAndFailLater) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string got;
  std::thread reader([&] {
    char chunk[1 << 16];
    for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) > 0;) {
      got.append(chunk, static_cast<std::size_t>(n));
      if (got.size() % 7 == 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });
  std::string expected;
  {
    Output output(fds[1]);
    std::mt19937 random(7);
    for (int i = 0; i < 300; ++i) {
      std::string block(random() % (i % 50 == 0 ? 3'000'000 : 20'000),
                        static_cast<char>('a' + i % 26));
      expected += block;
      switch (random() % 3) {
        case 0: {
          std::string owned = output.spare_block();
          owned += block;
          output.write_owned(std::move(owned));
          break;
        }
        case 1:
          output.write(block);
          break;
        default:
          output.buffer() += block;  // handed over with the next block, or flushed
      }
    }
    output.flush();
    EXPECT_EQ(output.position(), expected.size());
  }
  ::close(fds[1]);
  reader.join();
  ::close(fds[0]);
  EXPECT_TRUE(got == expected) << got.size() << " bytes read, " << expected.size() << " written";

  const int read_only = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  Output refused(read_only);
  refused.write_owned(std::string(1000, 'x'));
  EXPECT_THAT([&] { refused.flush(); }, ::testing::ThrowsMessage<OutputError>(
                                            ::testing::HasSubstr("cannot write the output")));
  EXPECT_THROW(refused.write_owned(std::string(10, 'y')), OutputError);
  ::close(read_only);
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

// --- run_lines ---

// Standard output and error of a run_lines call, caught in files.
struct Caught {
  std::string out, err;
  std::string failure;  // what the run threw, if it did
};

Caught caught_run(const std::string& input, const StreamOptions& options, const LineWork& work) {
  const std::string in = temp_path(".in"), out = temp_path(".out"), err = temp_path(".err");
  { std::ofstream(in, std::ios::binary) << input; }
  std::fflush(stderr);
  const int saved_out = ::dup(STDOUT_FILENO), saved_err = ::dup(STDERR_FILENO);
  const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ::dup2(out_fd, STDOUT_FILENO);
  ::dup2(err_fd, STDERR_FILENO);
  Caught caught;
  try {
    InputFile file(in);
    run_lines(file, options, "test", work);
  } catch (const std::exception& e) {
    Output::standard().flush();
    caught.failure = e.what();
  }
  std::fflush(stderr);
  ::dup2(saved_out, STDOUT_FILENO);
  ::dup2(saved_err, STDERR_FILENO);
  for (int fd : {saved_out, saved_err, out_fd, err_fd}) ::close(fd);
  caught.out = slurp(out);
  caught.err = slurp(err);
  return caught;
}

// Running out of memory on one line is that line's failure, named with its
// place: skipped under --skip-bad, else the end of the run after the lines
// before it. Its partial output goes, also from a huge line whose output
// was already being written (the output is a regular file here).
TEST(RunLines, RunningOutOfMemoryOnOneLineIsThatLinesFailure) {
  const std::string huge(std::size_t{17} << 20, 'h');
  const std::string input = "a\nb\n" + huge + "\nc\n";
  const LineWork work = [](std::string_view line, std::int64_t, JsonWriter& json) {
    json.string(line);
    if (line == "b" || line.size() > 1000) {
      json.string(std::string(std::size_t{1} << 20, 'x'));  // past what a writer holds back
      throw std::bad_alloc();
    }
    json.end_line();
  };
  for (int jobs : {1, 2}) {
    const Caught skipped = caught_run(input, StreamOptions{jobs, true}, work);
    EXPECT_EQ(skipped.failure, "");
    EXPECT_EQ(skipped.out, "\"a\"\n\"c\"\n") << jobs << " jobs";
    EXPECT_THAT(skipped.err, ::testing::HasSubstr(":2: out of memory working on this line (1 "
                                                  "bytes) (skipped)"));
    EXPECT_THAT(skipped.err, ::testing::HasSubstr(":3: out of memory working on this line (" +
                                                  std::to_string(huge.size()) + " bytes)"));
    EXPECT_THAT(skipped.err, ::testing::HasSubstr("skipped 2 bad lines"));
    const Caught stopped = caught_run(input, StreamOptions{jobs, false}, work);
    EXPECT_THAT(stopped.failure, ::testing::HasSubstr(":2: out of memory working on this line"));
    EXPECT_EQ(stopped.out, "\"a\"\n");
  }
}

}  // namespace
}  // namespace kelvra::cli
