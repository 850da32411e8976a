#include "kelvra/nlp/common/embedding/embedding.h"

#include <algorithm>
#include <unordered_set>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/utf8.h"

namespace kelvra::nlp::common::embedding::embedding {

using kelvra::common::KeyError;
namespace utf8 = kelvra::common::utf8;

namespace {

// The distinct n-grams of valid UTF-8 `word`, as slices of it.
std::vector<std::string_view> ngram_views(std::string_view word, std::int64_t min_n,
                                          std::int64_t max_n) {
  // Byte offset of every code point, plus the end.
  std::vector<std::size_t> starts;
  starts.reserve(word.size() + 1);
  for (std::size_t pos = 0; pos < word.size(); pos += utf8::sequence_size(word[pos])) {
    starts.push_back(pos);
  }
  const std::int64_t length = static_cast<std::int64_t>(starts.size());
  starts.push_back(word.size());

  std::vector<std::string_view> ngrams;
  std::unordered_set<std::string_view> seen;
  for (std::int64_t n = std::max<std::int64_t>(min_n, 1); n <= std::min(max_n, length); ++n) {
    for (std::int64_t i = 0; i + n <= length; ++i) {
      std::string_view gram = word.substr(starts[i], starts[i + n] - starts[i]);
      if (seen.insert(gram).second) ngrams.push_back(gram);
    }
  }
  return ngrams;
}

void check_word(std::string_view word) { utf8::require_valid(word, "word"); }

}  // namespace

Embedding::Embedding(const std::string& embedding_file, bool binary, const LoadProgress& progress)
    : wv_from_text_(KeyedVectors::load(embedding_file, binary, progress)) {}

Embedding Embedding::from_bytes(std::string_view bytes) {
  return Embedding(KeyedVectors::from_bytes(bytes));
}

std::vector<std::string> Embedding::_compute_ngrams(std::string_view word, std::int64_t min_n,
                                                    std::int64_t max_n) const {
  check_word(word);
  std::vector<std::string> out;
  for (std::string_view gram : ngram_views(word, min_n, max_n)) out.emplace_back(gram);
  return out;
}

std::vector<float> Embedding::word2vec(std::string_view word, std::int64_t min_n,
                                       std::int64_t max_n) const {
  check_word(word);
  const KeyedVectors& wv = wv_from_text_;
  if (auto row = wv.index(word)) {
    auto v = wv.vector(*row);
    return {v.begin(), v.end()};
  }

  const std::size_t word_size = wv.vector_size();
  std::vector<float> word_vec(word_size, 0.0f);
  std::int64_t ngrams_found = 0;
  auto add = [&](std::size_t row) {
    auto v = wv.vector(row);
    for (std::size_t i = 0; i < word_size; ++i) word_vec[i] += v[i];
    ++ngrams_found;
  };
  const auto ngrams = ngram_views(word, min_n, max_n);
  // Longer n-grams first; single characters are the last resort, and then
  // only the known ones count: one rare character must not sink a word
  // whose other characters are known.
  for (std::string_view gram : ngrams) {
    if (utf8::length(gram) > 1) {
      if (auto row = wv.index(gram)) add(*row);
    }
  }
  if (ngrams_found == 0) {
    for (std::string_view gram : ngrams) {
      if (utf8::length(gram) == 1) {
        if (auto row = wv.index(gram)) add(*row);
      }
    }
  }
  if (std::none_of(word_vec.begin(), word_vec.end(), [](float x) { return x != 0.0f; })) {
    throw KeyError(std::string(word),
                   "all ngrams for word " + std::string(word) + " absent from model");
  }
  const float divisor = static_cast<float>(std::max<std::int64_t>(1, ngrams_found));
  for (float& x : word_vec) x /= divisor;
  return word_vec;
}

Neighbours Embedding::most_similar(std::string_view word, std::int64_t topk) const {
  check_word(word);
  return wv_from_text_.similar_by_word(word, topk);
}

std::vector<Neighbours> Embedding::most_similar_batch(std::span<const std::string> words,
                                                      std::int64_t topk) const {
  for (const auto& word : words) check_word(word);
  return wv_from_text_.similar_by_words(words, topk);
}

}  // namespace kelvra::nlp::common::embedding::embedding
