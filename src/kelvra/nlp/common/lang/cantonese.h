// Cantonese to Mandarin: rewrites Cantonese wording with Mandarin wording,
// word by word, with a dictionary, and leaves Mandarin as it is.
//
//   Cantonese cantonese;                               // the shipped c2m.tsv
//   cantonese.translate("佢哋而家喺邊度食緊飯？");     // "他们现在在哪里吃饭？"
//   cantonese.translate("如果系統支援的話");           // "如果系统支援的话"
//   Cantonese custom("my_c2m.tsv");                    // a dictionary of one's own
//
// translate converts the text to simplified characters with the shared
// "t2s" OpenCC converter, cuts it into words with the Cantonese segmenter
// and replaces each word that is a key of the dictionary by its Mandarin
// word. The segmenter's lexicon is the dictionary's Cantonese words and a
// list of Mandarin words (the shipped mandarin_words.txt), so that a
// Mandarin word made of characters that are Cantonese words on their own
// (的話, 磁碟, 標識) stays whole and is not rewritten. Among cuts with the
// same number of words, a dictionary word holding a character that
// Mandarin does not write (佢, 唔, 咗, ...) wins over Mandarin words that overlap
// it, and Mandarin words win over rewrites made of characters Mandarin uses
// too. A dictionary word matches text written as the dictionary writes it
// or in simplified characters: a dictionary written in traditional
// characters matches text in either script, while 繫 (simplified 系) is not
// taken for the Cantonese 係 (also 系). Lookup is by whole word; word order
// and words not in the dictionary stay as they are, converted as OpenCC
// converts the whole text. It is a dictionary substitution, not a
// grammar-aware translation.
//
// Dictionary file: UTF-8 text, one pair a line, the usual line endings
// (LF, CRLF, CR). Each line is trimmed of white space at both ends, then
// split at every tab (consecutive tabs give empty fields); lines with fewer
// than two fields are skipped; field 1 is the Cantonese word, field 2 its
// Mandarin word, further fields are ignored. Both are converted to
// simplified characters before they are stored. A later line with the same
// converted Cantonese word replaces the earlier pair. A byte order mark is
// kept as part of the first word.
//
// Mandarin word list: UTF-8 text, one word a line, trimmed; empty lines and
// lines starting with # are skipped. Words are converted to simplified
// characters as they are loaded. Its single characters are the characters
// that Mandarin writes; any other character marks a dictionary word as one
// that only Cantonese uses.
//
// The shipped data lives in share/kelvra-nlp/ under the installation
// prefix, found relative to the installed library, and in data/ beside the
// library in the build tree.
//
// Each dictionary load writes one INFO line through the module logger
// "kelvra.nlp.common.lang.cantonese" (to standard error unless the process
// registered that logger first), laid out as LOG_FORMAT says, e.g.
//   [2026-12-08 01:02:03,456] [INFO] [kelvra.nlp.common.lang.cantonese:123] Loaded 1462 cantonese-mandarin pairs from /opt/kelvra/share/kelvra-nlp/c2m.tsv
//
// A Cantonese instance is immutable after construction; one instance
// serves any number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

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

// A word that translate rewrote, and the dictionary entry that did it.
struct Rewrite {
  std::int64_t offset = 0;  // in code points of the text given to translate
  std::int64_t length = 0;  // code points
  std::string text;         // the word as the text writes it
  std::string mandarin;     // what it became
  std::int64_t line = 0;    // the entry's line in the dictionary file, from 1
  std::string entry_cantonese;  // the entry's two words as the file writes them
  std::string entry_mandarin;
};

class Cantonese {
 public:
  // The field separator of the dictionary file.
  static constexpr std::string_view SEPERATOR = "\t";

  using Dictionary = std::unordered_map<std::string, std::string>;

  // Loads `dict_file` (absent: default_dict_file()) and the Mandarin word
  // list `words_file` (absent: default_words_file()); given paths are used
  // unchanged. FileError with the path when a file cannot be opened or
  // read, and with the path and line when a line is not valid UTF-8;
  // FileError naming "t2s" when the converter cannot be built.
  explicit Cantonese(std::optional<std::string> dict_file = std::nullopt,
                     std::optional<std::string> words_file = std::nullopt);
  ~Cantonese();

  // An instance holds a dictionary and a segmenter; copies would only
  // duplicate the loaded data. Moving is fine.
  Cantonese(const Cantonese&) = delete;
  Cantonese& operator=(const Cantonese&) = delete;
  Cantonese(Cantonese&&) noexcept;
  Cantonese& operator=(Cantonese&&) noexcept;

  // The shipped c2m.tsv and mandarin_words.txt, as absolute paths: in
  // share/kelvra-nlp/ under the prefix of the installed library that holds
  // this module, or else in data/ beside it (the build tree). When neither
  // holds the file, the installed place is named.
  static std::string default_dict_file();
  static std::string default_words_file();

  // Reads the dictionary file (format above) and writes the INFO line
  // "Loaded N cantonese-mandarin pairs from PATH", N the number of distinct
  // converted Cantonese words and PATH as given. Failures as the
  // constructor's.
  static Dictionary _load(const std::string& dict_file);

  // The loaded dictionary: converted Cantonese word -> converted Mandarin word.
  const Dictionary& _c2m() const noexcept;
  // The dictionary file as given to (or chosen by) the constructor.
  const std::string& dict_file() const noexcept;

  // `text` with its Cantonese words replaced by their Mandarin words, in
  // simplified characters (see the top of this file). TypeError naming
  // `text` when it is not valid UTF-8; an empty text gives "".
  std::string translate(std::string_view text) const;

  // The same, appending to `rewrites` each word whose dictionary entry
  // changed it beyond the conversion to simplified characters, in text
  // order.
  std::string translate(std::string_view text, std::vector<Rewrite>& rewrites) const;

 private:
  // translate, appending to `rewrites` when it is given.
  std::string rewrite(std::string_view text, std::vector<Rewrite>* rewrites) const;

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelvra::nlp::common::lang::cantonese
