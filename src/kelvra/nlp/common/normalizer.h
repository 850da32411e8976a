// Text normalisation with change tracking: traditional to simplified
// Chinese, control characters to blanks, full-width to half-width, each
// step switchable per call, and every changed position reported against
// the input.
//
//   Normalizer normalizer({});                      // converter built from "t2s"
//   Text result = normalizer.normalize("頭髮Ａ\x07");
//   // result.normalized_text == "头发A ", four AlterWords at offsets 0..3
//
// The steps run in the order conversion, control-character replacement
// (replace_ctrl_char), full-width to half-width (Q2B), position by position
// over the input's code points. A position whose final value differs from
// the input character is reported once, as an AlterWord holding the input
// character, its final value and its input offset. Offsets always count
// code points of the input; normalized_text is the values of all positions
// joined in order.
//
// The converter is called once on the whole text (once on each stretch
// between NUL characters, which the converter would stop at; the NULs keep
// their places and go through the other steps). Its output is expected to
// have one code point per input code point (Debian's t2s data keeps the
// length), and is then matched to the input position by position. When its
// length differs, the text is converted again one code point at a time, so
// that each input position gets its own value (which may then be longer or
// shorter than one code point) and no text is lost. (Data that changes the
// length of two phrases in opposite directions within one text can still
// keep the total; only the total is checked.)
//
// A Normalizer is immutable after construction; one instance serves any
// number of threads at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelvra/common/record.h"
#include "kelvra/common/record_layout.h"
#include "kelvra/nlp/common/common.h"

namespace kelvra::nlp::common::normalizer {

// One changed position of the input.
class AlterWord {
 public:
  // `text` and `normalized_text` must be valid UTF-8 (TypeError naming the
  // parameter otherwise).
  AlterWord(std::string text, std::string normalized_text, std::int64_t offset);

  std::string text;             // the input character at `offset`
  std::string normalized_text;  // what the position became after all steps
  std::int64_t offset;          // code points from the start of the input

  // {"text", "normalized_text", "offset"}, laid out by alter_word_members
  Record to_json() const;
  // Accepts keys in any order and ignores unknown ones. TypeError naming
  // `json` when it is not a map, KeyError naming a missing key, TypeError
  // naming a field of the wrong kind; reals in "offset" are truncated.
  static AlterWord from_json(const Record& json);
  // The record text form, e.g. {'text': 'Ａ', 'normalized_text': 'A', 'offset': 4}.
  std::string to_string() const;
  bool operator==(const AlterWord&) const = default;
};

// The result of one normalisation.
class Text {
 public:
  // `text` and `normalized_text` must be valid UTF-8 (TypeError naming the
  // parameter otherwise).
  Text(std::string text, std::string normalized_text, std::vector<AlterWord> alter_words);

  std::string text;             // the caller's input, unchanged
  std::string normalized_text;  // the normalised text
  // One entry per changed position, ascending offsets. Absent only when a
  // caller sets it so; normalize always gives a list.
  std::optional<std::vector<AlterWord>> alter_words;

  // {"text", "normalized_text", "alter_words": [AlterWord records] or null},
  // laid out by text_members
  Record to_json() const;
  // As AlterWord::from_json; a null "alter_words" gives the absent value.
  static Text from_json(const Record& json);
  std::string to_string() const;
  bool operator==(const Text&) const = default;
};

// The members of an AlterWord record, in order, handed to `out.member` (see
// record_layout.h): the one layout of AlterWord::to_json and of writers that
// stream the changes as normalize finds them.
template <class Out, class Text, class Normalized>
void alter_word_members(Out& out, const Text& text, const Normalized& normalized_text,
                        std::int64_t offset) {
  out.member("text", text);
  out.member("normalized_text", normalized_text);
  out.member("offset", offset);
}

// The members normalising adds to a text, in order: its normalised form,
// then the list of its changes (AlterWord records, null, or a callable that
// makes or writes the list).
template <class Out, class Normalized, class AlterWords>
void normalized_members(Out& out, const Normalized& normalized_text, AlterWords&& alter_words) {
  out.member("normalized_text", normalized_text);
  out.member("alter_words", std::forward<AlterWords>(alter_words));
}

// The members of a Text record: the input's "text", then normalized_members.
template <class Out, class Input, class Normalized, class AlterWords>
void text_members(Out& out, const Input& text, const Normalized& normalized_text,
                  AlterWords&& alter_words) {
  out.member("text", text);
  normalized_members(out, normalized_text, std::forward<AlterWords>(alter_words));
}

std::ostream& operator<<(std::ostream& os, const AlterWord& word);
std::ostream& operator<<(std::ostream& os, const Text& text);

class Normalizer {
 public:
  // `validChrList`: characters kept even when they are control characters
  // (see common.h), handed unchanged to the replacement step. `config`: the
  // OpenCC configuration of the converter, by name ("t2s" finds t2s.json in
  // OpenCC's data folder) or by path. FileError naming `config` when the
  // converter cannot be built from it.
  explicit Normalizer(ValidChrList validChrList, const std::string& config = "t2s");
  ~Normalizer();

  // The converter is costly to build and holds no per-call state: copying
  // would only duplicate it. Moving is fine.
  Normalizer(const Normalizer&) = delete;
  Normalizer& operator=(const Normalizer&) = delete;
  Normalizer(Normalizer&&) noexcept;
  Normalizer& operator=(Normalizer&&) noexcept;

  const ValidChrList& validChrList() const noexcept { return validChrList_; }

  // The normaliser's converter on `text` alone: the conversion that
  // normalize starts from when is_to_zhs is set (OpenCC's conversion of the
  // whole text). TypeError naming `text` when it is not valid UTF-8;
  // KvException with INTERNAL_ERROR when the converter fails.
  std::string convert(std::string_view text) const;

  // Normalises `text` with the switched-on steps (see the top of this file).
  // TypeError naming `text` when it is not valid UTF-8; KvException with
  // INTERNAL_ERROR when the converter fails.
  Text normalize(std::string_view text, bool is_q2b = true, bool is_replace = true,
                 bool is_to_zhs = true) const;

  // The same normalisation for callers that write the result out as they
  // go, with nothing held per changed position: calls `on_text` once with
  // normalized_text, then `on_change` with the text, normalized_text and
  // offset of each AlterWord that normalize would list, in the same order.
  // The views are valid during the call only. Failures as normalize's,
  // before any call.
  using TextVisitor = std::function<void(std::string_view normalized_text)>;
  using ChangeVisitor = std::function<void(std::string_view text, std::string_view normalized_text,
                                           std::int64_t offset)>;
  void normalize(std::string_view text, const TextVisitor& on_text, const ChangeVisitor& on_change,
                 bool is_q2b = true, bool is_replace = true, bool is_to_zhs = true) const;

 private:
  struct Impl;
  ValidChrList validChrList_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelvra::nlp::common::normalizer
