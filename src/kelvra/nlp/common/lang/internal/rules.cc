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
  RulesReader(const std::string& path, const MandarinOf& mandarin_of)
      : path_(path), mandarin_of_(mandarin_of) {}

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
    if (fields.size() == 2 && class_in(fields[0]) == fields[0])
      return define_class(fields[0], fields[1]);
    read_rule(fields[0], fields[1], fields.size() > 2 ? fields[2] : std::string_view());
  }

  std::vector<Rule> take() {
    fill_slots();
    simplify();
    return std::move(rules_);
  }

 private:
  [[noreturn]] void fail(const std::string& what) const { throw FileError(path_, what, line_); }

  // A word of a class, and the Mandarin the class gives it (WORD=MANDARIN),
  // or "".
  struct ClassWord {
    std::string_view word;
    std::string_view mandarin;
  };

  const std::vector<ClassWord>& class_words(std::string_view name) const {
    const auto found = classes_.find(std::string(name));
    if (found == classes_.end()) fail("unknown class " + std::string(name));
    return found->second;
  }

  void define_class(std::string_view name, std::string_view words) {
    std::vector<ClassWord>& list = classes_[std::string(name)];
    list.clear();
    for (std::string_view word : split(words, '|')) {
      const std::size_t equals = word.find('=');
      ClassWord entry{trim(word.substr(0, equals)), {}};
      if (equals != std::string_view::npos) entry.mandarin = trim(word.substr(equals + 1));
      if (entry.word.empty()) fail("an empty word in class " + std::string(name));
      list.push_back(entry);
    }
  }

  void read_rule(std::string_view word, std::string_view mandarin, std::string_view conditions) {
    Rule rule;
    rule.line = line_;
    rule.written_mandarin = std::string(mandarin);
    rule.written_conditions = std::string(conditions);
    bool one_character = false;
    for (std::string_view token : split(conditions, ' ')) {
      if (token.empty()) continue;
      if (read_flag(token, rule, one_character)) continue;
      if (token.starts_with("front:")) {
        for (const ClassWord& front : class_words(token.substr(6)))
          rule.front.push_back(code_points_of(front.word));
        continue;
      }
      rule.conditions.push_back(read_condition(token));
    }
    // The tests next to the word first, those that must find something
    // before those that must not: they decide most cheaply.
    const auto cost = [](const Condition& c) {
      return scans(c.test) ? 2 : (c.test == Test::kBefore || c.test == Test::kAfter) ? 0 : 1;
    };
    std::stable_sort(rule.conditions.begin(), rule.conditions.end(),
                     [&](const Condition& a, const Condition& b) { return cost(a) < cost(b); });
    // A class in the word makes a rule for each of its words: the whole
    // word (@CL), or a slot in a pattern (@V唔@V得), where the class's name
    // in MANDARIN stands for the Mandarin of the word that fills it.
    const std::string_view name = class_in(word);
    if (name.empty()) return add_rule(std::move(rule), std::string(word), one_character);
    for (const ClassWord& each : class_words(name)) {
      if (rule.written_mandarin.find(name) != std::string::npos)
        slots_.push_back({rules_.size(), std::string(name), each.word, each.mandarin});
      add_rule(rule, replace_all(word, name, each.word), one_character);
    }
  }

  // Fills the slots of patterns once every line is read: a word's Mandarin
  // is the one its class gives it (平=便宜), or else its dictionary entry's,
  // or else that of its first rule without conditions (揸 -> 开), or the word
  // itself.
  void fill_slots() {
    std::unordered_map<std::string_view, std::string_view> plain;
    for (const Rule& rule : rules_)
      if (rule.conditions.empty() && rule.front.empty() && !rule.negator && !rule.guard &&
          !rule.next && !rule.join &&
          rule.written_mandarin.find(kWordBefore) == std::string::npos &&
          class_in(rule.written_cantonese).empty())
        plain.try_emplace(rule.written_cantonese, rule.written_mandarin);
    for (const Slot& slot : slots_) {
      std::string mandarin = slot.given.empty() ? mandarin_of_(slot.word) : std::string(slot.given);
      if (slot.given.empty() && mandarin == slot.word)
        if (const auto found = plain.find(slot.word); found != plain.end())
          mandarin = std::string(found->second);
      Rule& rule = rules_[slot.rule];
      rule.written_mandarin = replace_all(rule.written_mandarin, slot.name, mandarin);
    }
  }

  // The simplified forms of every rule's word and Mandarin, converted in one
  // pass (a pattern makes thousands of them).
  void simplify() {
    std::string joined;
    for (const Rule& rule : rules_) {
      for (const std::string* text : {&rule.written_cantonese, &rule.written_mandarin}) {
        joined += *text;
        joined += '\n';
      }
    }
    const std::string converted = simplified_lines(joined);
    const std::vector<std::string_view> lines = lines_of(converted);
    const bool whole = lines.size() == 2 * rules_.size();  // no field held a line feed
    for (std::size_t r = 0; r < rules_.size(); ++r) {
      Rule& rule = rules_[r];
      rule.key = whole ? std::string(lines[2 * r]) : simplified(rule.written_cantonese);
      rule.mandarin = whole ? std::string(lines[2 * r + 1]) : simplified(rule.written_mandarin);
      const std::string_view word = rule.written_cantonese;
      if (rule.key != word && utf8::length(rule.key) == utf8::length(word))
        rule.spelled = utf8::decode(word, "rules");
    }
  }

  // The simplified code points of `text`, converted once however often a
  // class's words are used.
  const std::u32string& code_points_of(std::string_view text) {
    auto [it, fresh] = code_points_.try_emplace(text);
    if (fresh) it->second = simplified_code_points(text);
    return it->second;
  }

  void add_rule(Rule rule, std::string word, bool one_character) {
    if (one_character && utf8::length(word) != 1)
      fail("a-not-a, guard, firm and cut-before take a word of one character, not " + word);
    rule.written_cantonese = std::move(word);
    rules_.push_back(std::move(rule));
  }

  // The name of the class that `word` holds (@ and capital letters, digits
  // or _), or "" when it holds none. A word holds at most one class, which
  // may fill several slots.
  std::string_view class_in(std::string_view word) const {
    const std::size_t at = word.find('@');
    if (at == std::string_view::npos) return {};
    std::size_t end = at + 1;
    while (end < word.size() && ((word[end] >= 'A' && word[end] <= 'Z') ||
                                 (word[end] >= '0' && word[end] <= '9') || word[end] == '_'))
      ++end;
    const std::string_view name = word.substr(at, end - at);
    if (name.size() == 1) fail("a class name after @ in " + std::string(word));
    for (std::size_t other = word.find('@', end); other != std::string_view::npos;
         other = word.find('@', other + 1))
      if (word.substr(other, name.size()) != name ||
          (other + name.size() < word.size() && word[other + name.size()] >= 'A' &&
           word[other + name.size()] <= 'Z'))
        fail("more than one class in " + std::string(word));
    return name;
  }

  static std::string replace_all(std::string_view text, std::string_view name,
                                 std::string_view by) {
    std::string out;
    for (std::size_t pos = 0;;) {
      const std::size_t at = text.find(name, pos);
      out += text.substr(pos, at == std::string_view::npos ? std::string_view::npos : at - pos);
      if (at == std::string_view::npos) return out;
      out += by;
      pos = at + name.size();
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

  Condition read_condition(std::string_view token) {
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
        add_class_alternatives(alternative, back, condition);
        continue;
      }
      Alternative parsed;
      parsed.edge = take_edge(alternative, back);
      if (alternative.empty() && parsed.edge == Edge::kNone)
        fail("an empty alternative in " + std::string(token));
      parsed.text = code_points_of(alternative);
      condition.alternatives.push_back(std::move(parsed));
    }
    for (const Alternative& a : condition.alternatives) {
      if (a.text.empty()) {
        condition.bare = true;
        continue;
      }
      const char32_t next = back ? a.text.back() : a.text.front();
      condition.near[(next >> 6) & 7] |= std::uint64_t{1} << (next & 63);
    }
    return condition;
  }

  // The edge that `alternative` ends with (looking forward) or starts with
  // (looking back), taken off it; kNone where it has none.
  static Edge take_edge(std::string_view& alternative, bool back) {
    for (const auto& [edge_name, edge] : kEdges) {
      if (back ? alternative.starts_with(edge_name) : alternative.ends_with(edge_name)) {
        alternative = back ? alternative.substr(edge_name.size())
                           : alternative.substr(0, alternative.size() - edge_name.size());
        return edge;
      }
    }
    return Edge::kNone;
  }

  // An alternative that starts with a class: any of its words, then the
  // text written after the class and, looking forward, an edge
  // (before:@PRON好多 is a pronoun then 好多, before:@PRONCLAUSE a pronoun
  // closing a clause). A class name runs on through capitals, so an edge
  // right after it is told apart by the class being unknown without it.
  void add_class_alternatives(std::string_view alternative, bool back, Condition& condition) {
    std::string_view name = class_in(alternative);
    std::string_view rest = alternative.substr(name.size());
    Edge edge = Edge::kNone;
    if (!back && !classes_.count(std::string(name))) {
      for (const auto& [edge_name, each] : kEdges) {
        if (name.size() > edge_name.size() + 1 && name.ends_with(edge_name) &&
            classes_.count(std::string(name.substr(0, name.size() - edge_name.size())))) {
          name = name.substr(0, name.size() - edge_name.size());
          rest = alternative.substr(name.size());
          break;
        }
      }
    }
    if (!back) edge = take_edge(rest, back);
    if (rest.find('@') != std::string_view::npos)
      fail("more than one class in " + std::string(alternative));
    for (const ClassWord& each : class_words(name)) {
      condition.alternatives.push_back(
          {rest.empty() ? code_points_of(each.word)
                        : simplified_code_points(std::string(each.word).append(rest)),
           edge});
    }
  }

  const std::string& path_;
  const MandarinOf& mandarin_of_;
  std::int64_t line_ = 0;
  std::unordered_map<std::string, std::vector<ClassWord>> classes_;  // as written
  std::vector<Rule> rules_;
  // A rule made from a pattern whose MANDARIN names the class: the rule,
  // the class's name and the word that fills the slot.
  struct Slot {
    std::size_t rule;
    std::string name;
    std::string_view word;
    std::string_view given;  // the Mandarin its class gives it, or ""
  };
  std::vector<Slot> slots_;
  std::unordered_map<std::string_view, std::u32string> code_points_;  // keyed into the file
};

}  // namespace

std::vector<Rule> load_rules(const std::string& path, std::string_view content,
                             const MandarinOf& mandarin_of) {
  RulesReader reader(path, mandarin_of);
  for_each_data_line(path, content, [&](std::string_view line, std::int64_t number) {
    reader.read_line(line, number);
  });
  return reader.take();
}

}  // namespace kelvra::nlp::common::lang::internal
