// Sentence and clause splitting of a text, or of a list of word records.
//
//   Phraser phraser;                                   // default enders, max_len 510
//   auto sentences = phraser.split("你好。再见！");
//   // sentences[1].text == "再见！", sentences[1].offset == 3, one clause each
//
// One routine, split_by_char, walks the tokens (a text's characters, or the
// caller's words) and closes a chunk after a boundary token:
//  - a boundary directly followed by a closing quote (stop_chars) is not cut;
//    the cut comes after the quote;
//  - between 【 and 】 or 「 and 」 nothing is cut (the depth is not clamped,
//    so a lone closing bracket makes it negative), unless the length cap is
//    reached or the input ends;
//  - a chunk is closed when adding the next token would make its text longer
//    than max_len code points;
//  - the input's end closes the last chunk.
// Sentences are cut at punct_chars, and each sentence into clauses at
// clause_chars. Offsets are the `id` of a chunk's first word (for text,
// its code-point index), lengths the number of words; clause offsets are in
// the same coordinates as their sentence's.
//
// A Phraser is immutable after construction: one instance serves any number
// of threads at once.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "kelvra/nlp/common/feature/feature.h"

namespace kelvra::common {
class ThreadPool;
}

namespace kelvra::nlp::common::phraser {

using feature::Clause;
using feature::Sentence;
using feature::Word;

// Where one sentence of a text lies: bytes [byte_begin, byte_end) of the
// text, `length` code points from code point `offset`.
struct SentenceSpan {
  std::size_t byte_begin;
  std::size_t byte_end;
  std::int64_t offset;
  std::int64_t length;
};

// Where the sentence walk of a text stands between two of its characters:
// all that the walk carries from one character to the next. It lets the
// sentences of a long text be found piece by piece (on several threads, say)
// and joined into exactly those of the walk over the whole text; see
// Phraser::walk_sentences. A default SentenceWalk is the start of a text.
struct SentenceWalk {
  std::size_t byte = 0;          // the next character to walk
  std::int64_t offset = 0;       // its code-point position, as the caller counts
  std::size_t open_byte = 0;     // where the sentence not yet closed begins
  std::int64_t open_offset = 0;  //   (open_byte == byte when none is open)
  std::int64_t depth = 0;        // bracket depth: 【 and 「 add 1, 】 and 」 take 1
  std::int64_t peak_depth = 0;   // the greatest depth since the walk began
  bool after_boundary = false;   // the last character walked ends sentences
  bool operator==(const SentenceWalk&) const = default;
};

class Phraser {
 public:
  // Sentence enders used when the constructor is given none. The ASCII full
  // stop is deliberately absent: an English period does not end a sentence.
  static constexpr std::array<std::string_view, 45> default_punct_chars = {
      "｡", "。", ";",  "；", "!",  "?",  "।",  "॥", "၊", "။",   "።", "፧", "፨", "᙮", "᠃",
      "᠉", "᱾",  "᱿",  "‼",  "‽",  "⁇",  "⁈",  "⁉", "⸮", "⸼", "꓿", "꘎", "꘏", "꡶", "꡷",
      "꧈", "꧉",  "﹖", "﹗", "！", "．", "？", "𐩖", "𐩗", "𑁇",   "𑁈", "𑅁", "𑅂", "𑅃", "\n"};
  // Clause boundaries.
  static constexpr std::array<std::string_view, 6> clause_chars = {"，", "：", ",",
                                                                   ":",  "】", "」"};
  // Closing quotation marks that belong to the chunk before them.
  static constexpr std::array<std::string_view, 2> stop_chars = {"”", "’"};
  // Brackets that suspend cutting, and their closing partners.
  static constexpr std::array<std::string_view, 2> quote_left_char = {"【", "「"};
  static constexpr std::array<std::string_view, 2> quote_right_char = {"】", "」"};

  static constexpr std::int64_t kDefaultMaxLen = 510;
  // The tense of every clause cut here: clauses are not analysed for tense.
  static constexpr std::string_view kClauseTense = "done";

  // The four lists above, for a phraser that uses others in their place (a
  // caller's own clause marks, quotes or brackets). An entry of one code
  // point marks that character in a text and word tokens of that text; a
  // longer entry marks word tokens whose text it is.
  struct Marks {
    std::vector<std::string> clause_chars;
    std::vector<std::string> stop_chars;
    std::vector<std::string> quote_left_char;
    std::vector<std::string> quote_right_char;
  };

  // `punct_chars`: the sentence enders; absent or empty means
  // default_punct_chars. `max_len`: the chunk length cap; 0 means 510.
  // Entries must be valid UTF-8 (TypeError naming `punct_chars`).
  explicit Phraser(std::optional<std::vector<std::string>> punct_chars = std::nullopt,
                   std::int64_t max_len = kDefaultMaxLen);
  // The same with `marks` in place of the four lists; entries must be valid
  // UTF-8 (TypeError naming the list).
  Phraser(std::optional<std::vector<std::string>> punct_chars, std::int64_t max_len,
          const Marks& marks);

  const std::unordered_set<std::string>& punct_chars() const noexcept { return punct_chars_; }
  std::int64_t max_len() const noexcept { return max_len_; }

  // Sentences of a text (TypeError naming `input` when it is not valid
  // UTF-8), or of a list of words. An empty input gives no sentences.
  std::vector<Sentence> split(std::string_view input) const;
  std::vector<Sentence> split(const std::vector<Word>& input) const;
  // The sentences of split(input), the same for any `threads`: a long text
  // is walked in pieces on `threads` threads (see walk_sentences below), a
  // short one, or any with `threads` 1, on the caller's alone.
  // KvException(INVALID_PARAMETERS) naming `threads` when it is below 1.
  std::vector<Sentence> split(std::string_view input, std::int64_t threads) const;
  // The same on the threads of the caller's `pool` (kelvra/common/thread_pool.h),
  // which may serve other calls, on other threads, at the same time. Not
  // from a task of that pool: the call waits for the tasks it gives it.
  std::vector<Sentence> split(std::string_view input, kelvra::common::ThreadPool& pool) const;

  // Where the sentences of split(input, threads) and their clauses lie,
  // without their texts, for a caller that makes its own records of them
  // (slices of a string it already holds, say): the clauses of sentences[i]
  // are clauses[first_clause[i] .. first_clause[i + 1]), in order. The
  // sentence and clause ids of split are their positions. TypeError naming
  // `input` when it is not valid UTF-8; KvException(INVALID_PARAMETERS)
  // naming `threads` when it is below 1.
  struct Layout {
    std::vector<SentenceSpan> sentences;
    std::vector<SentenceSpan> clauses;
    std::vector<std::size_t> first_clause;  // one more than sentences
  };
  Layout layout(std::string_view input, std::int64_t threads = 1) const;

  // Cuts `words` into chunks at the words whose text is in `chars`; with no
  // `chars`, only at the length cap and the end. The chunks hold every word
  // once, in order; none is empty.
  std::vector<std::vector<Word>> split_by_char(const std::vector<Word>& words) const;
  std::vector<std::vector<Word>> split_by_char(const std::vector<Word>& words,
                                               const std::vector<std::string>& chars) const;
  std::vector<std::vector<Word>> split_by_char(const std::vector<Word>& words,
                                               const std::unordered_set<std::string>& chars) const;

  // One word per character: ids and offsets 0, 1, 2, ..., length 1 (TypeError
  // naming `text` when it is not valid UTF-8). For a list of strings, one
  // word per item, ids and offsets advancing by each item's length.
  static std::vector<Word> get_single_words(std::string_view text);
  static std::vector<Word> get_single_words(const std::vector<std::string>& text);

  // Calls `visit` for each sentence of `text`, in order, without building
  // records; the spans are exactly those of split(text). TypeError naming
  // `input` when `text` is not valid UTF-8.
  void for_each_sentence(std::string_view text,
                         const std::function<void(const SentenceSpan&)>& visit) const;

  // Calls `visit` for each clause of `sentence`, a span for_each_sentence
  // gave for the same `text`, in order; the spans (offsets in `text`, as the
  // sentence's) are exactly those of the sentence's clauses in split(text).
  // IndexError when the span lies outside `text`.
  void for_each_clause(std::string_view text, const SentenceSpan& sentence,
                       const std::function<void(const SentenceSpan&)>& visit) const;

  // --- A long text in pieces ---
  //
  // for_each_sentence(text) is one walk over the characters of `text`.
  // walk_sentences goes on with such a walk from `walk` (a default one at
  // the text's start) over the characters up to byte `end`, calling `visit`
  // for each sentence that closes there (offsets counted from walk.offset's
  // origin), and returns where the walk then stands. Like the whole walk, it
  // looks at the character at `end` to decide on the one before it; at the
  // end of `text` it closes the sentence still open. Walks chained piece by
  // piece therefore visit exactly the sentences of for_each_sentence(text).
  //
  // A piece may also be walked before the walk up to its start is known, by
  // guessing that a sentence begins there at depth 0 (`SentenceWalk{.byte =
  // b, .open_byte = b, .after_boundary = true}`, offsets then counted from
  // b) where piece_start() says one most likely does. The guess held, and
  // the piece's sentences (shifted by the true offset) are exact, when the
  // true walk stands there with no sentence open and either at depth 0, or
  // at a depth below 0 while the guessed walk's peak_depth stayed at or
  // below 0 (the bracket tests then all came out alike).
  //
  // `text` must be valid UTF-8 and walk.byte <= end <= text.size() must lie
  // between characters: neither is checked here (for_each_sentence checks
  // the whole text once).
  SentenceWalk walk_sentences(std::string_view text, std::size_t end, SentenceWalk walk,
                              const std::function<void(const SentenceSpan&)>& visit) const;

  // The first place at or after byte `from` of valid UTF-8 `text` that
  // follows a single-character sentence ender which no closing quotation
  // mark (stop_chars) follows; text.size() when there is none. Whenever the
  // walk reaches such a place at a bracket depth of 0 or below, it closes a
  // sentence there, whatever came before. `from` may lie inside a character.
  std::size_t piece_start(std::string_view text, std::size_t from) const;

 private:
  // split(input, threads) and layout(input, threads) of a long text on `pool`.
  std::vector<Sentence> split_on(std::string_view input, kelvra::common::ThreadPool& pool,
                                 std::int64_t threads) const;
  Layout layout_on(std::string_view input, kelvra::common::ThreadPool& pool,
                   std::int64_t threads) const;
  // The clauses of `sentences`, spans of `input`, added to `layout`.
  void add_clauses(std::string_view input, std::span<const SentenceSpan> sentences,
                   Layout& layout) const;
  void mark(std::string_view text, std::uint8_t flag);
  // Quote and bracket flags of a word's text.
  std::uint8_t flags_of(std::string_view text) const;
  std::vector<std::vector<Word>> cut_words(const std::vector<Word>& words,
                                           const std::unordered_set<std::string>* chars) const;
  // The walk over text[walk.byte, end) with chunks closed at `boundary`
  // characters; `limit` is where the walked input ends (the look-ahead
  // stops there).
  SentenceWalk walk_text(std::string_view text, std::size_t end, std::size_t limit,
                         std::uint8_t boundary, SentenceWalk walk,
                         const std::function<void(const SentenceSpan&)>& visit) const;
  std::uint8_t code_point_flags(char32_t cp) const;

  std::unordered_set<std::string> punct_chars_;
  std::int64_t max_len_;
  // Per-code-point flags (enders, clause marks, quotes, brackets): a flat
  // table for the Basic Multilingual Plane, a short sorted list beyond it.
  std::vector<std::uint8_t> bmp_flags_;
  std::vector<std::pair<char32_t, std::uint8_t>> astral_flags_;
  // Quote and bracket entries of more than one code point, for word tokens
  // (none with the lists above).
  std::vector<std::pair<std::string, std::uint8_t>> word_flags_;
  std::unordered_set<std::string> clause_set_;
};

}  // namespace kelvra::nlp::common::phraser
