// Peak memory of loading one word2vec file, next to what the store must
// hold: the matrix and the words' bytes. Prints one JSON line.
// Usage: embedding_memory FILE [--binary]
#include <cstdio>
#include <cstring>
#include <string>

#include "bench/corpus.h"
#include "kelvra/nlp/common/embedding/embedding.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: embedding_memory FILE [--binary]\n");
    return 2;
  }
  const bool binary = argc > 2 && std::strcmp(argv[2], "--binary") == 0;
  const std::size_t before = kelvra::bench::peak_rss_bytes();
  kelvra::nlp::common::embedding::embedding::Embedding embedding(argv[1], binary);
  const std::size_t peak = kelvra::bench::peak_rss_bytes();
  const auto& wv = embedding.wv_from_text();
  const double matrix = static_cast<double>(wv.matrix().size_bytes());
  double words = 0;
  for (std::size_t r = 0; r < wv.size(); ++r) words += static_cast<double>(wv.word(r).size());
  const double grown = static_cast<double>(peak - before);
  std::printf("{\"variant\":\"%s\",\"peak_rss_mb\":%.1f,\"before_load_mb\":%.1f,"
              "\"matrix_mb\":%.1f,\"words_mb\":%.2f,\"ratio\":%.3f}\n",
              binary ? "binary" : "text", peak / 1e6, before / 1e6, matrix / 1e6, words / 1e6,
              grown / (matrix + words));
  return 0;
}
