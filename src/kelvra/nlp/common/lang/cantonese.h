// Cantonese to Mandarin: rewrites Cantonese wording with Mandarin wording,
// word by word, with a dictionary.
//
//   Cantonese cantonese;                               // the shipped data/c2m.tsv
//   cantonese.translate("佢哋而家喺邊度食緊飯？");     // "他们现在在哪里吃饭？"
//   Cantonese custom("my_c2m.tsv");                    // a dictionary of one's own
//
// translate cuts the text into words with the Cantonese segmenter (whose
// lexicon is the dictionary's Cantonese words, as written and in simplified
// characters), converts each word to simplified characters with the shared
// "t2s" OpenCC converter, and replaces a converted word that is a key of
// the dictionary by its Mandarin word. Lookup is by whole word only; word
// order and words not in the dictionary stay as they are, in simplified
// characters. It is a dictionary substitution, not a grammar-aware
// translation.
//
// Dictionary file: UTF-8 text, one pair a line, the usual line endings
// (LF, CRLF, CR). Each line is trimmed of white space at both ends, then
// split at every tab (consecutive tabs give empty fields); lines with fewer
// than two fields are skipped; field 1 is the Cantonese word, field 2 its
// Mandarin word, further fields are ignored. Both are converted to
// simplified characters before they are stored, so a dictionary written in
// traditional characters matches text in either script. A later line with
// the same converted Cantonese word replaces the earlier pair. A byte order
// mark is kept as part of the first word.
//
// Each load writes one INFO line through the module logger
// "kelvra.nlp.common.lang.cantonese" (to standard error unless the process
// registered that logger first), laid out as LOG_FORMAT says, e.g.
//   [2026-12-08 01:02:03,456] [INFO] [kelvra.nlp.common.lang.cantonese:123] Loaded 612 cantonese-mandarin pairs from /opt/kelvra/lib/data/c2m.tsv
//
// A Cantonese instance is immutable after construction apart from an
// internal, lock-protected cache of word conversions; one instance serves
// any number of threads at once.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include <spdlog/logger.h>

namespace kelvra::nlp::common::lang::cantonese {

// The layout of a log line, in the placeholder notation of Python-style
// logging: time stamp (YYYY-MM-DD HH:MM:SS,mmm), level name in capitals,
// logger name and the source line of the logging call, then the message.
inline constexpr std::string_view LOG_FORMAT =
    "[%(asctime)s] [%(levelname)s] [%(name)s:%(lineno)s] %(message)s";

// The module logger, set up with LOG_FORMAT and level INFO on first use,
// unless the process registered a logger of that name before.
const std::shared_ptr<spdlog::logger>& logger();

class Cantonese {
 public:
  // The field separator of the dictionary file.
  static constexpr std::string_view SEPERATOR = "\t";

  using Dictionary = std::unordered_map<std::string, std::string>;

  // Loads `dict_file` (absent: default_dict_file()); a given path is used
  // unchanged. FileError with the path when the file cannot be opened or
  // read, and with the path and line when a line is not valid UTF-8;
  // FileError naming "t2s" when the converter cannot be built.
  explicit Cantonese(std::optional<std::string> dict_file = std::nullopt);
  ~Cantonese();

  // An instance holds a dictionary, a segmenter and a cache guarded by a
  // mutex; copies would only duplicate the loaded data. Moving is fine.
  Cantonese(const Cantonese&) = delete;
  Cantonese& operator=(const Cantonese&) = delete;
  Cantonese(Cantonese&&) noexcept;
  Cantonese& operator=(Cantonese&&) noexcept;

  // data/c2m.tsv in the directory of the library that holds this module,
  // made absolute (found at run time, so it holds in the build tree and
  // after installation).
  static std::string default_dict_file();

  // Reads the dictionary file (format above) and writes the INFO line
  // "Loaded N cantonese-mandarin pairs from PATH", N the number of distinct
  // converted Cantonese words and PATH as given. Failures as the
  // constructor's.
  static Dictionary _load(const std::string& dict_file);

  // The loaded dictionary: converted Cantonese word -> converted Mandarin word.
  const Dictionary& _c2m() const noexcept;

  // `text` with its Cantonese words replaced by their Mandarin words, in
  // simplified characters (see the top of this file). TypeError naming
  // `text` when it is not valid UTF-8; an empty text gives "".
  std::string translate(std::string_view text) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelvra::nlp::common::lang::cantonese
