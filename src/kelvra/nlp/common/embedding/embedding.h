// Word vectors from a pre-trained word2vec file, with a character n-gram
// substitute for words outside the vocabulary, and similar words.
//
//   Embedding embedding("vectors.txt");               // text variant; binary = true for .bin
//   std::vector<float> v = embedding.word2vec("机器学习");  // unit vector, or an n-gram mean
//   auto neighbours = embedding.most_similar("中国", 5);   // [(word, cosine), ...]
//
// The file is loaded once by the constructor into the vector store
// (wv_from_text()), whose vectors are all scaled to unit length; a zero
// vector stays zero and is never listed as similar. Lengths of words and
// n-grams count code points.
//
// An Embedding never changes after construction: one instance serves any
// number of threads at once.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelvra/nlp/common/embedding/internal/keyed_vectors.h"

namespace kelvra::nlp::common::embedding::embedding {

using internal::KeyedVectors;
using internal::LoadProgress;
using internal::Neighbours;

class Embedding {
 public:
  // Loads `embedding_file`, the binary variant of the word2vec format when
  // `binary` is true, else the text variant. `progress` (optional) is called
  // with bytes read and the file size while it loads. Throws
  // kelvra::common::FileError naming the path (and the line or entry) when
  // the file is missing, unreadable or malformed.
  explicit Embedding(const std::string& embedding_file, bool binary = false,
                     const LoadProgress& progress = {});

  // The store can be large: copies are refused, moves are cheap.
  Embedding(const Embedding&) = delete;
  Embedding& operator=(const Embedding&) = delete;
  Embedding(Embedding&&) noexcept = default;
  Embedding& operator=(Embedding&&) noexcept = default;

  // The vector store loaded from the file.
  const KeyedVectors& wv_from_text() const noexcept { return wv_from_text_; }

  // The stored unit vector of `word` when it is a vocabulary word (whatever
  // min_n and max_n are). Otherwise the mean of the vectors of its distinct
  // n-grams of lengths min_n..max_n that are in the vocabulary, longer than
  // one code point; only when none of those is known, the mean of its known
  // single characters. The mean is not scaled to unit length again. Throws
  // KeyError "all ngrams for word WORD absent from model" when nothing was
  // found (or the vectors found sum to zero); TypeError naming "word" when
  // `word` is not valid UTF-8.
  std::vector<float> word2vec(std::string_view word, std::int64_t min_n = 1,
                              std::int64_t max_n = 3) const;

  // The `topk` vocabulary words most similar to `word` (cosine of the unit
  // vectors), most similar first, `word` itself left out; ties go to the
  // word earlier in the file. At most `topk` pairs; none when `topk` <= 0 or
  // `word`'s vector is zero. Throws KeyError when `word` is not a vocabulary
  // word (no n-gram substitute here); TypeError naming "word" for invalid
  // UTF-8.
  Neighbours most_similar(std::string_view word, std::int64_t topk = 10) const;

  // most_similar for several words in one go (one matrix product per block
  // of up to 64 words, much faster per word than one call each); result i
  // belongs to words[i]. Throws as most_similar, for the first bad word,
  // before any search.
  std::vector<Neighbours> most_similar_batch(std::span<const std::string> words,
                                             std::int64_t topk = 10) const;

  // The distinct n-grams of `word` (substrings of n code points, n from
  // min_n, but at least 1, up to the smaller of max_n and the word's
  // length), shortest first and in order of position within one length.
  // Empty when min_n exceeds that bound. TypeError naming "word" when
  // `word` is not valid UTF-8.
  std::vector<std::string> _compute_ngrams(std::string_view word, std::int64_t min_n,
                                           std::int64_t max_n) const;

 private:
  KeyedVectors wv_from_text_;
};

}  // namespace kelvra::nlp::common::embedding::embedding
