// OpenCC's conversion of whole texts (traditional to simplified Chinese and
// the like), exactly as OpenCC converts them, at the cost of a table lookup
// per code point for most of the text.
//
//   const internal::Converter t2s("t2s");
//   std::string out = t2s.convert("乾隆的頭髮");   // "乾隆的头发", as OpenCC gives it
//
// OpenCC cuts a text into the phrase entries of its dictionaries (乾隆,
// 著作, 瞭解, ...) by longest match and converts every other code point
// alone. So a stretch of text that holds no phrase entry is converted code
// point by code point, each looked up in a table: a code point that the
// conversion dictionary does not hold stays as it is, and those it holds
// are converted by OpenCC itself the first time they turn up (all those of
// a text at once). A run of characters that phrase entries use, and that
// holds one, goes to OpenCC whole: such a run is bounded by characters that
// no phrase entry holds, where OpenCC's own cut must also fall, so its
// conversion is the same as within the whole text. A code point whose
// conversion is not a single code point is converted by OpenCC each time.
// Configurations that this reasoning does not cover (another segmentation
// than longest match, more than one conversion in the chain, a line feed
// inside a phrase entry, keys that are not UTF-8) are converted by OpenCC
// whole.
//
// NUL characters keep their places, and the text on either side of each is
// converted as a text of its own (see convert_stretches.h): OpenCC would
// stop at the first one.
//
// A Converter is immutable to its callers: the table fills itself behind a
// lock-free read path, so one instance serves any number of threads.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvra::nlp::common::internal {

class Converter {
 public:
  // `config`: an OpenCC configuration, by name ("t2s" finds t2s.json in
  // OpenCC's data folder) or by path. FileError naming `config` when the
  // converter cannot be built from it or its dictionaries cannot be read.
  explicit Converter(const std::string& config);
  ~Converter();

  // Holds OpenCC's dictionaries and a table that only grows; a copy would
  // load and fill them again. Moving is fine.
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  Converter(Converter&&) noexcept;
  Converter& operator=(Converter&&) noexcept;

  // OpenCC's conversion of `text`, which must be valid UTF-8, as a whole.
  // The result is valid UTF-8. KvException with INTERNAL_ERROR when OpenCC
  // fails or returns text that is not valid UTF-8.
  std::string convert(std::string_view text) const;

  // Each code point that the conversion dictionary holds alone and that,
  // converted by itself, becomes one other code point, with that code
  // point; sorted. Empty for configurations converted whole (see above).
  std::vector<std::pair<char32_t, char32_t>> single_conversions() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelvra::nlp::common::internal
