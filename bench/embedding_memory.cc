// Peak memory of loading one word2vec file, next to what the store must
// hold: the matrix and the words' bytes. Prints one JSON line.
// Usage: embedding_memory FILE [--binary]
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "kelvra/nlp/common/embedding/embedding.h"

namespace {

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM"). Unlike
// getrusage's maximum, VmHWM starts afresh at exec, so a parent's size
// does not leak into the figure.
std::size_t status_bytes(const std::string& field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stoul(line.substr(field.size() + 1)) * 1024;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: embedding_memory FILE [--binary]\n");
    return 2;
  }
  const bool binary = argc > 2 && std::strcmp(argv[2], "--binary") == 0;
  const std::size_t before = status_bytes("VmRSS");
  kelvra::nlp::common::embedding::embedding::Embedding embedding(argv[1], binary);
  const std::size_t peak = status_bytes("VmHWM");
  const auto& wv = embedding.wv_from_text();
  const double matrix = static_cast<double>(wv.matrix().size_bytes());
  double words = 0;
  for (std::size_t r = 0; r < wv.size(); ++r) words += static_cast<double>(wv.word(r).size());
  const double grown = static_cast<double>(peak - before);
  std::printf(
      "{\"variant\":\"%s\",\"peak_rss_mb\":%.1f,\"before_load_mb\":%.1f,"
      "\"matrix_mb\":%.1f,\"words_mb\":%.2f,\"ratio\":%.3f}\n",
      binary ? "binary" : "text", peak / 1e6, before / 1e6, matrix / 1e6, words / 1e6,
      grown / (matrix + words));
  return 0;
}
