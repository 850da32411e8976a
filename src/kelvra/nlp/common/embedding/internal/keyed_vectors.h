// The word-vector store behind Embedding: words and their vectors read from
// a word2vec file, text or binary variant, or from a store saved before,
// held as one matrix of unit rows.
//
//   auto store = KeyedVectors::load_word2vec_format("vectors.bin", /*binary=*/true);
//   std::span<const float> v = store["中国"];               // unit length
//   auto neighbours = store.similar_by_word("中国", 10);    // (word, cosine) pairs
//   store.save("vectors.kvwv");                             // then:
//   auto mapped = KeyedVectors::load("vectors.kvwv");      // milliseconds, shared pages
//
// Layout: one contiguous row-major matrix of 32-bit floats, one row per
// word in file order; each row's length before scaling; the words' bytes
// one after another with the end of each; and a hash table from word to
// row (open addressing, XXH3 of the word). Every row is scaled to unit
// Euclidean length in place once loading ends; a row that is all zeros
// cannot be scaled and stays zero. Zero rows are never listed by the
// similarity searches.
//
// What the word2vec loader accepts (what real tools write): a header line
// "ROWS DIMS"; text entries "WORD C1 C2 ..." separated by blanks or tabs,
// with trailing blanks, CRLF line ends, blank lines and a last line without
// a line feed; binary entries "WORD " followed by DIMS little-endian 32-bit
// floats, with or without a line feed after each vector. Words are UTF-8. A
// word that occurs again keeps its first vector (the later entry still
// counts as an entry of the file).
//
// What it rejects, with a FileError naming the path and the line (text) or
// entry (binary): a missing or unreadable file, a header that is not two
// positive integers, a dimension the file cannot hold, a row with the wrong
// number of components, a component that is not a finite number, a
// truncated entry, more or fewer entries than the header says, and a word
// that is empty or not valid UTF-8. Memory is reserved only for as many
// rows as the file's size can hold, so a lying header costs nothing.
//
// Saved stores (docs/file-formats.md): `save` writes the arrays above as
// they lie in memory, `load` maps such a file read-only and uses it in
// place, so every process that loads one file shares one copy of its pages.
// A saved store is recognised by its first bytes, `kSavedStoreMagic`.
//
// A loaded store is never changed: one instance serves any number of
// threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelvra/common/binary_image.h"

namespace kelvra::nlp::common::embedding::internal {

// Called now and then while a file loads: bytes read so far, file size.
using LoadProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// (word, cosine similarity) pairs, most similar first.
using Neighbours = std::vector<std::pair<std::string, float>>;

// The first bytes of a saved store.
inline constexpr std::string_view kSavedStoreMagic = "KELVRAWV";

class KeyedVectors {
 public:
  // Reads the file at `path` (see above for what is accepted and rejected).
  // `progress`, when given, is called after each block read and once at the
  // end. Throws kelvra::common::FileError.
  static KeyedVectors load_word2vec_format(const std::string& path, bool binary = false,
                                           const LoadProgress& progress = {});

  // A saved store when the file at `path` starts with kSavedStoreMagic
  // (mapped, whatever `binary` says), else a word2vec file as
  // load_word2vec_format reads it. FileError as both say.
  static KeyedVectors load(const std::string& path, bool binary = false,
                           const LoadProgress& progress = {});

  // The store saved at `path`, mapped read-only and used in place. FileError
  // naming `path` and what is wrong when the file cannot be read, is not a
  // saved store, comes from another format version or byte order, is
  // truncated, fails its checksum, or holds arrays that do not agree (every
  // offset, row and hash table entry is checked, and every component is
  // within [-1, 1]).
  static KeyedVectors load_saved(const std::string& path);

  // Writes the store to `path` in its saved form: to a new file beside it,
  // renamed to `path` when complete, so that no reader sees half a file and
  // processes that have the old file mapped keep it intact. FileError naming
  // `path` when it cannot be written.
  void save(const std::string& path) const;

  // The saved form in memory, byte for byte what `save` writes (also of a
  // mapped store, so that it travels where the file is absent), and back:
  // from_bytes copies the bytes and checks them as load_saved does, naming
  // "vector store bytes" in failures.
  std::string to_bytes() const;
  static KeyedVectors from_bytes(std::string_view bytes);

  // Whether the arrays are a file's pages mapped by load_saved.
  bool mapped() const noexcept { return mapped_; }

  // A copy would double a store of possibly gigabytes by accident; moving
  // hands it over.
  KeyedVectors(const KeyedVectors&) = delete;
  KeyedVectors& operator=(const KeyedVectors&) = delete;
  KeyedVectors(KeyedVectors&&) noexcept;
  KeyedVectors& operator=(KeyedVectors&&) noexcept;
  ~KeyedVectors();

  // Number of words (rows); never 0 for a loaded store.
  std::size_t size() const noexcept { return word_ends_.size(); }
  // Number of components of every vector; never 0 for a loaded store.
  std::size_t vector_size() const noexcept { return dims_; }

  // The row of `word`, or nothing when it is not a vocabulary word.
  std::optional<std::size_t> index(std::string_view word) const noexcept;
  bool contains(std::string_view word) const noexcept { return index(word).has_value(); }

  // The word of row `row` (row < size()), valid as long as the store.
  std::string_view word(std::size_t row) const noexcept {
    const std::uint64_t begin = row == 0 ? 0 : word_ends_[row - 1];
    return word_text_.substr(begin, word_ends_[row] - begin);
  }
  // The unit vector (or zeros) of row `row` (row < size()).
  std::span<const float> vector(std::size_t row) const {
    return matrix_.subspan(row * dims_, dims_);
  }
  // The vector of `word`; KeyError "word 'WORD' not in vocabulary" when absent.
  std::span<const float> operator[](std::string_view word) const;
  // The whole matrix, size() rows of vector_size() floats.
  std::span<const float> matrix() const noexcept { return matrix_; }
  // The Euclidean length each row had in the file before it was scaled to
  // unit length (0 for a zero row).
  std::span<const float> norms() const noexcept { return norms_; }

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
  // An entry of the hash table: the row of a word (kNoRow where none) and
  // the high half of its hash, which settles most lookups of other words
  // without comparing bytes.
  struct Bucket {
    std::uint32_t tag;
    std::uint32_t row;
  };
  static constexpr std::uint32_t kNoRow = UINT32_MAX;
  struct Tables;

  KeyedVectors() = default;
  friend class Loader;
  // The arrays of `tables`, which the store then owns.
  explicit KeyedVectors(std::unique_ptr<Tables> tables);
  // The store in the bytes of a saved one, checked; `source` names them in
  // failures.
  KeyedVectors(kelvra::common::ImageBytes bytes, const std::string& source);
  kelvra::common::ImageWriter image_writer(std::span<const std::uint64_t> fields) const;
  // The bucket that holds `word` (hash `hash`), or the empty one where it
  // would go.
  static std::size_t probe(std::span<const Bucket> buckets, std::span<const std::uint64_t> ends,
                           std::string_view text, std::string_view word,
                           std::uint64_t hash) noexcept;
  void find_zero_rows();

  // The arrays are views into `storage_`: those a loader filled, or the
  // bytes of a saved store (mapped or copied).
  std::shared_ptr<const void> storage_;
  bool mapped_ = false;
  std::size_t dims_ = 0;
  std::span<const float> matrix_;
  std::span<const float> norms_;
  std::span<const std::uint64_t> word_ends_;  // end of each word in word_text_
  std::string_view word_text_;
  std::span<const Bucket> buckets_;  // a power of two of them, at least one empty
  // Rows that are all zeros (usually none).
  std::vector<std::uint32_t> zero_rows_;
};

}  // namespace kelvra::nlp::common::embedding::internal
