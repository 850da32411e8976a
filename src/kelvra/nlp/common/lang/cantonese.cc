#include "kelvra/nlp/common/lang/cantonese.h"

#include <algorithm>
#include <deque>
#include <iterator>
#include <unordered_map>
#include <utility>
#include <vector>

#include <spdlog/spdlog.h>
#include <utf8proc.h>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/text_input.h"
#include "kelvra/common/utf8.h"
#include "kelvra/common/utils.h"
#include "kelvra/nlp/common/internal/converter.h"
#include "kelvra/nlp/common/internal/data_files.h"
#include "kelvra/nlp/common/lang/cantoseg.h"

namespace kelvra::nlp::common::lang::cantonese {

namespace text_input = kelvra::common::text_input;
namespace utf8 = kelvra::common::utf8;
using kelvra::common::FileError;
using kelvra::common::text_input::LineEnd;

namespace {

constexpr const char* kLoggerName = "kelvra.nlp.common.lang.cantonese";
constexpr const char* kConfig = "t2s";
constexpr const char* kDictName = "c2m.tsv";
constexpr const char* kWordsName = "mandarin_words.txt";

// One converter for all instances, built on first use and kept for the
// life of the process: never destroyed, so that exit does not spend its
// time freeing OpenCC's dictionaries, and a thread still translating while
// the process exits never meets a destroyed converter.
const internal::Converter& converter() {
  static const internal::Converter* const instance = new internal::Converter(kConfig);
  return *instance;
}

std::string simplified(std::string_view text) { return converter().convert(text); }

// The simplified form of `joined`: texts, each followed by a line feed and
// holding none, converted together, since no conversion phrase holds a
// line feed: one pass through the converter for a whole word list rather
// than thousands of small ones. Should the converter not keep the line
// feeds where they were, each text is converted alone.
std::string simplified_lines(const std::string& joined) {
  std::string converted = simplified(joined);
  if (std::count(converted.begin(), converted.end(), '\n') ==
          std::count(joined.begin(), joined.end(), '\n') &&
      (converted.empty() || converted.back() == '\n'))
    return converted;
  converted.clear();
  text_input::for_each_line(joined, LineEnd::kLineFeed, [&](std::string_view line, std::int64_t) {
    converted += simplified(line);
    converted += '\n';
  });
  return converted;
}

// The lines of `text`, each ended by a line feed, as views into it.
std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines;
  lines.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
  text_input::for_each_line(text, LineEnd::kLineFeed,
                            [&](std::string_view line, std::int64_t) { lines.push_back(line); });
  return lines;
}

// White space as Python's str.strip() sees it: the ASCII controls 9-13 and
// 28-31, the blank, U+0085, and the separator categories.
bool is_space(char32_t cp) {
  if (cp < 0x80) return (cp >= 9 && cp <= 13) || (cp >= 28 && cp <= 32);
  if (cp == 0x85) return true;
  // No separator lies beyond the ideographic space: CJK text never needs
  // the category lookup.
  if (cp > 0x3000) return false;
  switch (utf8proc_category(static_cast<utf8proc_int32_t>(cp))) {
    case UTF8PROC_CATEGORY_ZS:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
      return true;
    default:
      return false;
  }
}

std::string_view trim(std::string_view line) {
  std::size_t begin = 0;
  while (begin < line.size()) {
    std::size_t pos = begin;
    if (!is_space(utf8::next(line, pos))) break;
    begin = pos;
  }
  std::size_t end = line.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(line[start]) & 0xC0) == 0x80) --start;
    std::size_t pos = start;
    if (!is_space(utf8::next(line, pos))) break;
    end = start;
  }
  return line.substr(begin, end - begin);
}

// Calls `visit(line, number)` for each line of the data file `content`,
// trimmed, numbered from 1; LF, CRLF and CR end a line, and a byte order mark
// at the very start is dropped. FileError with the line when a line is not
// valid UTF-8.
template <typename Visit>
void for_each_data_line(const std::string& path, std::string_view content, Visit visit) {
  content = text_input::without_byte_order_mark(content);
  // Lines end at ASCII bytes: in a valid file every line is valid, and only
  // a bad file is checked line by line to name the line.
  const bool valid = utf8::is_valid(content);
  text_input::for_each_line(
      content, LineEnd::kAny, [&](std::string_view line, std::int64_t number) {
        if (std::size_t bad = valid ? utf8::npos : utf8::find_invalid(line); bad != utf8::npos)
          throw FileError(path, "not valid UTF-8 at byte " + std::to_string(bad) + " of the line",
                          number);
        visit(trim(line), number);
      });
}

// One dictionary entry as the file writes it, and where.
struct Entry {
  std::string key;    // converted Cantonese word
  std::string value;  // converted Mandarin word
  std::string written_cantonese;
  std::string written_mandarin;
  std::int64_t line = 0;
};

// Reads the dictionary `content` of the file `path`: its entries, one per
// distinct converted Cantonese word, the later line winning, in the order of
// their first lines. `log`: write the INFO line of a dictionary loaded.
std::vector<Entry> load_entries(const std::string& path, std::string_view content, bool log) {
  // Each pair as written (Cantonese, then Mandarin), and its line.
  std::vector<std::string_view> written;
  std::vector<std::int64_t> numbers;
  std::string joined;  // the fields, a line each
  joined.reserve(content.size());
  for_each_data_line(path, content, [&](std::string_view line, std::int64_t number) {
    const std::size_t tab = line.find(Cantonese::SEPERATOR);
    if (tab == std::string_view::npos) return;
    std::string_view mandarin = line.substr(tab + 1);
    written.push_back(line.substr(0, tab));
    written.push_back(mandarin.substr(0, mandarin.find(Cantonese::SEPERATOR)));
    numbers.push_back(number);
    for (std::string_view field : {written[written.size() - 2], written.back()}) {
      joined += field;
      joined += '\n';
    }
  });
  const std::string converted_text = simplified_lines(joined);
  std::vector<std::string> converted;
  for (std::string_view line : lines_of(converted_text)) converted.emplace_back(line);
  if (converted.size() != written.size()) {
    // A field whose conversion holds a line feed (no shipped converter
    // makes one): each converted alone.
    converted.clear();
    for (std::string_view text : written) converted.push_back(simplified(text));
  }
  std::vector<Entry> entries;
  std::unordered_map<std::string, std::size_t> position;
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    Entry entry{std::move(converted[2 * i]), std::move(converted[2 * i + 1]),
                std::string(written[2 * i]), std::string(written[2 * i + 1]), numbers[i]};
    auto [it, fresh] = position.try_emplace(entry.key, entries.size());
    if (fresh)
      entries.push_back(std::move(entry));
    else
      entries[it->second] = std::move(entry);
  }
  if (log)
    logger()->log(spdlog::source_loc{__FILE__, __LINE__, SPDLOG_FUNCTION}, spdlog::level::info,
                  "Loaded {} cantonese-mandarin pairs from {}", entries.size(), path);
  return entries;
}

// The Mandarin word list in simplified characters: one text, a word a
// line, and the words as views into it (no string of its own for each of
// thousands of words). A word whose conversion held a line feed (no
// shipped converter makes one) would count as its lines.
struct WordList {
  std::string text;
  std::vector<std::string_view> words;
};

void load_words(const std::string& path, std::string_view content, WordList& list) {
  std::string joined;  // the words, a line each
  joined.reserve(content.size() + 1);
  for_each_data_line(path, content, [&](std::string_view line, std::int64_t) {
    if (line.empty() || line.front() == '#') return;
    joined += line;
    joined += '\n';
  });
  list.text = simplified_lines(joined);
  list.words = lines_of(list.text);
}

// True when `text` (the input's slice under a dictionary or rule word) is
// written as `written` (the word as its file writes it) or as `key` (its
// simplified form), code point by code point. A word written in simplified
// characters takes whatever converts to it.
bool written_as(std::string_view text, std::string_view written, std::string_view key) {
  if (written == key || written == text || key == text) return true;
  if (utf8::length(written) != utf8::length(key)) return true;
  for (std::size_t t = 0, w = 0, k = 0; t < text.size() && w < written.size() && k < key.size();) {
    const char32_t cp = utf8::next(text, t);
    const char32_t as_written = utf8::next(written, w);
    const char32_t simplified = utf8::next(key, k);
    if (cp != as_written && cp != simplified) return false;
  }
  return true;
}

// Simplified characters of `text`, one code point for each of its code
// points, so that positions in both agree. OpenCC's t2s keeps the number of
// code points; should a converter not, each code point is converted alone,
// and one that would become more or less than one code point stays as it is.
std::string simplified_view(std::string_view text) {
  std::string view = simplified(text);
  if (utf8::length(view) == utf8::length(text)) return view;
  view.clear();
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t begin = pos;
    utf8::next(text, pos);
    const std::string_view original = text.substr(begin, pos - begin);
    const std::string converted = simplified(original);
    view += utf8::is_valid(converted) && utf8::length(converted) == 1 ? std::string_view(converted)
                                                                      : original;
  }
  return view;
}

// --- the rules file ---

constexpr const char* kRulesName = "c2m_rules.tsv";
// Where the Mandarin of the word before goes in a rule's Mandarin.
constexpr std::string_view kWordBefore = "…";

// What lies beyond an alternative's text: nothing asked, the start of a
// clause, the end of a sentence, the end of a clause, a Chinese character,
// a numeral.
enum class Edge : std::uint8_t { kNone, kStart, kEnd, kClause, kHan, kNumber };

struct Alternative {
  std::u32string text;  // simplified
  Edge edge = Edge::kNone;
};

enum class Test : std::uint8_t {
  kBefore,
  kAfter,
  kNotBefore,
  kNotAfter,
  kLater,
  kEarlier,
  kNotEarlier
};

struct Condition {
  Test test;
  std::vector<Alternative> alternatives;
  // Bit cp % 64 for the code point next to the word (the first of a
  // before: alternative, the last of an after: one) of every alternative
  // with text, and whether one has none: most tests fail on the first look.
  std::uint64_t near = 0;
  bool bare = false;
};

// A rule of the rules file, one for each word of a class.
struct Rule {
  std::string key;       // Cantonese, simplified
  std::string mandarin;  // simplified; kWordBefore for the word before
  std::vector<Condition> conditions;
  std::vector<std::u32string> front;  // front:@CLASS: the class's words, simplified
  // The word as the file writes it, when that is not the key, code point for
  // code point with it; empty otherwise.
  std::u32string spelled;
  bool cantonese = false;
  bool negator = false;
  bool guard = false;
  bool join = false;   // kWordBefore takes the word before and the word after together
  bool marks = false;  // where its conditions hold, the sentence is Cantonese
  bool firm = false;   // where it holds, Mandarin words of the list may not take its character in
  bool cut_before = false;  // ... nor take it in together with what comes before it
  bool next = false;        // kWordBefore stands for the word after, not the word before
  cantoseg::Standing standing = cantoseg::Standing::kPlain;
  std::int64_t line = 0;
  std::string written_cantonese;  // the line's fields as the file writes them
  std::string written_mandarin;
  std::string written_conditions;
};

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> fields;
  for (std::size_t pos = 0;;) {
    const std::size_t end = text.find(separator, pos);
    fields.push_back(
        text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
    if (end == std::string_view::npos) return fields;
    pos = end + 1;
  }
}

std::u32string simplified_code_points(std::string_view text) {
  return utf8::decode(simplified(text), "text");
}

// Reads the rules `content` of the file `path` (format in cantonese.h).
std::vector<Rule> load_rules(const std::string& path, std::string_view content) {
  // Each class's words as written.
  std::unordered_map<std::string, std::vector<std::string_view>> classes;
  std::vector<Rule> rules;
  for_each_data_line(path, content, [&](std::string_view line, std::int64_t number) {
    if (line.empty() || line.front() == '#') return;
    const std::vector<std::string_view> fields = split(line, '\t');
    if (fields.size() < 2) return;
    const auto fail = [&](const std::string& what) { throw FileError(path, what, number); };
    if (fields[0].empty()) fail("no word before the first tab");
    const auto class_words = [&](std::string_view name) -> const std::vector<std::string_view>& {
      const auto found = classes.find(std::string(name));
      if (found == classes.end()) fail("unknown class " + std::string(name));
      return found->second;
    };
    if (fields[0].front() == '@' && fields.size() == 2) {
      std::vector<std::string_view>& words = classes[std::string(fields[0])];
      words.clear();
      for (std::string_view word : split(fields[1], '|')) {
        if (word.empty()) fail("an empty word in class " + std::string(fields[0]));
        words.push_back(word);
      }
      return;
    }
    Rule rule;
    rule.line = number;
    rule.written_mandarin = std::string(fields[1]);
    rule.mandarin = simplified(fields[1]);
    if (fields.size() > 2) rule.written_conditions = std::string(fields[2]);
    for (std::string_view token : split(rule.written_conditions, ' ')) {
      if (token.empty()) continue;
      if (token == "cantonese") {
        rule.cantonese = true;
      } else if (token == "a-not-a") {
        rule.negator = true;
      } else if (token == "guard") {
        rule.guard = true;
      } else if (token == "join") {
        rule.join = true;
      } else if (token == "marks") {
        rule.marks = true;
      } else if (token == "firm") {
        rule.firm = true;
      } else if (token == "cut-before") {
        rule.cut_before = true;
      } else if (token == "next") {
        rule.next = true;
      } else if (token.starts_with("front:")) {
        for (std::string_view word : class_words(token.substr(6)))
          rule.front.push_back(simplified_code_points(word));
      } else {
        const std::size_t colon = token.find(':');
        const std::string_view name = token.substr(0, colon);
        Condition condition;
        if (name == "before")
          condition.test = Test::kBefore;
        else if (name == "after")
          condition.test = Test::kAfter;
        else if (name == "not-before")
          condition.test = Test::kNotBefore;
        else if (name == "not-after")
          condition.test = Test::kNotAfter;
        else if (name == "later")
          condition.test = Test::kLater;
        else if (name == "earlier")
          condition.test = Test::kEarlier;
        else if (name == "not-earlier")
          condition.test = Test::kNotEarlier;
        else
          fail("unknown condition " + std::string(token));
        if (colon == std::string_view::npos) fail("no alternatives in " + std::string(token));
        const bool looks_back =
            condition.test == Test::kAfter || condition.test == Test::kNotAfter ||
            condition.test == Test::kEarlier || condition.test == Test::kNotEarlier;
        for (std::string_view alternative : split(token.substr(colon + 1), '|')) {
          if (alternative.starts_with("@")) {
            for (std::string_view word : class_words(alternative))
              condition.alternatives.push_back({simplified_code_points(word), Edge::kNone});
            continue;
          }
          Alternative parsed;
          static constexpr std::pair<std::string_view, Edge> kEdges[] = {{"START", Edge::kStart},
                                                                         {"END", Edge::kEnd},
                                                                         {"CLAUSE", Edge::kClause},
                                                                         {"HAN", Edge::kHan},
                                                                         {"NUM", Edge::kNumber}};
          for (const auto& [edge_name, edge] : kEdges) {
            if (looks_back ? alternative.starts_with(edge_name)
                           : alternative.ends_with(edge_name)) {
              parsed.edge = edge;
              alternative = looks_back
                                ? alternative.substr(edge_name.size())
                                : alternative.substr(0, alternative.size() - edge_name.size());
              break;
            }
          }
          if (alternative.empty() && parsed.edge == Edge::kNone)
            fail("an empty alternative in " + std::string(token));
          parsed.text = simplified_code_points(alternative);
          condition.alternatives.push_back(std::move(parsed));
        }
        for (const Alternative& a : condition.alternatives) {
          if (a.text.empty())
            condition.bare = true;
          else
            condition.near |= std::uint64_t{1}
                              << ((looks_back ? a.text.back() : a.text.front()) % 64);
        }
        rule.conditions.push_back(std::move(condition));
      }
    }
    // The tests next to the word first: they decide most cheaply.
    std::stable_sort(
        rule.conditions.begin(), rule.conditions.end(), [](const Condition& a, const Condition& b) {
          const auto scans = [](Test test) {
            return test == Test::kLater || test == Test::kEarlier || test == Test::kNotEarlier;
          };
          return !scans(a.test) && scans(b.test);
        });
    std::vector<std::string_view> words{fields[0]};
    if (fields[0].front() == '@') words = class_words(fields[0]);
    for (std::string_view word : words) {
      Rule made = rule;
      made.written_cantonese = std::string(word);
      made.key = simplified(word);
      if (made.key != word && utf8::length(made.key) == utf8::length(word))
        made.spelled = utf8::decode(word, "rules");
      if ((made.negator || made.guard || made.firm || made.cut_before) && utf8::length(word) != 1)
        fail("a-not-a, guard, firm and cut-before take a word of one character, not " +
             std::string(word));
      rules.push_back(std::move(made));
    }
  });
  return rules;
}

bool is_han(char32_t cp) {
  return (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x4E00 && cp <= 0x9FFF) ||
         (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0x20000 && cp <= 0x3134F);
}

bool is_number(char32_t cp) {
  static constexpr std::u32string_view kNumerals =
      U"〇零一二三四五六七八九十百千万两几0123456789０１２３４５６７８９";
  return kNumerals.find(cp) != std::u32string_view::npos;
}

// Code points after which a sentence ends.
bool ends_sentence(char32_t cp) {
  if (cp >= 0x3400 && cp <= 0x9FFF) return false;  // Chinese characters, most of a text
  static constexpr std::u32string_view kEnds = U"。！？!?…．\n\r";
  return kEnds.find(cp) != std::u32string_view::npos;
}

// A judge's choice for a word whose `marks` rule held in a sentence not yet
// known as Cantonese: the word stays as it is without rules.
constexpr std::uint32_t kMarksOnly = 0xFFFFFFFF;

// How far later: and earlier: look within a clause, in code points: a
// clause of Chinese text is rarely longer, and a clause without punctuation
// as long as a sentence would otherwise make every word look at all of it.
constexpr std::size_t kReach = 32;

// The longest sentence translated as one; longer ones are cut.
constexpr std::size_t kSentenceMax = std::size_t{1} << 16;

}  // namespace

const std::shared_ptr<spdlog::logger>& logger() {
  // Its lines laid out as LOG_FORMAT says.
  static const std::shared_ptr<spdlog::logger> instance =
      kelvra::common::LogUtil::get_python_style_logger(kLoggerName);
  return instance;
}

namespace {

// Everything a translator loads, and what it knows of it.
struct Model {
  Model(std::string dict_path, std::string rules_path, std::vector<Entry> loaded_entries,
        std::vector<Rule> loaded_rules, const std::vector<std::string_view>& words);

  // A rule word: its rules (positions in `rules`) in the order of their
  // lines, and the lexicon position of what it is where none holds (npos:
  // no word).
  struct RuleWord {
    std::vector<std::uint32_t> rules;
    std::size_t base = cantoseg::Segmenter::npos;
    std::uint32_t negator = 0;  // 1 + position of its a-not-a rule, or 0
  };

  bool is_entry(std::size_t index) const { return index >= first_entry && index < first_rule_word; }
  const Entry& entry(std::size_t index) const { return entries[index - first_entry]; }
  bool is_rule_word(std::size_t index) const {
    return index != cantoseg::Segmenter::npos && index >= first_rule_word;
  }
  const RuleWord& rule_word(std::size_t index) const { return rule_words[index - first_rule_word]; }
  // Flags of a code point: kOnlyCantonese, kGuarded (as the text writes
  // it), kFirm (simplified).
  static constexpr std::uint8_t kOnlyCantonese = 1, kGuarded = 2, kFirm = 4;
  std::uint8_t flags(char32_t cp) const {
    if (cp < char_flags.size()) return char_flags[cp];
    const auto found = std::lower_bound(other_flags.begin(), other_flags.end(),
                                        std::pair<char32_t, std::uint8_t>(cp, 0));
    return found != other_flags.end() && found->first == cp ? found->second : 0;
  }
  void flag(char32_t cp, std::uint8_t flag) {
    if (cp < char_flags.size()) {
      char_flags[cp] |= flag;
      return;
    }
    const auto found = std::lower_bound(other_flags.begin(), other_flags.end(),
                                        std::pair<char32_t, std::uint8_t>(cp, 0));
    if (found != other_flags.end() && found->first == cp)
      found->second |= flag;
    else
      other_flags.insert(found, {cp, flag});
  }
  // The standing of a word of the lexicon that is not a rule word.
  cantoseg::Standing standing(std::size_t index) const {
    return is_entry(index) ? entry_standing[index - first_entry] : cantoseg::Standing::kPlain;
  }

  std::string dict_file;
  std::string rules_file;
  std::vector<Entry> entries;
  std::vector<Rule> rules;
  std::size_t first_entry = 0;      // lexicon position of entries[0]
  std::size_t first_rule_word = 0;  // lexicon position of rule_words[0]
  std::vector<RuleWord> rule_words;
  std::vector<cantoseg::Standing> entry_standing;
  std::vector<std::uint8_t> entry_marks;  // 1: the entry makes its sentence Cantonese
  std::vector<std::uint8_t> char_flags = std::vector<std::uint8_t>(0x10000, 0);  // by code point
  std::vector<std::pair<char32_t, std::uint8_t>> other_flags;  // beyond the BMP, sorted
  bool has_guards = false;                                     // any kGuarded or kFirm
  Cantonese::Dictionary c2m;
  cantoseg::Segmenter segmenter;
};

// The segmenter's lexicon, and what the translator needs to know of it:
// the Mandarin words first (guarded), then the dictionary's Cantonese words,
// so that a word in both is a dictionary word, then one word for each word
// with rules. The word list's single characters are the characters Mandarin
// writes: a dictionary or rule word that changes something is Marked when
// it holds another character, Ambiguous otherwise.
std::vector<cantoseg::Lexeme> lexicon(const std::vector<std::string_view>& words, Model& impl) {
  std::vector<char32_t> mandarin;  // sorted once all are in
  std::vector<cantoseg::Lexeme> lexemes;
  lexemes.reserve(words.size() + impl.entries.size() + impl.rules.size());
  for (std::string_view word : words) {
    std::size_t pos = 0;
    const char32_t cp = word.empty() ? 0 : utf8::next(word, pos);
    if (!word.empty() && pos == word.size()) mandarin.push_back(cp);
    lexemes.push_back({word, cantoseg::Standing::kPlain, false, false, true});
  }
  std::sort(mandarin.begin(), mandarin.end());
  const auto standing = [&](std::string_view key, std::string_view value) {
    if (value == key) return cantoseg::Standing::kPlain;
    auto result = cantoseg::Standing::kAmbiguous;
    for (std::size_t pos = 0; pos < key.size();) {
      const char32_t cp = utf8::next(key, pos);
      if (std::binary_search(mandarin.begin(), mandarin.end(), cp) || !is_han(cp)) continue;
      result = cantoseg::Standing::kMarked;
      impl.flag(cp, Model::kOnlyCantonese);
    }
    return result;
  };

  // The dictionary's and the rules' words, where the word list and the
  // dictionary hold them last.
  struct Probe {
    std::size_t last = cantoseg::Segmenter::npos;
    bool in_words = false;
  };
  std::unordered_map<std::string_view, Probe> probes;
  probes.reserve(impl.entries.size() + impl.rules.size());
  for (const auto& entry : impl.entries) probes.try_emplace(entry.key);
  for (const auto& rule : impl.rules) probes.try_emplace(rule.key);
  for (std::size_t i = 0; i < words.size(); ++i)
    if (auto found = probes.find(words[i]); found != probes.end()) found->second = {i, true};

  impl.first_entry = lexemes.size();
  for (const auto& entry : impl.entries) {
    Probe& probe = probes[entry.key];
    probe.last = lexemes.size();
    impl.entry_standing.push_back(standing(entry.key, entry.value));
    // A rewrite that Mandarin does not write marks its sentence as Cantonese.
    impl.entry_marks.push_back(entry.value != entry.key && !probe.in_words);
    lexemes.push_back({entry.key, impl.entry_standing.back()});
  }

  impl.first_rule_word = lexemes.size();
  std::unordered_map<std::string_view, std::size_t> rule_word_of;
  for (std::size_t r = 0; r < impl.rules.size(); ++r) {
    Rule& rule = impl.rules[r];
    if (rule.guard) {
      impl.flag(utf8::decode(rule.written_cantonese, "rules")[0], Model::kGuarded);
      impl.has_guards = true;
      continue;
    }
    // A word that marks a sentence as Cantonese wherever it stands is a
    // Cantonese word, however Mandarin its characters.
    rule.standing = rule.marks && rule.conditions.empty() && rule.mandarin != rule.key &&
                            utf8::length(rule.key) > 1
                        ? cantoseg::Standing::kMarked
                        : standing(rule.key, rule.mandarin);
    auto [it, fresh] = rule_word_of.try_emplace(rule.key, impl.rule_words.size());
    if (fresh) {
      impl.rule_words.push_back({{}, probes[rule.key].last, 0});
      const std::size_t base = impl.rule_words.back().base;
      lexemes.push_back({rule.key, base == cantoseg::Segmenter::npos ? cantoseg::Standing::kPlain
                                                                     : impl.standing(base)});
    }
    if (rule.firm || rule.cut_before) {
      impl.flag(utf8::decode(rule.key, "rules")[0], Model::kFirm);
      impl.has_guards = true;
    }
    Model::RuleWord& word = impl.rule_words[it->second];
    cantoseg::Lexeme& lexeme = lexemes[impl.first_rule_word + it->second];
    if (rule.negator) {
      word.negator = static_cast<std::uint32_t>(r + 1);
      lexeme.negator = true;
    } else {
      word.rules.push_back(static_cast<std::uint32_t>(r));
      lexeme.conditional = true;
    }
  }
  return lexemes;
}

Model::Model(std::string dict_path, std::string rules_path, std::vector<Entry> loaded_entries,
             std::vector<Rule> loaded_rules, const std::vector<std::string_view>& words)
    : dict_file(std::move(dict_path)),
      rules_file(std::move(rules_path)),
      entries(std::move(loaded_entries)),
      rules(std::move(loaded_rules)),
      segmenter(lexicon(words, *this)) {
  c2m.reserve(entries.size());
  for (const auto& entry : entries) c2m.emplace(entry.key, entry.value);
}

// Decides for the rule words of one sentence: the first rule whose
// conditions hold there, or else what the word is without rules.
class SentenceJudge final : public cantoseg::Judge {
 public:
  // `cps`: the sentence in simplified characters; `written`: as the text
  // writes it.
  SentenceJudge(const Model& impl, std::u32string_view cps, std::u32string_view written,
                bool cantonese)
      : impl_(impl), cps_(cps), written_(written), cantonese_(cantonese) {}

  std::optional<cantoseg::Verdict> judge(std::size_t index, std::size_t begin,
                                         std::size_t end) const override {
    const auto& word = impl_.rule_word(index);
    // A rule marked `marks` that holds in a sentence not yet known as
    // Cantonese says so through the word's choice, as the word stays as it
    // is without rules.
    std::uint32_t marks = 0;
    for (std::uint32_t r : word.rules) {
      const Rule& rule = impl_.rules[r];
      const bool applies = cantonese_ || !rule.cantonese;
      if (!applies && (!rule.marks || marks != 0)) continue;
      if (!spelled(rule, begin)) continue;
      if (!std::all_of(rule.conditions.begin(), rule.conditions.end(),
                       [&](const Condition& condition) { return holds(condition, begin, end); }))
        continue;
      if (applies) return cantoseg::Verdict{rule.standing, r + 1};
      marks = kMarksOnly;
    }
    // A word that only its rules make keeps its place while it marks.
    if (word.base == cantoseg::Segmenter::npos) {
      if (marks == 0) return std::nullopt;
      return cantoseg::Verdict{cantoseg::Standing::kMarked, marks};
    }
    return cantoseg::Verdict{impl_.standing(word.base), marks};
  }

 private:
  // True when the text writes the rule's word as the rules file does, or,
  // in a Cantonese sentence, in simplified characters: in Mandarin text 系
  // is not the Cantonese 係.
  bool spelled(const Rule& rule, std::size_t begin) const {
    if (rule.spelled.empty()) return true;  // written simplified: whatever converts to it
    for (std::size_t k = 0; k < rule.spelled.size(); ++k) {
      const char32_t written = written_[begin + k];
      if (written != rule.spelled[k] && (!cantonese_ || written != cps_[begin + k])) return false;
    }
    return true;
  }

  bool holds(const Condition& condition, std::size_t begin, std::size_t end) const {
    const auto& alternatives = condition.alternatives;
    switch (condition.test) {
      case Test::kBefore:
      case Test::kNotBefore: {
        // The code point after the word settles most alternatives at once.
        const char32_t next = end < cps_.size() ? cps_[end] : 0;
        const bool any =
            (condition.bare || (condition.near >> (next % 64) & 1)) &&
            std::any_of(alternatives.begin(), alternatives.end(), [&](const Alternative& a) {
              return (a.text.empty() || a.text.front() == next) && starts_at(a, end);
            });
        return any == (condition.test == Test::kBefore);
      }
      case Test::kAfter:
      case Test::kNotAfter: {
        const char32_t last = begin > 0 ? cps_[begin - 1] : 0;
        const bool any =
            (condition.bare || (condition.near >> (last % 64) & 1)) &&
            std::any_of(alternatives.begin(), alternatives.end(), [&](const Alternative& a) {
              return (a.text.empty() || a.text.back() == last) && ends_at(a, begin);
            });
        return any == (condition.test == Test::kAfter);
      }
      case Test::kLater: {
        const std::size_t stop = std::min(cps_.size(), end + kReach);
        for (std::size_t pos = end; pos < stop && !cantoseg::Segmenter::is_separate(cps_[pos]);
             ++pos)
          for (const Alternative& a : alternatives)
            if (starts_at(a, pos)) return true;
        return false;
      }
      case Test::kEarlier:
      case Test::kNotEarlier: {
        bool any = false;
        const std::size_t stop = begin > kReach ? begin - kReach : 0;
        for (std::size_t pos = begin;
             !any && pos > stop && !cantoseg::Segmenter::is_separate(cps_[pos - 1]); --pos)
          any = std::any_of(alternatives.begin(), alternatives.end(),
                            [&](const Alternative& a) { return ends_at(a, pos); });
        return any == (condition.test == Test::kEarlier);
      }
    }
    return false;
  }

  // True when `a` is what the sentence holds from `pos` on.
  bool starts_at(const Alternative& a, std::size_t pos) const {
    // One code point first: most alternatives fail there.
    if (!a.text.empty() && (pos >= cps_.size() || cps_[pos] != a.text.front())) return false;
    if (cps_.substr(pos, a.text.size()) != a.text) return false;
    const std::size_t at = pos + a.text.size();
    switch (a.edge) {
      case Edge::kNone:
        return true;
      case Edge::kEnd:
        return at == cps_.size() || ends_sentence(cps_[at]);
      case Edge::kStart:
      case Edge::kClause:
        return at == cps_.size() || cantoseg::Segmenter::is_separate(cps_[at]);
      case Edge::kHan:
        return at < cps_.size() && is_han(cps_[at]);
      case Edge::kNumber:
        return at < cps_.size() && is_number(cps_[at]);
    }
    return false;
  }

  // True when `a` is what the sentence holds right before `pos`.
  bool ends_at(const Alternative& a, std::size_t pos) const {
    if (!a.text.empty() && (pos == 0 || cps_[pos - 1] != a.text.back())) return false;
    if (pos < a.text.size() || cps_.substr(pos - a.text.size(), a.text.size()) != a.text)
      return false;
    const std::size_t at = pos - a.text.size();
    switch (a.edge) {
      case Edge::kNone:
        return true;
      case Edge::kStart:
      case Edge::kClause:
      case Edge::kEnd:
        return at == 0 || cantoseg::Segmenter::is_separate(cps_[at - 1]);
      case Edge::kHan:
        return at > 0 && is_han(cps_[at - 1]);
      case Edge::kNumber:
        return at > 0 && is_number(cps_[at - 1]);
    }
    return false;
  }

  const Model& impl_;
  std::u32string_view cps_;
  std::u32string_view written_;
  bool cantonese_;
};

// A word of a sentence on its way out: what it becomes, and what made it.
struct Part {
  std::string_view text;  // its output
  std::size_t begin = 0;  // code points of the sentence it covers
  std::size_t end = 0;
  const Entry* entry = nullptr;  // the entry or rule that changed it
  const Rule* rule = nullptr;
  bool separate = false;  // punctuation, white space and the like
  bool gone = false;      // taken into a neighbour
  bool changed = false;
};

// The buffers of one translate call, reused from sentence to sentence.
struct Sentences {
  std::u32string cps;                // the sentence in simplified characters
  std::u32string written;            // as the text writes it
  std::vector<std::size_t> view_at;  // byte offset in the view of each code point, and of the end
  std::vector<std::size_t> text_at;  // the same in the text
  std::vector<std::uint8_t> guard;
  std::vector<cantoseg::Segmenter::Word> words;
  std::vector<Part> parts;
  std::vector<std::size_t> order;  // parts in output order
  std::deque<std::string> made;    // Mandarin put together for this sentence
  std::string out;
  cantoseg::Segmenter::Workspace workspace;
};

// What a translator was made from: each file's name and content, kept so
// that the translator can be carried whole where the files are not
// (to_bytes).
struct Sources {
  std::string dict_file, dict;
  std::string words_file, words;
  std::string rules_file, rules;
};

// The bytes form: the magic "KELVRACT", a format version (u32), then the
// six strings of Sources in order, each a u64 size and its bytes; numbers
// little-endian.
constexpr std::string_view kBytesMagic = "KELVRACT";
constexpr std::uint32_t kBytesVersion = 1;
constexpr const char* kBytesSource = "Cantonese bytes";

void append_number(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// Reads the bytes form field by field, refusing whatever does not fit.
class BytesReader {
 public:
  explicit BytesReader(std::string_view bytes) : bytes_(bytes) {}

  std::uint64_t number(int size, const char* what) {
    const std::string_view raw = take(static_cast<std::size_t>(size), what);
    std::uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i)
      value = (value << 8) | static_cast<unsigned char>(raw[static_cast<std::size_t>(i)]);
    return value;
  }
  std::string text(const char* what) {
    const std::uint64_t size = number(8, what);
    if (size > bytes_.size() - pos_) fail(std::string("truncated: ") + what + " is cut short");
    return std::string(take(static_cast<std::size_t>(size), what));
  }
  std::string_view take(std::size_t size, const char* what) {
    if (size > bytes_.size() - pos_) fail(std::string("truncated before the end of ") + what);
    const std::string_view out = bytes_.substr(pos_, size);
    pos_ += size;
    return out;
  }
  void finish() const {
    if (pos_ != bytes_.size())
      fail(std::to_string(bytes_.size() - pos_) + " bytes after the end of the translator's data");
  }
  [[noreturn]] static void fail(const std::string& what) { throw FileError(kBytesSource, what); }

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

// A translator's data, and what it was made from.
struct Loaded {
  Model model;
  Sources sources;
};

// A translator's data made from its sources; `log`: write the INFO line of
// a dictionary loaded from its file.
Loaded load_all(Sources sources, bool log) {
  std::vector<Entry> entries = load_entries(sources.dict_file, sources.dict, log);
  WordList words;
  load_words(sources.words_file, sources.words, words);
  std::vector<Rule> rules = load_rules(sources.rules_file, sources.rules);
  Model model(sources.dict_file, sources.rules_file, std::move(entries), std::move(rules),
              words.words);
  return Loaded{std::move(model), std::move(sources)};
}

}  // namespace

struct Cantonese::Impl : Loaded {};

Cantonese::Cantonese(std::optional<std::string> dict_file, std::optional<std::string> words_file,
                     std::optional<std::string> rules_file) {
  Sources sources;
  sources.dict_file = dict_file ? std::move(*dict_file) : default_dict_file();
  sources.dict = text_input::read_file(sources.dict_file, "dictionary");
  sources.words_file = words_file ? std::move(*words_file) : default_words_file();
  sources.words = text_input::read_file(sources.words_file, "Mandarin word list");
  sources.rules_file = rules_file ? std::move(*rules_file) : default_rules_file();
  sources.rules = text_input::read_file(sources.rules_file, "rules file");
  impl_ = std::make_unique<Impl>(Impl{load_all(std::move(sources), true)});
}

Cantonese::Cantonese(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::string Cantonese::to_bytes() const {
  const Sources& sources = impl_->sources;
  const std::string* fields[] = {&sources.dict_file, &sources.dict,       &sources.words_file,
                                 &sources.words,     &sources.rules_file, &sources.rules};
  std::string out(kBytesMagic);
  append_number(out, kBytesVersion, 4);
  for (const std::string* field : fields) {
    append_number(out, field->size(), 8);
    out += *field;
  }
  return out;
}

Cantonese Cantonese::from_bytes(std::string_view bytes) {
  BytesReader reader(bytes);
  if (reader.take(kBytesMagic.size(), "the magic number") != kBytesMagic)
    BytesReader::fail("not the bytes of a Cantonese translator");
  if (const std::uint64_t version = reader.number(4, "the format version");
      version != kBytesVersion)
    BytesReader::fail("format version " + std::to_string(version) + ", this build reads " +
                      std::to_string(kBytesVersion));
  Sources sources;
  sources.dict_file = reader.text("the dictionary's name");
  sources.dict = reader.text("the dictionary");
  sources.words_file = reader.text("the word list's name");
  sources.words = reader.text("the word list");
  sources.rules_file = reader.text("the rules' name");
  sources.rules = reader.text("the rules");
  reader.finish();
  for (const std::string* name : {&sources.dict_file, &sources.words_file, &sources.rules_file})
    if (!utf8::is_valid(*name)) BytesReader::fail("a file name that is not valid UTF-8");
  return Cantonese(std::make_unique<Impl>(Impl{load_all(std::move(sources), false)}));
}

Cantonese::~Cantonese() = default;
Cantonese::Cantonese(Cantonese&&) noexcept = default;
Cantonese& Cantonese::operator=(Cantonese&&) noexcept = default;

std::string Cantonese::default_dict_file() { return internal::shipped_data_file(kDictName); }
std::string Cantonese::default_words_file() { return internal::shipped_data_file(kWordsName); }
std::string Cantonese::default_rules_file() { return internal::shipped_data_file(kRulesName); }

Cantonese::Dictionary Cantonese::_load(const std::string& dict_file) {
  Dictionary dictionary;
  for (auto& entry : load_entries(dict_file, text_input::read_file(dict_file, "dictionary"), true))
    dictionary.emplace(std::move(entry.key), std::move(entry.value));
  return dictionary;
}

const Cantonese::Dictionary& Cantonese::_c2m() const noexcept { return impl_->model.c2m; }
const std::string& Cantonese::dict_file() const noexcept { return impl_->sources.dict_file; }
const std::string& Cantonese::words_file() const noexcept { return impl_->sources.words_file; }
const std::string& Cantonese::rules_file() const noexcept { return impl_->sources.rules_file; }

std::string Cantonese::simplified(std::string_view text) {
  utf8::require_valid(text, "text");
  return cantonese::simplified(text);
}

std::string Cantonese::translate(std::string_view text) const {
  std::string out;
  out.reserve(text.size());
  rewrite(
      text, [&](std::string_view piece) { out += piece; }, nullptr);
  return out;
}

std::string Cantonese::translate(std::string_view text, std::vector<Rewrite>& rewrites) const {
  std::string out;
  out.reserve(text.size());
  rewrite(
      text, [&](std::string_view piece) { out += piece; }, &rewrites);
  return out;
}

void Cantonese::translate(std::string_view text,
                          const std::function<void(std::string_view)>& write) const {
  rewrite(text, write, nullptr);
}

namespace {

// Translates the sentence that `s` holds, which starts `offset` code points
// into the text: its output into s.out, its rewrites onto `rewrites`.
void translate_sentence(const Model& impl, std::string_view text, std::string_view view,
                        std::int64_t offset, Sentences& s, std::vector<Rewrite>* rewrites) {
  using Segmenter = cantoseg::Segmenter;
  const std::u32string_view cps = s.cps;
  const auto view_of = [&](std::size_t begin, std::size_t end) {
    return view.substr(s.view_at[begin], s.view_at[end] - s.view_at[begin]);
  };
  const auto text_of = [&](std::size_t begin, std::size_t end) {
    return text.substr(s.text_at[begin], s.text_at[end] - s.text_at[begin]);
  };

  // Cantonese or Mandarin: a character only Cantonese writes, or else a
  // Cantonese word found by a cut as Mandarin.
  bool cantonese = std::any_of(cps.begin(), cps.end(),
                               [&](char32_t cp) { return impl.flags(cp) & Model::kOnlyCantonese; });
  s.words.clear();
  if (!cantonese) {
    const SentenceJudge judge(impl, cps, s.written, false);
    impl.segmenter.cut(cps, Segmenter::Options{false, nullptr, &judge}, s.words, s.workspace);
    cantonese = std::any_of(s.words.begin(), s.words.end(), [&](const Segmenter::Word& word) {
      if (word.choice == kMarksOnly || (word.choice != 0 && impl.rules[word.choice - 1].marks))
        return true;
      std::size_t index = word.index;
      if (impl.is_rule_word(index) && word.choice == 0) index = impl.rule_word(index).base;
      return index != Segmenter::npos && impl.is_entry(index) &&
             impl.entry_marks[index - impl.first_entry];
    });
    if (cantonese) s.words.clear();
  }
  if (cantonese) {
    // Mandarin words of the list keep off guarded characters, and off the
    // characters of firm rules that hold where they stand.
    const SentenceJudge judge(impl, cps, s.written, true);
    const std::uint8_t* guard = nullptr;
    if (impl.has_guards) {
      s.guard.assign(cps.size(), 0);
      for (std::size_t i = 0; i < cps.size(); ++i) {
        if (impl.flags(s.written[i]) & Model::kGuarded) {
          s.guard[i] = 1;
        } else if (impl.flags(cps[i]) & Model::kFirm) {
          const std::size_t index = impl.segmenter.find(cps.substr(i, 1));
          const auto verdict = judge.judge(index, i, i + 1);
          if (verdict && verdict->choice != 0) {
            const Rule& rule = impl.rules[verdict->choice - 1];
            s.guard[i] = rule.firm ? 1 : rule.cut_before ? 2 : 0;
          }
        }
      }
      guard = s.guard.data();
    }
    impl.segmenter.cut(cps, Segmenter::Options{true, guard, &judge}, s.words, s.workspace);
  }

  // Each word's output.
  s.parts.clear();
  s.made.clear();
  for (const Segmenter::Word& word : s.words) {
    Part part;
    part.begin = word.begin;
    part.end = word.begin + word.length;
    part.separate = word.length == 1 && Segmenter::is_separate(cps[word.begin]);
    const std::string_view as_viewed = view_of(part.begin, part.end);
    part.text = as_viewed;
    std::size_t index = word.index;
    if (word.paired) {
      const auto& negator = impl.rule_word(index);
      part.rule = &impl.rules[negator.negator - 1];
    } else if (impl.is_rule_word(index)) {
      if (word.choice > 0 && word.choice != kMarksOnly)
        part.rule = &impl.rules[word.choice - 1];
      else
        index = impl.rule_word(index).base;
    }
    if (part.rule != nullptr) {
      part.text = part.rule->mandarin;
      part.changed = true;
    } else if (index != Segmenter::npos && impl.is_entry(index)) {
      const Entry& entry = impl.entry(index);
      if (entry.value != as_viewed &&
          written_as(text_of(part.begin, part.end), entry.written_cantonese, entry.key)) {
        part.text = entry.value;
        part.entry = &entry;
        part.changed = true;
      }
    }
    s.parts.push_back(part);
  }

  // Rules that take in the word before (and after), or the word after, from
  // the start.
  for (std::size_t k = 0; k < s.parts.size(); ++k) {
    Part& part = s.parts[k];
    if (part.rule == nullptr || part.rule->negator ||
        part.rule->mandarin.find(kWordBefore) == std::string::npos)
      continue;
    std::string inner;
    if (part.rule->next) {
      if (k + 1 < s.parts.size() && !s.parts[k + 1].separate) {
        Part& after = s.parts[k + 1];
        inner = after.text;
        after.gone = true;
        part.end = after.end;
      }
    } else if (k > 0 && !s.parts[k - 1].separate && !s.parts[k - 1].gone) {
      Part& before = s.parts[k - 1];
      inner = before.text;
      before.gone = true;
      part.begin = before.begin;
      if (part.rule->join && k + 1 < s.parts.size() && !s.parts[k + 1].separate) {
        Part& after = s.parts[k + 1];
        std::u32string together(cps.substr(before.begin, before.end - before.begin));
        together += cps.substr(after.begin, after.end - after.begin);
        const std::size_t found = impl.segmenter.find(std::u32string_view(together));
        if (found != Segmenter::npos && impl.is_entry(found)) {
          inner = impl.entry(found).value;
          after.gone = true;
          part.end = after.end;
        }
      }
    }
    std::string& made = s.made.emplace_back(part.rule->mandarin);
    made.replace(made.find(kWordBefore), kWordBefore.size(), inner);
    part.text = made;
  }
  // A-not-A: X and the negator become the first character of what follows.
  for (std::size_t k = s.parts.size(); k-- > 0;) {
    Part& part = s.parts[k];
    if (part.rule == nullptr || !part.rule->negator) continue;
    std::string& made = s.made.emplace_back();
    for (std::size_t next = k + 1; next < s.parts.size(); ++next) {
      if (s.parts[next].gone) continue;
      const std::string_view following = s.parts[next].text;
      if (!following.empty())
        made = following.substr(0, utf8::sequence_size(static_cast<unsigned char>(following[0])));
      break;
    }
    made += part.rule->mandarin;
    part.text = made;
  }

  // The output order: words that go to the front of their clause move there.
  s.order.clear();
  std::size_t clause = 0;  // where the current clause starts in s.order
  for (std::size_t k = 0; k < s.parts.size(); ++k) {
    const Part& part = s.parts[k];
    if (part.gone) continue;
    if (part.separate) {
      s.order.push_back(k);
      clause = s.order.size();
      continue;
    }
    std::size_t at = s.order.size();
    if (part.rule != nullptr && !part.rule->front.empty()) {
      at = clause;
      for (std::size_t o = s.order.size(); o-- > clause;) {
        const Part& earlier = s.parts[s.order[o]];
        const std::u32string_view said = cps.substr(earlier.begin, earlier.end - earlier.begin);
        if (std::any_of(part.rule->front.begin(), part.rule->front.end(),
                        [&](const std::u32string& word) { return said.ends_with(word); })) {
          at = o + 1;
          break;
        }
      }
    }
    s.order.insert(s.order.begin() + static_cast<std::ptrdiff_t>(at), k);
  }
  s.out.clear();
  for (std::size_t k : s.order) s.out += s.parts[k].text;

  if (rewrites == nullptr) return;
  for (const Part& part : s.parts) {
    if (part.gone || !part.changed) continue;
    Rewrite rewrite;
    rewrite.offset = offset + static_cast<std::int64_t>(part.begin);
    rewrite.length = static_cast<std::int64_t>(part.end - part.begin);
    rewrite.text = text_of(part.begin, part.end);
    rewrite.mandarin = part.text;
    if (part.rule != nullptr) {
      rewrite.line = part.rule->line;
      rewrite.entry_cantonese = part.rule->written_cantonese;
      rewrite.entry_mandarin = part.rule->written_mandarin;
      rewrite.by_rule = true;
      rewrite.rule = part.rule->written_conditions;
    } else {
      rewrite.line = part.entry->line;
      rewrite.entry_cantonese = part.entry->written_cantonese;
      rewrite.entry_mandarin = part.entry->written_mandarin;
    }
    rewrites->push_back(std::move(rewrite));
  }
}

}  // namespace

void Cantonese::rewrite(std::string_view text, const std::function<void(std::string_view)>& write,
                        std::vector<Rewrite>* rewrites) const {
  utf8::require_valid(text, "text");
  if (text.empty()) return;
  const std::string view = simplified_view(text);
  Sentences s;
  std::int64_t offset = 0;
  for (std::size_t view_pos = 0, text_pos = 0; view_pos < view.size();) {
    s.cps.clear();
    s.written.clear();
    s.view_at.clear();
    s.text_at.clear();
    while (view_pos < view.size() && s.cps.size() < kSentenceMax) {
      s.view_at.push_back(view_pos);
      s.text_at.push_back(text_pos);
      const char32_t cp = utf8::next(view, view_pos);
      s.cps.push_back(cp);
      s.written.push_back(utf8::next(text, text_pos));
      if (ends_sentence(cp)) break;
    }
    s.view_at.push_back(view_pos);
    s.text_at.push_back(text_pos);
    translate_sentence(impl_->model, text, view, offset, s, rewrites);
    write(s.out);
    offset += static_cast<std::int64_t>(s.cps.size());
  }
}

}  // namespace kelvra::nlp::common::lang::cantonese
