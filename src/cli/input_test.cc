// Batches of lines and whole inputs against the file they were read from,
// on random files.
#include "cli/input.h"

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "cli/cli_test_util.h"
#include "cli/thread_pool.h"

namespace kelvra::cli {
namespace {

using namespace kelvra::cli::testing;

// Random lines of random lengths, some empty, some long, ended by LF or
// CRLF, the last one sometimes without a line end.
std::string random_lines(std::mt19937& rng, std::size_t bytes) {
  std::string text;
  std::uniform_int_distribution<int> kind(0, 9);
  while (text.size() < bytes) {
    const int k = kind(rng);
    const std::size_t length = k == 0 ? 0 : k == 1 ? 5000 + rng() % 20000 : rng() % 200;
    for (std::size_t i = 0; i < length; ++i) text.push_back(static_cast<char>('a' + rng() % 26));
    text += k == 2 ? "\r\n" : "\n";
  }
  if (rng() % 2 == 0) text.pop_back();
  return text;
}

TEST(LineBatcher, CutsAtLineEndsAndNumbersLinesAndBytes) {
  std::mt19937 rng(7);
  for (int round = 0; round < 30; ++round) {
    const std::string text = round == 0 ? "" : random_lines(rng, rng() % 200000);
    const std::size_t batch_bytes = 1 + rng() % 30000;
    InputFile input(write_file(text));
    LineBatcher batches(input, batch_bytes);
    Batch batch;
    std::string joined;
    std::int64_t line = 1;
    while (batches.next(batch)) {
      const std::string_view view = batch.text.view();
      ASSERT_FALSE(view.empty());
      EXPECT_EQ(batch.first_byte, joined.size());
      EXPECT_EQ(batch.first_line, line);
      joined += view;
      // Whole lines only: only the input's last line may lack its line feed.
      if (joined.size() < text.size()) {
        ASSERT_EQ(view.back(), '\n') << "round " << round;
      }
      for (char c : view) line += c == '\n';
      if (view.back() != '\n') ++line;
    }
    EXPECT_EQ(joined, text) << "round " << round;
  }
}

TEST(WholeInput, ReadsTheSameTextInPartsAsInOneGo) {
  std::mt19937 rng(11);
  // Large enough to be read in parts by the pool, and not a multiple of a part.
  const std::string text = random_lines(rng, (std::size_t{9} << 20) + 12345);
  const std::string path = write_file(text);
  ThreadPool pool(3);
  for (ThreadPool* with : {static_cast<ThreadPool*>(nullptr), &pool}) {
    InputFile input(path);
    const WholeInput whole(input, with);
    EXPECT_TRUE(whole.text() == text) << (with ? "in parts" : "in one go");
  }
  pool.finish();
}

}  // namespace
}  // namespace kelvra::cli
