// Every occurrence of the words of a fixed dictionary in a text, in one
// left-to-right pass (an Aho–Corasick automaton of our own).
//
//   Automaton automaton({"he", "she", "hers"});
//   std::vector<Word> found = automaton.search("ushers");
//   // {'text': 'she', 'length': 3, 'offset': 1}, then he at 2, then hers at 2
//
// What a search reports, and in which order:
//   - every occurrence of every word, overlapping ones and words inside a
//     longer matched word included; a word found n times gives n records;
//   - by ascending end position (offset + length - 1);
//   - at one end position, the longest word first, then ever shorter ones
//     (the dictionary suffixes of the longest, along the suffix links).
// Matching compares code points exactly: no case folding, no normalisation.
// Positions and lengths count code points, never bytes.
//
// SearchOptions choose other reports (the default is the above):
//   - kind leftmost-longest / leftmost-first: scanning left to right, the
//     occurrence that starts earliest wins; among those starting there, the
//     longest (leftmost-longest) or the one whose word comes first in the
//     dictionary as given (leftmost-first); the scan goes on after its end,
//     so occurrences never overlap. They come in text order.
//   - whole_words: an occurrence counts only where it does not cut a word:
//     when its first code point and the one before it are both word
//     characters (is_word_character), or its last and the one after it are,
//     it is not reported. For the leftmost kinds such an occurrence is no
//     candidate at all: a shorter whole word at the same start may win.
//   Automaton({"ab", "abc", "bcd"}).search("abcd", {MatchKind::kLeftmostLongest})
//   // abc at 0 only; leftmost-first: ab at 0 (then nothing: "cd" is no word)
//
// Folding (an automaton built with folds, see Fold) makes matching ignore
// case, width or script: the words are folded once when the automaton is
// built, and the text is folded code point by code point as it is scanned,
// never copied. Occurrences still report the searched text itself: `text`
// is its slice, `offset` and `length` count its code points, so
// text[offset, offset + length) is always the occurrence. A code point may
// fold to several (ß to "ss"); an occurrence must cover whole code points of
// the text, so "s" is not found in "ß", while "strasse" is found in
// "Straße" (6 code points) and "straße" in "STRASSE".
//   Automaton({"hello"}, kFoldCase | kFoldWidth).search("ＨＥＬＬＯ!")
//   // {'text': 'ＨＥＬＬＯ', 'length': 5, 'offset': 0}
//
// A word listed twice is stored once and reported once per occurrence. An
// empty word can never be reported and is ignored; an automaton built from
// no (non-empty) words is valid and every search on it returns an empty list.
//
// The automaton is built completely by the constructor (or loaded) and never
// changes afterwards: `search` is const and one Automaton serves any number
// of threads at once without locking.
//
// Layout, for dictionaries of hundreds of thousands of words over tens of
// thousands of distinct code points: code points are mapped to a dense
// alphabet of those the dictionary uses (a code point outside it sends the
// scan back to the root at once); the transitions form a double array, so
// following an edge is one addition and one comparison whatever the number
// of children; the root's children sit at their own symbols, so a dictionary
// with very many distinct first characters costs nothing at the root; each
// state keeps a link to its nearest dictionary suffix, so reporting costs
// time per occurrence only. Word texts are not stored: a match is cut from
// the searched text, which equals it.
//
// Saved automata: `save` writes these tables as they lie in memory
// (docs/file-formats.md), `load` maps such a file read-only and searches it
// in place, so that every process that loads one file shares one copy of
// its pages; `to_bytes` and `from_bytes` are the same in memory (for
// pickling). Loading takes milliseconds where building takes a tenth of a
// second and more, and checks everything the search relies on first:
//
//   Automaton(words).save("names.kvac");
//   Automaton names = Automaton::load("names.kvac");  // same results
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kelvra/common/binary_image.h"
#include "kelvra/common/record.h"
#include "kelvra/common/record_layout.h"

namespace kelvra::nlp::common::matcher {

// One occurrence: the dictionary word, its length and its start in the
// searched text, both in code points. A plain record with no ordering or
// equality of its own.
class Word {
 public:
  // Stores the three values; `text` must be valid UTF-8 (TypeError naming
  // `text` otherwise).
  Word(std::string text, std::int64_t length, std::int64_t offset);

  std::string text;
  std::int64_t length;
  std::int64_t offset;

  // {"text","length","offset"}, laid out by word_members
  Record to_json() const;
  // Keys in any order, unknown keys ignored. TypeError naming `json` for a
  // non-map, KeyError naming a missing key, TypeError naming a field of the
  // wrong kind (reals are truncated to integers).
  static Word from_json(const Record& json);
  // The record text form: {'text': 'she', 'length': 3, 'offset': 1}
  std::string to_string() const;

 private:
  // Records made from text already checked skip the check; only this
  // module can make the tag.
  class Unchecked {
    Unchecked() = default;
    friend class Word;
    friend class Automaton;
  };
  friend class Automaton;

 public:
  Word(Unchecked, std::string_view text, std::int64_t length, std::int64_t offset);
};

std::ostream& operator<<(std::ostream& os, const Word& word);

// Which occurrences a search reports (see the top of this header).
enum class MatchKind : std::uint8_t { kOverlapping, kLeftmostLongest, kLeftmostFirst };

// "overlapping", "leftmost-longest", "leftmost-first": the names the command
// line and Python use.
std::string_view match_kind_name(MatchKind kind) noexcept;
// The kind of one of those names; KvException INVALID_PARAMETERS naming
// `parameter` and the choices otherwise.
MatchKind match_kind_of(std::string_view name, std::string_view parameter);

// What a folding automaton ignores, as bits of a set (see
// internal/folding.h for the exact rules):
//   kFoldCase:   Unicode full case folding (A a, ß ss, İ i + U+0307);
//   kFoldWidth:  full-width forms as half-width ones (Ａ A), as Q2B does;
//   kFoldScript: traditional Chinese characters as simplified ones, each
//                character as OpenCC's t2s converts it alone (頭髮 头发).
enum Fold : std::uint8_t { kFoldCase = 1, kFoldWidth = 2, kFoldScript = 4 };
constexpr std::uint8_t kAllFolds = kFoldCase | kFoldWidth | kFoldScript;

// The set of foldings named in `names`, "case", "width" and "script"
// separated by commas (an empty text is none); KvException
// INVALID_PARAMETERS naming `parameter` for any other name.
std::uint8_t folds_of(std::string_view names, std::string_view parameter);
// The names of the foldings in `folds`, in the order above, joined by
// commas; empty for none.
std::string folds_name(std::uint8_t folds);

struct SearchOptions {
  MatchKind kind = MatchKind::kOverlapping;
  bool whole_words = false;
};

// Whether `cp` is a word character for whole-word matching: a letter, a
// decimal digit or a combining mark (which belongs to the letter before
// it), but not a Chinese, Japanese or Korean character (Han, Hiragana,
// Katakana, Hangul): those are written without spaces, so they need no
// boundary on either side.
bool is_word_character(char32_t cp) noexcept;

// Occurrences as three parallel arrays, for callers that want no record per
// occurrence: start and length in code points, and the word's id (its index
// in the dictionary as given, the first one for a word listed twice).
struct Occurrences {
  std::vector<std::int64_t> offsets;
  std::vector<std::int64_t> lengths;
  std::vector<std::int32_t> ids;

  std::size_t size() const noexcept { return ids.size(); }
};

// The members of an occurrence record, in order, handed to `out.member` (see
// record_layout.h): the one layout of Word::to_json and of writers that
// stream occurrences as the search finds them.
template <class Out, class Text>
void word_members(Out& out, const Text& text, std::int64_t length, std::int64_t offset) {
  out.member("text", text);
  out.member("length", length);
  out.member("offset", offset);
}

class Automaton {
 public:
  // Builds the automaton from the dictionary `words`, in any order, repeats
  // and empty strings allowed (see above). A word that is not valid UTF-8
  // throws TypeError naming `words` (and the word's index) before anything
  // is built.
  // `folds`: the foldings to match under (Fold bits; 0, the default, is
  // exact matching). KvException INVALID_PARAMETERS naming `fold` for bits
  // outside kAllFolds; FileError when script folding cannot load OpenCC's
  // data.
  explicit Automaton(const std::vector<std::string>& words, std::uint8_t folds = 0);
  explicit Automaton(const std::vector<std::string_view>& words, std::uint8_t folds = 0);
  explicit Automaton(std::initializer_list<std::string_view> words, std::uint8_t folds = 0);
  // `words` must be a list of strings: TypeError naming `words` otherwise.
  explicit Automaton(const Record& words, std::uint8_t folds = 0);

  // An automaton may be large; it is moved, never copied by accident. One
  // moved from is empty: it finds nothing.
  Automaton(const Automaton&) = delete;
  Automaton& operator=(const Automaton&) = delete;
  Automaton(Automaton&& other) noexcept;
  Automaton& operator=(Automaton&& other) noexcept;
  ~Automaton();

  // --- Saved automata ---

  // Writes the automaton to `path` in its saved form: to a new file beside
  // it, renamed to `path` when complete, so a reader never sees half a
  // file and processes that have the old file mapped keep it intact.
  // FileError naming `path` when it cannot be written.
  void save(const std::string& path) const;

  // The automaton saved at `path`, mapped read-only and searched in place
  // (the mapping lives as long as the automaton). It finds exactly what the
  // saved one found. FileError naming `path` and what is wrong when the
  // file cannot be read, is not a saved automaton, comes from another
  // format version or byte order, is truncated, fails its checksum, or
  // holds tables that are not a sound automaton.
  static Automaton load(const std::string& path);

  // The saved form in memory, byte for byte what `save` writes; also of an
  // automaton that was loaded from a file, so that it travels where the
  // file is absent.
  std::string to_bytes() const;

  // An automaton from the bytes of `to_bytes` (or of a saved file), copied;
  // checked as `load` checks a file, failures naming "automaton bytes".
  static Automaton from_bytes(std::string_view bytes);

  // Whether the tables are a file's pages mapped by `load`.
  bool mapped() const noexcept { return mapped_; }

  // Every occurrence in `text`, in the order stated above; an empty list
  // when there is none. TypeError naming `text` when `text` is not valid
  // UTF-8 (nothing is scanned). KvException INVALID_PARAMETERS for
  // leftmost-first on an automaton that does not know its dictionary's
  // order (see dictionary_ordered).
  std::vector<Word> search(std::string_view text, const SearchOptions& options = {}) const;

  // The same occurrences, appended to `found`. For callers that search many
  // texts: a vector cleared and passed again keeps its memory. Text that is
  // not valid UTF-8 throws as above and leaves `found` unchanged.
  void search(std::string_view text, std::vector<Word>& found,
              const SearchOptions& options = {}) const;

  // The same occurrences as arrays, appended to `found` (same use of memory
  // and failures as above).
  void search(std::string_view text, Occurrences& found, const SearchOptions& options = {}) const;

  // The same occurrences, in the same order, handed to `visit` one at a time
  // as the scan finds them, and never held: memory stays the same however
  // many there are. `word` is a slice of `text` (valid while `text` is).
  // Text that is not valid UTF-8 throws as above before any visit.
  using Visitor =
      std::function<void(std::string_view word, std::int64_t length, std::int64_t offset)>;
  void search(std::string_view text, const Visitor& visit, const SearchOptions& options = {}) const;

  // Number of distinct non-empty words stored (0 after being moved from).
  std::size_t size() const noexcept { return terms_.size() - 1; }

  // Number of words in the dictionary as given, repeats and empty ones
  // included: the ids are 0 .. dictionary_size() - 1.
  std::size_t dictionary_size() const noexcept { return dictionary_.size(); }
  // The word of id `id`, as given (folded, for a folding automaton: the
  // words themselves are not kept); std::out_of_range past the dictionary.
  std::string word(std::size_t id) const;
  // The foldings it matches under (Fold bits, 0 for exact matching).
  std::uint8_t folds() const noexcept { return folds_; }
  // False for an automaton loaded from a file saved before automata
  // recorded their dictionary (format version 1): its ids then number its
  // distinct words in the order it stores them, and leftmost-first, which
  // needs the order of the dictionary, is refused. Saving it again from the
  // dictionary gives one that knows.
  bool dictionary_ordered() const noexcept { return ordered_; }

  // Bytes of the automaton's tables, in memory or mapped from a file.
  std::size_t memory_bytes() const noexcept;

 private:
  using Index = std::uint32_t;
  struct Entries;
  struct Tables;
  struct Loaded;

  // The automaton in the bytes of a saved one, checked; `source` names them
  // in failures.
  Automaton(kelvra::common::ImageBytes bytes, const std::string& source);
  void reset_to_empty() noexcept;
  // The sections of the saved form; `fields` must outlive the writer.
  kelvra::common::ImageWriter image_writer(std::span<const std::uint64_t> fields) const;

  // The words, folded by `folds`.
  static Entries decode_words(std::size_t count,
                              const std::function<std::string_view(std::size_t)>& word_at,
                              std::uint8_t folds);
  // Builds the tables of `entries`, words folded by `folds`.
  void build(Entries& entries, std::uint8_t folds);
  Index symbol_of(char32_t cp) const noexcept;
  // The state after `symbol` read in `state`: its child under `symbol`, else
  // that of its longest suffix state that has one, else the root.
  Index step(Index state, Index symbol) const noexcept;
  // Moves `state` to its child under `symbol` (0: in no word) and says so;
  // false, `state` unchanged, where it has none.
  bool to_child(Index& state, Index symbol) const noexcept;

  // Dense alphabet: symbol 0 is "not in any word"; 1.. the code points used.
  struct AstralSymbol {
    char32_t code_point;
    Index symbol;
  };
  // The states, as slots of a double array; the root is slot 0. The child
  // of state s under symbol c is t = slots_[s].base + c if slots_[t].check
  // is s, and there is none otherwise. Free slots have a check no state
  // has; the array reaches past every base by the whole alphabet, so no
  // lookup falls off its end.
  struct Slot {
    Index base;
    Index check;   // parent state
    Index fail;    // longest proper suffix that is a state
    Index report;  // first word (a Term) ending here, this state's own or a suffix's; 0 if none
  };
  // A word of the dictionary, as reported: its sizes, the next shorter word
  // that is a suffix of it (0 if none) and how many words that chain holds,
  // this one included. Term 0 is unused.
  struct Term {
    Index bytes;
    Index length;
    Index next;
    Index count;
  };
  // Where each word comes from: the index in the dictionary of its first
  // listing (its id) and the state it ends in. One per Term.
  struct TermSource {
    Index first;
    Index state;
  };

  // Hands each occurrence, in the order of `options`, to
  // report(begin_byte, end_byte, offset, length, term): its bytes
  // [begin_byte, end_byte) in `text`, its first code point and length in
  // code points of `text`, and its Term.
  template <class Report>
  void scan(std::string_view text, const SearchOptions& options, Report&& report) const;
  template <class Report>
  void scan_overlapping(std::string_view text, bool whole_words, Report&& report) const;
  template <class Report>
  void scan_leftmost(std::string_view text, const SearchOptions& options, Report&& report) const;
  // The walks of the leftmost kinds, stepping through the trie with
  // follow(state, depth, code point) (see the source).
  template <class Report, class Follow>
  void walk_leftmost(std::string_view text, const SearchOptions& options, Report&& report,
                     Follow&& follow) const;
  // The same scans reading the text folded.
  template <class Report>
  void scan_folded_overlapping(std::string_view text, bool whole_words, Report&& report) const;
  template <class Report>
  void scan_folded_leftmost(std::string_view text, const SearchOptions& options,
                            Report&& report) const;
  // The code point of each symbol, for `word`.
  void index_code_points();
  // For a folding automaton, the symbol of the folding of each code point
  // of the basic plane (kFoldsToMore where that is not one code point).
  void index_folded_symbols();
  static constexpr Index kFoldsToMore = UINT32_MAX;

  // Throws through `image` unless the tables form a sound automaton: every
  // index in range, every state reachable from the root, every link
  // pointing where building would point it. Returns the state each Term
  // belongs to (0 for Term 0).
  static std::vector<Index> check_tables(const kelvra::common::ImageReader& image,
                                         std::uint64_t alphabet, std::span<const Index> bmp_symbols,
                                         std::span<const AstralSymbol> astral_symbols,
                                         std::span<const Slot> slots, std::span<const Term> terms);
  // Throws through `image` unless each word's source and the dictionary
  // agree with the states the words end in (`term_state`).
  static void check_sources(const kelvra::common::ImageReader& image,
                            std::span<const Index> term_state, std::span<const TermSource> sources,
                            std::span<const Index> dictionary);

  // The tables are views into `storage_`: the arrays of a built automaton,
  // or the bytes of a saved one (mapped or copied).
  std::shared_ptr<const void> storage_;
  bool mapped_ = false;
  Index alphabet_ = 0;
  std::span<const Index> bmp_symbols_;            // indexed by code point < its size
  std::span<const AstralSymbol> astral_symbols_;  // sorted, for code points >= 0x10000
  std::span<const Slot> slots_;
  std::span<const Term> terms_;
  std::span<const TermSource> sources_;
  std::span<const Index> dictionary_;  // the Term of each word as given, 0 for an empty one
  bool ordered_ = true;
  std::uint8_t folds_ = 0;
  Index longest_ = 0;                  // the longest word's length in (folded) code points
  std::vector<char32_t> code_points_;  // by symbol
  std::vector<Index> folded_symbols_;  // by code point below U+10000, when folding
  // Whether a byte is the first byte of the first code point of a word:
  // where it is not, no occurrence starts.
  std::array<bool, 256> starting_bytes_{};
};

}  // namespace kelvra::nlp::common::matcher
