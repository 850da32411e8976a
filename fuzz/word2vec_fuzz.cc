// The word2vec loader on arbitrary file contents, in the text variant or
// (built with KELVRA_FUZZ_BINARY=1) the binary one. A file that loads is
// then asked for vectors and neighbours.
#include <cmath>

#include "fuzz/fuzz_util.h"
#include "kelvra/nlp/common/embedding/embedding.h"

#ifndef KELVRA_FUZZ_BINARY
#define KELVRA_FUZZ_BINARY 0
#endif

using kelvra::nlp::common::embedding::embedding::Embedding;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static kelvra::fuzz::InputFile file;
  const std::string& path = file.write(kelvra::fuzz::bytes(data, size));
  kelvra::fuzz::expect_clean([&] {
    const Embedding embedding(path, KELVRA_FUZZ_BINARY != 0);
    const auto& store = embedding.wv_from_text();
    kelvra::fuzz::require(store.size() > 0, "a loaded store has words");
    for (float v : store.matrix()) kelvra::fuzz::require(std::isfinite(v), "stored values are finite");
    const std::string first(store.word(0));
    kelvra::fuzz::require(embedding.word2vec(first).size() == store.vector_size(),
                          "a word's vector has the store's size");
    embedding.most_similar(first, 3);
    embedding.word2vec(first + first + "x", 1, 4);
  });
  return 0;
}
