// Cantonese to Mandarin: rewrites Cantonese wording with Mandarin wording,
// word by word with a dictionary and with the grammar patterns of a rules
// file, and leaves Mandarin as it is.
//
//   Cantonese cantonese;                               // the shipped data
//   cantonese.translate("佢哋而家喺邊度食緊飯？");     // "他们现在在哪里吃饭？"
//   cantonese.translate("你記唔記得我？");             // "你记不记得我？"
//   cantonese.translate("如果系統支援的話");           // "如果系统支援的话"
//   Cantonese custom("my_c2m.tsv");                    // a dictionary of one's own
//
// translate converts the text to simplified characters with the shared
// "t2s" OpenCC converter, cuts it into words with the Cantonese segmenter
// and replaces each word that is a key of the dictionary by its Mandarin
// word, or that a rule changes where it stands. The segmenter's lexicon is
// the dictionary's Cantonese words, a list of Mandarin words (the shipped
// mandarin_words.txt), so that a Mandarin word made of characters that are
// Cantonese words on their own (的話, 磁碟, 標識) stays whole and is not
// rewritten, and the words of the rules file. Among cuts with the same
// number of words, a dictionary word holding a character that Mandarin does
// not write (佢, 唔, 咗, ...) wins over Mandarin words that overlap it, and
// Mandarin words win over rewrites made of characters Mandarin uses too.
// Keys are matched in the form OpenCC's conversion gives the text (嗰 is
// 𠮶 there). Words not in the dictionary stay as they are, converted as
// OpenCC converts the whole text.
//
// Sentences (up to 。！？!?…． or a line end, and at most 65,536 code points)
// are translated one at a time. A sentence is Cantonese when it holds a
// character that only Cantonese writes (a dictionary word's Chinese
// character that the word list does not hold), when its cut takes a
// dictionary word that changes something and is not a Mandarin word of the
// list (而家, 幾耐), or when a rule marked `marks` holds in it. In a
// Cantonese sentence rewrites win over Mandarin words of the list among
// equally short cuts, a Mandarin word of the list never takes in a
// character that the rules guard (係 in 書係: 书系 is a Mandarin word, but
// here 係 is "is"), and rules marked `cantonese` apply. A sentence without
// those marks is Mandarin text: only dictionary words and the rules not
// marked `cantonese` change it. A dictionary word matches text written as
// the dictionary writes it or in simplified characters; a rule's word, as
// the rules file writes it, or in simplified characters in a Cantonese
// sentence only (系 in Mandarin text is not the Cantonese 係).
//
// Dictionary file: UTF-8 text, one pair a line, the usual line endings
// (LF, CRLF, CR). Each line is trimmed of white space at both ends, then
// split at every tab (consecutive tabs give empty fields); lines with fewer
// than two fields are skipped; field 1 is the Cantonese word, field 2 its
// Mandarin word, further fields are ignored. Both are converted to
// simplified characters before they are stored. A later line with the same
// converted Cantonese word replaces the earlier pair. A UTF-8 byte order
// mark at the very start of the file is its encoding signature and is
// dropped, so the first word matches; anywhere else U+FEFF is text.
//
// Mandarin word list: UTF-8 text, one word a line, trimmed; empty lines and
// lines starting with # are skipped; a byte order mark at the very start is
// dropped, as in the dictionary. Words are converted to simplified
// characters as they are loaded. Its single characters are the characters
// that Mandarin writes; any other Chinese character marks a dictionary word
// as one that only Cantonese uses. A dictionary word that the list holds
// too is one Mandarin uses as well.
//
// Rules file: words that change only in some places, and grammar patterns,
// one rule a line (CANTONESE <TAB> MANDARIN <TAB> CONDITIONS). Its grammar,
// with examples, is in docs/file-formats.md; what the shipped rules cover
// is in docs/cantonese.md. A line that is not a rule is a FileError naming
// the file and line.
//
// The shipped data lives in share/kelvra-nlp/ under the installation
// prefix, found relative to the installed library, and in data/ beside the
// library in the build tree.
//
// Each dictionary load writes one INFO line through the module logger
// "kelvra.nlp.common.lang.cantonese" (to standard error unless the process
// registered that logger first), laid out as LOG_FORMAT says, e.g.
//   [2026-12-08 01:02:03,456] [INFO] [kelvra.nlp.common.lang.cantonese:123] Loaded 1462
//   cantonese-mandarin pairs from /opt/kelvra/share/kelvra-nlp/c2m.tsv
//
// A Cantonese instance is immutable after construction; one instance
// serves any number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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

// A word that translate rewrote, and the dictionary entry or rule that did
// it.
struct Rewrite {
  std::int64_t offset = 0;      // in code points of the text given to translate
  std::int64_t length = 0;      // code points
  std::string text;             // the word as the text writes it
  std::string mandarin;         // what it became
  std::int64_t line = 0;        // the line that did it, from 1: in the rules file when by_rule
  std::string entry_cantonese;  // the line's first two fields as the file writes them
  std::string entry_mandarin;
  bool by_rule = false;  // a rule of the rules file did it, not a dictionary entry
  std::string rule;      // the rule's conditions as the rules file writes them
  // Where the word has more than one Mandarin (its dictionary entry's and
  // its rules'), all of them, each once, in the order of the files: the
  // senses `mandarin` was chosen from. Empty otherwise.
  std::vector<std::string> senses;
};

class Cantonese {
 public:
  // The field separator of the dictionary file.
  static constexpr std::string_view SEPERATOR = "\t";

  using Dictionary = std::unordered_map<std::string, std::string>;

  // Loads `dict_file` (absent: default_dict_file()), the Mandarin word
  // list `words_file` (absent: default_words_file()) and the rules
  // `rules_file` (absent: default_rules_file()); given paths are used
  // unchanged. FileError with the path when a file cannot be opened or
  // read, and with the path and line when a line is not valid UTF-8 or a
  // rule cannot be read; FileError naming "t2s" when the converter cannot
  // be built.
  explicit Cantonese(std::optional<std::string> dict_file = std::nullopt,
                     std::optional<std::string> words_file = std::nullopt,
                     std::optional<std::string> rules_file = std::nullopt);
  ~Cantonese();

  // An instance holds a dictionary and a segmenter; copies would only
  // duplicate the loaded data. Moving is fine.
  Cantonese(const Cantonese&) = delete;
  Cantonese& operator=(const Cantonese&) = delete;
  Cantonese(Cantonese&&) noexcept;
  Cantonese& operator=(Cantonese&&) noexcept;

  // The shipped c2m.tsv, mandarin_words.txt and c2m_rules.tsv, as absolute
  // paths: in share/kelvra-nlp/ under the prefix of the installed library
  // that holds this module, or else in data/ beside it (the build tree).
  // When neither holds the file, the installed place is named.
  static std::string default_dict_file();
  static std::string default_words_file();
  static std::string default_rules_file();

  // Reads the dictionary file (format above) and writes the INFO line
  // "Loaded N cantonese-mandarin pairs from PATH", N the number of distinct
  // converted Cantonese words and PATH as given. Failures as the
  // constructor's.
  static Dictionary _load(const std::string& dict_file);

  // The loaded dictionary: converted Cantonese word -> converted Mandarin word.
  const Dictionary& _c2m() const noexcept;
  // The files as given to (or chosen by) the constructor.
  const std::string& dict_file() const noexcept;
  const std::string& words_file() const noexcept;
  const std::string& rules_file() const noexcept;

  // The translator whole, as bytes: the names and contents of its three
  // files, so that it can be made again where the files are absent or
  // have changed (for pickling; about the size of the files, 175 kB with
  // the shipped data). from_bytes makes a translator that translates
  // exactly as this one, names the same files in its rewrites and
  // failures, and writes no log line; FileError naming "Cantonese bytes"
  // when the bytes are not such a form (or name the files in text that is
  // not UTF-8), and the failures of the constructor for contents that do
  // not load.
  std::string to_bytes() const;
  static Cantonese from_bytes(std::string_view bytes);

  // The conversion of `text` by the "t2s" converter that every translator
  // shares (made on first use, kept for the life of the process): what
  // translate converts the text with first. TypeError naming `text` when it
  // is not valid UTF-8.
  static std::string simplified(std::string_view text);

  // `text` with its Cantonese words replaced by their Mandarin words, in
  // simplified characters (see the top of this file). TypeError naming
  // `text` when it is not valid UTF-8; an empty text gives "".
  std::string translate(std::string_view text) const;

  // The same, appending to `rewrites` each word whose dictionary entry or
  // rule changed it beyond the conversion to simplified characters, in text
  // order.
  std::string translate(std::string_view text, std::vector<Rewrite>& rewrites) const;

  // The same translation handed to `write` a sentence at a time, in order,
  // so that the translation of a huge text is never held whole.
  void translate(std::string_view text, const std::function<void(std::string_view)>& write) const;

 private:
  // translate, handing the output to `write` and appending to `rewrites`
  // when it is given.
  void rewrite(std::string_view text, const std::function<void(std::string_view)>& write,
               std::vector<Rewrite>* rewrites) const;

  struct Impl;
  explicit Cantonese(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelvra::nlp::common::lang::cantonese
