// Writes a deterministic Chinese corpus for the command-line benchmarks:
//   make_corpus BYTES FILE [SEED]
// Paragraphs end with a line feed, so the file serves both the whole-text
// subcommands and the ones that take a line at a time.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/corpus.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: make_corpus BYTES FILE [SEED]\n");
    return 2;
  }
  char* end = nullptr;
  const unsigned long long bytes = std::strtoull(argv[1], &end, 10);
  if (*end != '\0' || bytes == 0) {
    std::fprintf(stderr, "make_corpus: BYTES must be a positive number, got %s\n", argv[1]);
    return 2;
  }
  const auto seed = argc == 4 ? static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10)) : 1u;
  const std::string text = kelvra::bench::chinese_corpus(bytes, seed);
  FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr || std::fwrite(text.data(), 1, text.size(), out) != text.size() ||
      std::fclose(out) != 0) {
    std::perror(argv[2]);
    return 1;
  }
  return 0;
}
