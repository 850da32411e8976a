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
// A store saved with `save` loads in milliseconds: the constructor knows it
// by its first bytes and maps it read-only, so processes that load one file
// share one copy of its pages (docs/file-formats.md). `to_bytes` and
// `from_bytes` carry the same bytes in memory, for pickling:
//
//   Embedding("vectors.txt").save("vectors.kvwv");
//   Embedding embedding("vectors.kvwv");               // same vectors, same neighbours
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
  // Loads `embedding_file`: a saved store (known by its first bytes,
  // whatever `binary` says), else the binary variant of the word2vec format
  // when `binary` is true, else the text variant. `progress` (optional) is
  // called with bytes read and the file size while a word2vec file loads.
  // Throws kelvra::common::FileError naming the path (and the line or
  // entry) when the file is missing, unreadable, malformed or damaged.
  explicit Embedding(const std::string& embedding_file, bool binary = false,
                     const LoadProgress& progress = {});

  // Writes the store to `path` in its saved form, which this constructor
  // maps; see KeyedVectors::save. FileError naming `path` when it cannot be
  // written.
  void save(const std::string& path) const { wv_from_text_.save(path); }

  // The saved form in memory (also of a store mapped from a file), and an
  // Embedding from it with identical vectors and neighbours; from_bytes
  // throws FileError naming "vector store bytes" when they are damaged.
  std::string to_bytes() const { return wv_from_text_.to_bytes(); }
  static Embedding from_bytes(std::string_view bytes);

  // The store can be large: copies are refused, moves are cheap.
  Embedding(const Embedding&) = delete;
  Embedding& operator=(const Embedding&) = delete;
  Embedding(Embedding&&) noexcept = default;
  Embedding& operator=(Embedding&&) noexcept = default;

  // The vector store loaded from the file.
  const KeyedVectors& wv_from_text() const noexcept { return wv_from_text_; }

  // The stored unit vector of `word` when it is a vocabulary word (whatever
  // n-grams min_n and max_n would give). Otherwise the mean of the vectors
  // of its distinct n-grams of lengths min_n..max_n that are in the
  // vocabulary, longer than one code point; only when none of those is
  // known, the mean of its known single characters. The mean is not scaled
  // to unit length again. Throws KvException INVALID_PARAMETERS naming the
  // parameter and its value when min_n is below 1 or max_n below min_n
  // (before anything is looked up); KeyError "all ngrams for word WORD
  // absent from model" when nothing was found (or the vectors found sum to
  // zero); TypeError naming "word" when `word` is not valid UTF-8.
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
  explicit Embedding(KeyedVectors store) : wv_from_text_(std::move(store)) {}

  KeyedVectors wv_from_text_;
};

}  // namespace kelvra::nlp::common::embedding::embedding
