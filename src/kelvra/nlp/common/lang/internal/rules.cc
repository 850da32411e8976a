#include "kelvra/nlp/common/lang/internal/rules.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/lang/internal/data_lines.h"

namespace kelvra::nlp::common::lang::internal {

namespace utf8 = kelvra::common::utf8;
using kelvra::common::FileError;

namespace {

// The keywords that set a flag of the rule; `one_character`: the rule's
// word must be one character.
struct FlagKeyword {
  std::string_view name;
  bool Rule::*flag;
  bool one_character;
};
constexpr FlagKeyword kFlagKeywords[] = {
    {"cantonese", &Rule::cantonese, false},
    {"marks", &Rule::marks, false},
    {"join", &Rule::join, false},
    {"next", &Rule::next, false},
    {"a-not-a", &Rule::negator, true},
    {"guard", &Rule::guard, true},
    {"firm", &Rule::firm, true},
    {"cut-before", &Rule::cut_before, true},
};

// The keywords NAME:A|B that test the text around the word.
struct TestKeyword {
  std::string_view name;
  Test test;
};
constexpr TestKeyword kTestKeywords[] = {
    {"before", Test::kBefore},          {"after", Test::kAfter}, {"not-before", Test::kNotBefore},
    {"not-after", Test::kNotAfter},     {"later", Test::kLater}, {"earlier", Test::kEarlier},
    {"not-earlier", Test::kNotEarlier},
};

// The edges an alternative may end (or, looking back, start) with.
constexpr std::pair<std::string_view, Edge> kEdges[] = {{"START", Edge::kStart},
                                                        {"END", Edge::kEnd},
                                                        {"CLAUSE", Edge::kClause},
                                                        {"HAN", Edge::kHan},
                                                        {"NUM", Edge::kNumber}};

// The reader of one rules file: its classes so far, and the rules made.
class RulesReader {
 public:
  explicit RulesReader(const std::string& path) : path_(path) {}

  void read_line(std::string_view raw, std::int64_t number) {
    line_ = number;
    // Cut at tabs first, then trim each field: a leading tab never shifts
    // the fields.
    std::vector<std::string_view> fields = split(raw, '\t');
    for (std::string_view& field : fields) field = trim(field);
    while (!fields.empty() && fields.back().empty()) fields.pop_back();
    if (fields.empty() || fields[0].starts_with('#')) return;  // blank or a comment
    if (fields[0].empty()) fail("no word before the first tab");
    if (fields.size() < 2)
      fail("no tab after " + std::string(fields[0]) + ": a rule is CANTONESE<TAB>MANDARIN");
    if (fields.size() > 3)
      fail("more than three fields: conditions are separated by blanks, not tabs");
    if (fields[0].front() == '@' && fields.size() == 2) return define_class(fields[0], fields[1]);
    read_rule(fields[0], fields[1], fields.size() > 2 ? fields[2] : std::string_view());
  }

  std::vector<Rule> take() { return std::move(rules_); }

 private:
  [[noreturn]] void fail(const std::string& what) const { throw FileError(path_, what, line_); }

  const std::vector<std::string_view>& class_words(std::string_view name) const {
    const auto found = classes_.find(std::string(name));
    if (found == classes_.end()) fail("unknown class " + std::string(name));
    return found->second;
  }

  void define_class(std::string_view name, std::string_view words) {
    std::vector<std::string_view>& list = classes_[std::string(name)];
    list.clear();
    for (std::string_view word : split(words, '|')) {
      word = trim(word);
      if (word.empty()) fail("an empty word in class " + std::string(name));
      list.push_back(word);
    }
  }

  void read_rule(std::string_view word, std::string_view mandarin, std::string_view conditions) {
    Rule rule;
    rule.line = line_;
    rule.written_mandarin = std::string(mandarin);
    rule.mandarin = simplified(mandarin);
    rule.written_conditions = std::string(conditions);
    bool one_character = false;
    for (std::string_view token : split(conditions, ' ')) {
      if (token.empty()) continue;
      if (read_flag(token, rule, one_character)) continue;
      if (token.starts_with("front:")) {
        for (std::string_view front : class_words(token.substr(6)))
          rule.front.push_back(simplified_code_points(front));
        continue;
      }
      rule.conditions.push_back(read_condition(token));
    }
    // The tests next to the word first: they decide most cheaply.
    std::stable_sort(
        rule.conditions.begin(), rule.conditions.end(),
        [](const Condition& a, const Condition& b) { return !scans(a.test) && scans(b.test); });
    std::vector<std::string_view> words{word};
    if (word.front() == '@') words = class_words(word);
    for (std::string_view each : words) {
      if (one_character && utf8::length(each) != 1)
        fail("a-not-a, guard, firm and cut-before take a word of one character, not " +
             std::string(each));
      Rule made = rule;
      made.written_cantonese = std::string(each);
      made.key = simplified(each);
      if (made.key != each && utf8::length(made.key) == utf8::length(each))
        made.spelled = utf8::decode(each, "rules");
      rules_.push_back(std::move(made));
    }
  }

  static bool read_flag(std::string_view token, Rule& rule, bool& one_character) {
    for (const FlagKeyword& keyword : kFlagKeywords) {
      if (token != keyword.name) continue;
      rule.*keyword.flag = true;
      one_character = one_character || keyword.one_character;
      return true;
    }
    return false;
  }

  Condition read_condition(std::string_view token) const {
    const std::size_t colon = token.find(':');
    const std::string_view name = token.substr(0, colon);
    const auto keyword = std::find_if(std::begin(kTestKeywords), std::end(kTestKeywords),
                                      [&](const TestKeyword& k) { return k.name == name; });
    if (keyword == std::end(kTestKeywords)) fail("unknown condition " + std::string(token));
    if (colon == std::string_view::npos) fail("no alternatives in " + std::string(token));
    Condition condition;
    condition.test = keyword->test;
    const bool back = looks_back(condition.test);
    for (std::string_view alternative : split(token.substr(colon + 1), '|')) {
      if (alternative.starts_with("@")) {
        for (std::string_view word : class_words(alternative))
          condition.alternatives.push_back({simplified_code_points(word), Edge::kNone});
        continue;
      }
      Alternative parsed;
      for (const auto& [edge_name, edge] : kEdges) {
        if (back ? alternative.starts_with(edge_name) : alternative.ends_with(edge_name)) {
          parsed.edge = edge;
          alternative = back ? alternative.substr(edge_name.size())
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
        condition.near |= std::uint64_t{1} << ((back ? a.text.back() : a.text.front()) % 64);
    }
    return condition;
  }

  const std::string& path_;
  std::int64_t line_ = 0;
  std::unordered_map<std::string, std::vector<std::string_view>> classes_;  // words as written
  std::vector<Rule> rules_;
};

}  // namespace

std::vector<Rule> load_rules(const std::string& path, std::string_view content) {
  RulesReader reader(path);
  for_each_data_line(path, content, [&](std::string_view line, std::int64_t number) {
    reader.read_line(line, number);
  });
  return reader.take();
}

}  // namespace kelvra::nlp::common::lang::internal
