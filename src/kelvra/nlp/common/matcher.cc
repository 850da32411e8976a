#include "kelvra/nlp/common/matcher.h"

#include <algorithm>
#include <utility>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/text_form.h"
#include "kelvra/common/utf8.h"

namespace kelvra::nlp::common::matcher {

using kelvra::common::at;
using kelvra::common::require_integer;
using kelvra::common::require_list;
using kelvra::common::require_map;
using kelvra::common::require_string;
using kelvra::common::TypeError;
namespace utf8 = kelvra::common::utf8;

namespace {

// Below this many children a linear scan beats a binary search.
constexpr std::size_t kLinearScanLimit = 8;
constexpr char32_t kFirstAstral = 0x10000;

}  // namespace

// One dictionary word while building: its code points (later its symbols)
// and the size of its UTF-8 form.
struct Automaton::Entry {
  std::u32string symbols;
  std::uint32_t bytes;
};

std::vector<Automaton::Entry> Automaton::decode_words(
    std::size_t count, const std::function<std::string_view(std::size_t)>& word_at) {
  std::vector<Entry> entries;
  entries.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::string_view word = word_at(i);
    if (std::size_t bad = utf8::find_invalid(word); bad != utf8::npos)
      throw TypeError("words", "`words` item " + std::to_string(i) +
                                   " is not valid UTF-8 (byte " + std::to_string(bad) + ")");
    if (word.empty()) continue;
    if (word.size() > UINT32_MAX) throw TypeError("words", "`words` item " + std::to_string(i) + " is too long");
    std::u32string symbols;
    symbols.reserve(word.size());
    for (std::size_t pos = 0; pos < word.size();) symbols.push_back(utf8::next(word, pos));
    entries.push_back(Entry{std::move(symbols), static_cast<std::uint32_t>(word.size())});
  }
  return entries;
}

// --- Word ---

Word::Word(std::string text, std::int64_t length, std::int64_t offset)
    : text(std::move(text)), length(length), offset(offset) {
  utf8::require_valid(this->text, "text");
}

Word::Word(Unchecked, std::string text, std::int64_t length, std::int64_t offset)
    : text(std::move(text)), length(length), offset(offset) {}

Record Word::to_json() const { return Record{{"text", text}, {"length", length}, {"offset", offset}}; }

Word Word::from_json(const Record& json) {
  require_map(json, "json");
  std::string text = require_string(at(json, "text", "json"), "text");
  std::int64_t length = require_integer(at(json, "length", "json"), "length");
  std::int64_t offset = require_integer(at(json, "offset", "json"), "offset");
  return Word(Unchecked{}, std::move(text), length, offset);
}

std::string Word::to_string() const { return kelvra::common::to_text_form(to_json()); }

std::ostream& operator<<(std::ostream& os, const Word& word) { return os << word.to_string(); }

// --- Automaton ---

Automaton::Automaton(const std::vector<std::string>& words) {
  auto entries = decode_words(words.size(), [&](std::size_t i) { return std::string_view(words[i]); });
  build(entries);
}

Automaton::Automaton(const std::vector<std::string_view>& words) {
  auto entries = decode_words(words.size(), [&](std::size_t i) { return words[i]; });
  build(entries);
}

Automaton::Automaton(const Record& words) {
  const Record& list = require_list(words, "words");
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (!list[i].is_string())
      throw TypeError("words", "`words` must be a list of strings, item " + std::to_string(i) +
                                   " is a " + std::string(kelvra::common::kind_name(list[i])));
  }
  auto entries = decode_words(list.size(), [&](std::size_t i) {
    return std::string_view(list[i].get_ref<const std::string&>());
  });
  build(entries);
}

void Automaton::build(std::vector<Entry>& entries) {
  // The dense alphabet: the code points the words use, numbered from 1 in
  // code point order.
  std::vector<bool> used(0x110000, false);
  char32_t max_bmp = 0;
  for (const Entry& entry : entries) {
    for (char32_t cp : entry.symbols) {
      used[cp] = true;
      if (cp < kFirstAstral) max_bmp = std::max(max_bmp, cp);
    }
  }
  Index alphabet = 0;
  bmp_symbols_.assign(entries.empty() ? 0 : std::size_t(max_bmp) + 1, 0);
  for (char32_t cp = 0; cp < 0x110000; ++cp) {
    if (!used[cp]) continue;
    ++alphabet;
    if (cp < kFirstAstral) bmp_symbols_[cp] = alphabet;
    else astral_symbols_.emplace_back(cp, alphabet);
  }
  used = {};
  for (Entry& entry : entries)
    for (char32_t& cp : entry.symbols) cp = symbol_of(cp);

  // Sorted and without repeats, the words' prefixes of one length come in
  // the order of their parents and, under one parent, of their last symbol:
  // so the trie can be built level by level in breadth-first numbering with
  // the children of each node consecutive.
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.symbols < b.symbols; });
  entries.erase(std::unique(entries.begin(), entries.end(),
                            [](const Entry& a, const Entry& b) { return a.symbols == b.symbols; }),
                entries.end());
  words_ = entries.size();

  std::size_t total_symbols = 0;
  for (const Entry& entry : entries) total_symbols += entry.symbols.size();
  if (total_symbols + 1 > UINT32_MAX) throw std::length_error("dictionary too large for the automaton");
  // Each symbol of each word opens at most one node; reserving that many
  // would overshoot a lot for shared prefixes, so grow instead.
  label_.assign(1, 0);
  depth_.assign(1, 0);
  word_bytes_.assign(1, 0);
  std::vector<Index> child_count(1, 0);

  std::vector<Index> active(entries.size());
  for (Index i = 0; i < active.size(); ++i) active[i] = i;
  std::vector<Index> node_of(entries.size(), 0);
  for (Index depth = 1; !active.empty(); ++depth) {
    std::size_t kept = 0;
    Index last_parent = UINT32_MAX, last_symbol = 0, node = 0;
    for (Index w : active) {
      Index parent = node_of[w];
      Index symbol = entries[w].symbols[depth - 1];
      if (parent != last_parent || symbol != last_symbol) {
        node = static_cast<Index>(label_.size());
        label_.push_back(symbol);
        depth_.push_back(depth);
        word_bytes_.push_back(0);
        child_count.push_back(0);
        ++child_count[parent];
        last_parent = parent;
        last_symbol = symbol;
      }
      node_of[w] = node;
      if (entries[w].symbols.size() == depth) word_bytes_[node] = entries[w].bytes;
      else active[kept++] = w;
    }
    active.resize(kept);
  }
  entries = {};
  node_of = {};

  const std::size_t nodes = label_.size();
  first_child_.resize(nodes + 1);
  first_child_[0] = 1;
  for (std::size_t n = 0; n < nodes; ++n) first_child_[n + 1] = first_child_[n] + child_count[n];
  child_count = {};

  root_next_.assign(std::size_t(alphabet) + 1, 0);
  for (Index c = first_child_[0]; c < first_child_[1]; ++c) root_next_[label_[c]] = c;

  // Suffix links in breadth-first order: a node's link is shorter than the
  // node, so it and its own links are settled before the node is reached.
  fail_.assign(nodes, 0);
  output_.assign(nodes, 0);
  for (Index parent = 1; parent < nodes; ++parent) {
    for (Index c = first_child_[parent]; c < first_child_[parent + 1]; ++c) {
      Index symbol = label_[c];
      Index f = fail_[parent];
      Index link;
      for (;;) {
        if (f == 0) {
          link = root_next_[symbol];
          break;
        }
        if ((link = child(f, symbol)) != 0) break;
        f = fail_[f];
      }
      fail_[c] = link;
      output_[c] = word_bytes_[link] != 0 ? link : output_[link];
    }
  }
}

Automaton::Index Automaton::symbol_of(char32_t cp) const noexcept {
  if (cp < bmp_symbols_.size()) return bmp_symbols_[cp];
  if (cp < kFirstAstral) return 0;
  auto it = std::lower_bound(astral_symbols_.begin(), astral_symbols_.end(), cp,
                             [](const std::pair<char32_t, Index>& e, char32_t c) { return e.first < c; });
  return it != astral_symbols_.end() && it->first == cp ? it->second : 0;
}

Automaton::Index Automaton::child(Index node, Index symbol) const noexcept {
  const Index* begin = label_.data() + first_child_[node];
  const Index* end = label_.data() + first_child_[node + 1];
  if (static_cast<std::size_t>(end - begin) <= kLinearScanLimit) {
    for (const Index* p = begin; p != end; ++p) {
      if (*p >= symbol) return *p == symbol ? static_cast<Index>(p - label_.data()) : 0;
    }
    return 0;
  }
  const Index* p = std::lower_bound(begin, end, symbol);
  return p != end && *p == symbol ? static_cast<Index>(p - label_.data()) : 0;
}

std::vector<Word> Automaton::search(std::string_view text) const {
  utf8::require_valid(text, "text");
  std::vector<Word> found;
  if (words_ == 0) return found;
  Index state = 0;
  std::int64_t index = 0;  // code point position of the current code point
  for (std::size_t pos = 0; pos < text.size(); ++index) {
    Index symbol = symbol_of(utf8::next(text, pos));
    if (symbol == 0) {  // in no word: no state survives it
      state = 0;
      continue;
    }
    for (;;) {
      if (state == 0) {
        state = root_next_[symbol];
        break;
      }
      if (Index next = child(state, symbol); next != 0) {
        state = next;
        break;
      }
      state = fail_[state];
    }
    // `pos` is now the byte just past the current code point: each word
    // ending here is the stretch of its byte size before it.
    for (Index o = word_bytes_[state] != 0 ? state : output_[state]; o != 0; o = output_[o]) {
      const Index bytes = word_bytes_[o];
      const Index length = depth_[o];
      found.push_back(Word(Word::Unchecked{}, std::string(text.substr(pos - bytes, bytes)), length,
                           index - length + 1));
    }
  }
  return found;
}

std::size_t Automaton::memory_bytes() const noexcept {
  auto bytes = [](const auto& v) { return v.capacity() * sizeof(v[0]); };
  return bytes(bmp_symbols_) + bytes(astral_symbols_) + bytes(root_next_) + bytes(first_child_) +
         bytes(label_) + bytes(fail_) + bytes(output_) + bytes(depth_) + bytes(word_bytes_);
}

}  // namespace kelvra::nlp::common::matcher
