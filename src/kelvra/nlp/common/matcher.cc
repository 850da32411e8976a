#include "kelvra/nlp/common/matcher.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <utility>

#ifdef __linux__
#include <sys/mman.h>
#endif

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

// Up to this many children a linear scan beats a binary search. (Hash
// tables for nodes with many children, as under a common first character,
// were measured too: no faster on Chinese text, and a quarter more memory.)
constexpr std::size_t kLinearScanLimit = 8;
constexpr char32_t kFirstAstral = 0x10000;

// Asks for huge pages under a large buffer that is about to be filled: a
// result of millions of records otherwise takes a page fault every 4 KiB,
// about a third of a search's time. Only a hint; ignored where unknown.
void advise_huge_pages([[maybe_unused]] const void* data, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  if (bytes < 4 * kHuge) return;
  const auto address = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (address + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t end = (address + bytes) & ~(kHuge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

}  // namespace

// The dictionary while building, flat: the code points (later the symbols)
// of word w are symbols[start[w] .. start[w + 1]), the size of its UTF-8
// form is bytes[w].
struct Automaton::Entries {
  std::vector<char32_t> symbols;
  std::vector<Index> start{0};
  std::vector<Index> bytes;

  std::size_t size() const noexcept { return bytes.size(); }
  std::u32string_view word(Index w) const noexcept {
    return {symbols.data() + start[w], start[w + 1] - start[w]};
  }
};

Automaton::Entries Automaton::decode_words(
    std::size_t count, const std::function<std::string_view(std::size_t)>& word_at) {
  Entries entries;
  entries.start.reserve(count + 1);
  entries.bytes.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::string_view word = word_at(i);
    if (std::size_t bad = utf8::find_invalid(word); bad != utf8::npos)
      throw TypeError("words", "`words` item " + std::to_string(i) +
                                   " is not valid UTF-8 (byte " + std::to_string(bad) + ")");
    if (word.empty()) continue;
    for (std::size_t pos = 0; pos < word.size();) entries.symbols.push_back(utf8::next(word, pos));
    if (entries.symbols.size() >= UINT32_MAX - 2)
      throw std::length_error("dictionary too large for the automaton");
    entries.start.push_back(static_cast<Index>(entries.symbols.size()));
    entries.bytes.push_back(static_cast<Index>(word.size()));
  }
  return entries;
}

// --- Word ---

Word::Word(std::string text, std::int64_t length, std::int64_t offset)
    : text(std::move(text)), length(length), offset(offset) {
  utf8::require_valid(this->text, "text");
}

Word::Word(Unchecked, std::string_view text, std::int64_t length, std::int64_t offset)
    : text(text), length(length), offset(offset) {}

Record Word::to_json() const { return Record{{"text", text}, {"length", length}, {"offset", offset}}; }

Word Word::from_json(const Record& json) {
  require_map(json, "json");
  std::string text = require_string(at(json, "text", "json"), "text");
  std::int64_t length = require_integer(at(json, "length", "json"), "length");
  std::int64_t offset = require_integer(at(json, "offset", "json"), "offset");
  Word word(Unchecked{}, std::string_view(), length, offset);
  word.text = std::move(text);
  return word;
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

Automaton::Automaton(std::initializer_list<std::string_view> words)
    : Automaton(std::vector<std::string_view>(words)) {}

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

void Automaton::build(Entries& entries) {
  // The dense alphabet: the code points the words use, numbered from 1 in
  // code point order.
  std::vector<bool> used(0x110000, false);
  char32_t max_bmp = 0;
  for (char32_t cp : entries.symbols) {
    used[cp] = true;
    if (cp < kFirstAstral) max_bmp = std::max(max_bmp, cp);
  }
  Index alphabet = 0;
  bmp_symbols_.assign(entries.size() == 0 ? 0 : std::size_t(max_bmp) + 1, 0);
  for (char32_t cp = 0; cp < 0x110000; ++cp) {
    if (!used[cp]) continue;
    ++alphabet;
    if (cp < kFirstAstral) bmp_symbols_[cp] = alphabet;
    else astral_symbols_.emplace_back(cp, alphabet);
  }
  used = {};
  for (char32_t& cp : entries.symbols) cp = symbol_of(cp);

  // Sorted and without repeats, the words' prefixes of one length come in
  // the order of their parents and, under one parent, of their last symbol:
  // so the trie can be built level by level in breadth-first numbering with
  // the children of each node consecutive.
  std::vector<Index> active(entries.size());
  for (Index i = 0; i < active.size(); ++i) active[i] = i;
  std::sort(active.begin(), active.end(),
            [&](Index a, Index b) { return entries.word(a) < entries.word(b); });
  active.erase(std::unique(active.begin(), active.end(),
                           [&](Index a, Index b) { return entries.word(a) == entries.word(b); }),
               active.end());
  active.shrink_to_fit();
  const std::size_t distinct = active.size();

  label_.assign(1, 0);
  std::vector<Index> depth(1, 0), word_bytes(1, 0), child_count(1, 0);
  std::vector<Index> node_of(entries.size(), 0);
  for (Index level = 1; !active.empty(); ++level) {
    std::size_t kept = 0;
    Index last_parent = UINT32_MAX, last_symbol = 0, node = 0;
    for (Index w : active) {
      const Index parent = node_of[w];
      const std::u32string_view word = entries.word(w);
      const Index symbol = word[level - 1];
      if (parent != last_parent || symbol != last_symbol) {
        node = static_cast<Index>(label_.size());
        label_.push_back(symbol);
        depth.push_back(level);
        word_bytes.push_back(0);
        child_count.push_back(0);
        ++child_count[parent];
        last_parent = parent;
        last_symbol = symbol;
      }
      node_of[w] = node;
      if (word.size() == level) word_bytes[node] = entries.bytes[w];
      else active[kept++] = w;
    }
    active.resize(kept);
  }
  entries = {};
  node_of = {};
  active = {};
  label_.shrink_to_fit();

  const std::size_t nodes = label_.size();
  nodes_.assign(nodes + 1, Node{0, 0, 0, 0});
  nodes_[0].first_child = 1;
  for (std::size_t n = 0; n < nodes; ++n)
    nodes_[n + 1].first_child = nodes_[n].first_child + child_count[n];
  child_count = {};

  root_next_.assign(std::size_t(alphabet) + 1, 0);
  for (Index c = nodes_[0].first_child; c < nodes_[1].first_child; ++c) root_next_[label_[c]] = c;

  // Suffix links in breadth-first order: a node's link is shorter than the
  // node, so it and its own links are settled before the node is reached.
  terms_.reserve(distinct + 1);
  terms_.push_back(Term{0, 0, 0});
  for (Index parent = 0; parent < nodes; ++parent) {
    for (Index c = nodes_[parent].first_child; c < nodes_[parent + 1].first_child; ++c) {
      Index link = 0;
      if (parent != 0) {
        const Index symbol = label_[c];
        for (Index f = nodes_[parent].fail;; f = nodes_[f].fail) {
          if (f == 0) {
            link = root_next_[symbol];
            break;
          }
          if ((link = child(f, symbol)) != 0) break;
        }
      }
      Node& node = nodes_[c];
      node.fail = link;
      node.report = nodes_[link].report;
      node.count = nodes_[link].count;
      if (word_bytes[c] != 0) {
        terms_.push_back(Term{word_bytes[c], depth[c], node.report});
        node.report = static_cast<Index>(terms_.size() - 1);
        ++node.count;
      }
    }
  }
}

inline Automaton::Index Automaton::symbol_of(char32_t cp) const noexcept {
  if (cp < bmp_symbols_.size()) return bmp_symbols_[cp];
  if (cp < kFirstAstral) return 0;
  auto it = std::lower_bound(astral_symbols_.begin(), astral_symbols_.end(), cp,
                             [](const std::pair<char32_t, Index>& e, char32_t c) { return e.first < c; });
  return it != astral_symbols_.end() && it->first == cp ? it->second : 0;
}

inline Automaton::Index Automaton::child(Index node, Index symbol) const noexcept {
  const Index* begin = label_.data() + nodes_[node].first_child;
  const Index* end = label_.data() + nodes_[node + 1].first_child;
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
  std::vector<Word> found;
  search(text, found);
  return found;
}

void Automaton::search(std::string_view text, std::vector<Word>& found) const {
  utf8::require_valid(text, "text");
  if (size() == 0) return;
  // First the positions where words end (in chunks, never moved), with how
  // many end there: the result then grows once, to its exact size, and each
  // record is built once where it stays.
  struct Hit {
    std::size_t end_byte;  // just past the last code point
    Index report;
  };
  constexpr std::size_t kChunk = 1 << 14;
  std::vector<std::unique_ptr<Hit[]>> chunks;
  std::size_t hits = 0, total = 0;

  const Node* nodes = nodes_.data();
  const Index* root_next = root_next_.data();
  Index state = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    Index symbol = symbol_of(utf8::next(text, pos));
    if (symbol == 0) {  // in no word: no state survives it
      state = 0;
      continue;
    }
    for (;;) {
      if (state == 0) {
        state = root_next[symbol];
        break;
      }
      if (Index next = child(state, symbol); next != 0) {
        state = next;
        break;
      }
      state = nodes[state].fail;
    }
    if (const Node& node = nodes[state]; node.report != 0) {
      if (hits % kChunk == 0) chunks.push_back(std::make_unique_for_overwrite<Hit[]>(kChunk));
      chunks.back()[hits % kChunk] = Hit{pos, node.report};
      ++hits;
      total += node.count;
    }
  }

  found.reserve(found.size() + total);
  advise_huge_pages(found.data() + found.size(), total * sizeof(Word));
  // Code point positions: count the lead bytes between one hit and the next.
  std::size_t counted_to = 0;
  std::int64_t end = -1;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t h = 0; h < hits; ++h) {
    const Hit& hit = chunks[h / kChunk][h % kChunk];
    for (; counted_to < hit.end_byte; ++counted_to) end += (bytes[counted_to] & 0xC0) != 0x80;
    for (Index t = hit.report; t != 0; t = terms_[t].next) {
      const Term& term = terms_[t];
      found.emplace_back(Word::Unchecked{}, text.substr(hit.end_byte - term.bytes, term.bytes),
                         term.length, end - term.length + 1);
    }
  }
}

std::size_t Automaton::memory_bytes() const noexcept {
  auto bytes = [](const auto& v) { return v.capacity() * sizeof(v[0]); };
  return bytes(bmp_symbols_) + bytes(astral_symbols_) + bytes(root_next_) + bytes(nodes_) +
         bytes(label_) + bytes(terms_);
}

}  // namespace kelvra::nlp::common::matcher
