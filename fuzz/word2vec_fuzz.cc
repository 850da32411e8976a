// The word2vec loader on arbitrary file contents, in the text variant or
// (built with KELVRA_FUZZ_BINARY=1) the binary one; or (built with
// KELVRA_FUZZ_SAVED=1) a saved store, loaded as it is from a mapped file and
// once more with its checksum made right, so that mutations reach the
// checks of its arrays. A store that loads is then asked for vectors and
// neighbours.
#include <cmath>

#include "fuzz/fuzz_util.h"
#include "kelvra/common/binary_image.h"
#include "kelvra/nlp/common/embedding/embedding.h"

#ifndef KELVRA_FUZZ_BINARY
#define KELVRA_FUZZ_BINARY 0
#endif
#ifndef KELVRA_FUZZ_SAVED
#define KELVRA_FUZZ_SAVED 0
#endif

using kelvra::nlp::common::embedding::embedding::Embedding;

namespace {

void check_sound(const Embedding& embedding) {
  const auto& store = embedding.wv_from_text();
  kelvra::fuzz::require(store.size() > 0, "a loaded store has words");
  for (float v : store.matrix())
    kelvra::fuzz::require(std::isfinite(v), "stored values are finite");
  const std::string first(store.word(0));
  kelvra::fuzz::require(embedding.word2vec(first).size() == store.vector_size(),
                        "a word's vector has the store's size");
  for (std::size_t row = 0; row < store.size(); ++row)
    kelvra::fuzz::require(store.index(store.word(row)) == row, "every word is found at its row");
  for (const auto& [word, similarity] : embedding.most_similar(first, 3))
    kelvra::fuzz::require(std::isfinite(similarity), "similarities are finite");
  embedding.word2vec(first + first + "x", 1, 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static kelvra::fuzz::InputFile file;
  const std::string_view input = kelvra::fuzz::bytes(data, size);
  const std::string& path = file.write(input);
#if KELVRA_FUZZ_SAVED
  kelvra::fuzz::expect_clean([&] { check_sound(Embedding(path)); });
  kelvra::fuzz::expect_clean([&] {
    check_sound(Embedding::from_bytes(kelvra::common::restamp_checksum(std::string(input))));
  });
#else
  kelvra::fuzz::expect_clean([&] { check_sound(Embedding(path, KELVRA_FUZZ_BINARY != 0)); });
#endif
  return 0;
}
