// The word-vector store behind Embedding: words and their vectors read from
// a word2vec file, text or binary variant, held as one matrix of unit rows.
//
//   auto store = KeyedVectors::load_word2vec_format("vectors.bin", /*binary=*/true);
//   std::span<const float> v = store["中国"];               // unit length
//   auto neighbours = store.similar_by_word("中国", 10);    // (word, cosine) pairs
//
// Layout: one contiguous row-major matrix of 32-bit floats, one row per
// word in file order, and a hash map from word to row. Every row is scaled
// to unit Euclidean length in place once loading ends; a row that is all
// zeros cannot be scaled and stays zero. Zero rows are never listed by the
// similarity searches.
//
// What the loader accepts (what real tools write): a header line "ROWS DIMS";
// text entries "WORD C1 C2 ..." separated by blanks or tabs, with trailing
// blanks, CRLF line ends, blank lines and a last line without a line feed;
// binary entries "WORD " followed by DIMS little-endian 32-bit floats, with
// or without a line feed after each vector. Words are UTF-8. A word that
// occurs again keeps its first vector (the later entry still counts as an
// entry of the file).
//
// What it rejects, with a FileError naming the path and the line (text) or
// entry (binary): a missing or unreadable file, a header that is not two
// positive integers, a dimension the file cannot hold, a row with the wrong
// number of components, a component that is not a finite number, a
// truncated entry, more or fewer entries than the header says, and a word
// that is empty or not valid UTF-8. Memory is reserved only for as many
// rows as the file's size can hold, so a lying header costs nothing.
//
// A loaded store is never changed: one instance serves any number of
// threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kelvra::nlp::common::embedding::internal {

// Called now and then while a file loads: bytes read so far, file size.
using LoadProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// (word, cosine similarity) pairs, most similar first.
using Neighbours = std::vector<std::pair<std::string, float>>;

class KeyedVectors {
 public:
  // Reads the file at `path` (see above for what is accepted and rejected).
  // `progress`, when given, is called after each block read and once at the
  // end. Throws kelvra::common::FileError.
  static KeyedVectors load_word2vec_format(const std::string& path, bool binary = false,
                                           const LoadProgress& progress = {});

  // A copy would double a store of possibly gigabytes by accident; moving
  // hands it over.
  KeyedVectors(const KeyedVectors&) = delete;
  KeyedVectors& operator=(const KeyedVectors&) = delete;
  KeyedVectors(KeyedVectors&&) noexcept;
  KeyedVectors& operator=(KeyedVectors&&) noexcept;
  ~KeyedVectors();

  // Number of words (rows); never 0 for a loaded store.
  std::size_t size() const noexcept { return words_.size(); }
  // Number of components of every vector; never 0 for a loaded store.
  std::size_t vector_size() const noexcept { return dims_; }

  // The row of `word`, or nothing when it is not a vocabulary word.
  std::optional<std::size_t> index(std::string_view word) const;
  bool contains(std::string_view word) const { return index(word).has_value(); }

  // The word of row `row` (row < size()).
  const std::string& word(std::size_t row) const { return *words_[row]; }
  // The unit vector (or zeros) of row `row` (row < size()).
  std::span<const float> vector(std::size_t row) const {
    return {matrix_.data() + row * dims_, dims_};
  }
  // The vector of `word`; KeyError "word 'WORD' not in vocabulary" when absent.
  std::span<const float> operator[](std::string_view word) const;
  // The whole matrix, size() rows of vector_size() floats.
  std::span<const float> matrix() const noexcept { return matrix_; }

  // The `topn` words whose vectors have the highest cosine similarity to
  // `word`'s, most similar first; ties go to the earlier row. `word` itself
  // and zero rows are left out, so fewer than `topn` pairs may come back;
  // `topn` <= 0, or a `word` whose vector is zero, gives none. KeyError
  // (as operator[]) when `word` is not a vocabulary word.
  Neighbours similar_by_word(std::string_view word, std::int64_t topn = 10) const;

  // similar_by_word for several words at once, one matrix product per block
  // of queries; result i belongs to words[i] and equals
  // similar_by_word(words[i], topn) up to float rounding of the products.
  // KeyError for the first word that is not in the vocabulary, before any
  // search.
  std::vector<Neighbours> similar_by_words(std::span<const std::string> words,
                                           std::int64_t topn = 10) const;

 private:
  // Hashing string_views lets lookups run without building a std::string.
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };
  using Index = std::unordered_map<std::string, std::uint32_t, Hash, std::equal_to<>>;

  KeyedVectors() = default;
  friend class Loader;

  std::size_t dims_ = 0;
  std::vector<float> matrix_;
  Index index_;
  // The words by row; the keys of index_, whose nodes never move.
  std::vector<const std::string*> words_;
  // Rows that are all zeros (usually none).
  std::vector<std::uint32_t> zero_rows_;
};

}  // namespace kelvra::nlp::common::embedding::internal
