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

namespace kelvra::nlp::common::embedding::embedding {

// Called now and then while a file loads: bytes read so far, and the file
// size (no larger than what is read when the size is not known: a pipe).
using LoadProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// (word, cosine similarity) pairs, most similar first.
using Neighbours = std::vector<std::pair<std::string, float>>;

// The first bytes of a saved store.
inline constexpr std::string_view kSavedStoreMagic = "KELVRAWV";

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
// rows as the file's size can hold, so a lying header costs nothing; read
// from a pipe, whose size is not known, the store grows with what arrives.
//
// Saved stores (docs/file-formats.md): `save` writes the arrays above as
// they lie in memory, `load` maps such a file read-only and uses it in
// place, so every process that loads one file shares one copy of its pages.
// A saved store is recognised by its first bytes, `kSavedStoreMagic`.
//
// A loaded store is never changed: one instance serves any number of
// threads at once.
class KeyedVectors {
 public:
  // Reads the word2vec file at `path` (see above for what is accepted and
  // rejected). `path` may also be a pipe or a terminal: it is read as it
  // comes, without knowing its size. `progress`, when given, is called
  // after each block read and once at the end. Throws
  // kelvra::common::FileError, also at once for a FIFO that nothing writes
  // to (rather than waiting for a writer) and for a saved store that does
  // not come from a regular file.
  static KeyedVectors load_word2vec_format(const std::string& path, bool binary = false,
                                           const LoadProgress& progress = {});

  // A saved store when `path` is a regular file that starts with
  // kSavedStoreMagic (mapped, whatever `binary` says), else a word2vec file
  // as load_word2vec_format reads it. The first bytes are looked at without
  // taking them from a pipe. FileError as both say.
  static KeyedVectors load(const std::string& path, bool binary = false,
                           const LoadProgress& progress = {});

  // The store saved at `path`, mapped read-only and used in place. FileError
  // naming `path` and what is wrong when the file cannot be read, is not a
  // regular file (it is never opened in a way that could wait on a FIFO),
  // is not a saved store, comes from another format version or byte order,
  // is truncated, fails its checksum, or holds arrays that do not agree
  // (every offset, row and hash table entry is checked, and every component
  // is within [-1, 1]).
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
  bool mapped() const noexcept;

  // A copy would double a store of possibly gigabytes by accident; moving
  // hands it over and leaves an empty store (no words) behind.
  KeyedVectors(const KeyedVectors&) = delete;
  KeyedVectors& operator=(const KeyedVectors&) = delete;
  KeyedVectors(KeyedVectors&&) noexcept;
  KeyedVectors& operator=(KeyedVectors&&) noexcept;
  ~KeyedVectors();

  // Number of words (rows); never 0 for a loaded store.
  std::size_t size() const noexcept;
  // Number of components of every vector; never 0 for a loaded store.
  std::size_t vector_size() const noexcept;

  // The row of `word`, or nothing when it is not a vocabulary word.
  std::optional<std::size_t> index(std::string_view word) const noexcept;
  bool contains(std::string_view word) const noexcept { return index(word).has_value(); }

  // The word of row `row` (row < size()), valid as long as the store.
  std::string_view word(std::size_t row) const noexcept;
  // The unit vector (or zeros) of row `row` (row < size()).
  std::span<const float> vector(std::size_t row) const noexcept;
  // The vector of `word`; KeyError "word 'WORD' not in vocabulary" when absent.
  std::span<const float> operator[](std::string_view word) const;
  // The whole matrix, size() rows of vector_size() floats.
  std::span<const float> matrix() const noexcept;
  // The Euclidean length each row had in the file before it was scaled to
  // unit length (0 for a zero row).
  std::span<const float> norms() const noexcept;

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
  // The arrays and where they live (read from a file, or the bytes of a
  // saved store); defined with the loaders.
  struct Impl;
  explicit KeyedVectors(std::unique_ptr<Impl> impl) noexcept;

  std::unique_ptr<Impl> impl_;
};

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
  // to unit length again. Lengths below 1 count from 1; max_n below min_n
  // gives no n-grams, so that only a vocabulary word is found. Throws
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
  explicit Embedding(KeyedVectors store) : wv_from_text_(std::move(store)) {}

  KeyedVectors wv_from_text_;
};

}  // namespace kelvra::nlp::common::embedding::embedding
