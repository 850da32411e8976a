#include "kelvra/nlp/common/matcher.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/text_form.h"
#include "kelvra/common/utf8.h"
#include "kelvra/common/utils.h"
#include "kelvra/nlp/common/internal/folding.h"
#include "utf8proc.h"

namespace kelvra::nlp::common::matcher {

using kelvra::common::at;
using kelvra::common::ErrorCodes;
using kelvra::common::FileError;
using kelvra::common::free_memory;
using kelvra::common::ImageBytes;
using kelvra::common::ImageKind;
using kelvra::common::ImageReader;
using kelvra::common::ImageWriter;
using kelvra::common::KvException;
using kelvra::common::require_integer;
using kelvra::common::require_list;
using kelvra::common::require_map;
using kelvra::common::require_string;
using kelvra::common::TypeError;
using kelvra::nlp::common::internal::Folder;
namespace utf8 = kelvra::common::utf8;

namespace {

using Index = std::uint32_t;
constexpr char32_t kFirstAstral = 0x10000;
// The check of a free slot: no state has this number.
constexpr Index kFree = UINT32_MAX;

// The saved form: fields (the alphabet's size, whether the dictionary's
// order is known and, from version 3 on, the foldings), the symbols of the
// basic plane by code point, those of the others, the slots, the terms,
// where each term comes from, and the term of each word of the dictionary
// as given. Version 1 had the first five only. An automaton without
// foldings is saved in version 2, which older readers know; every version
// loads.
constexpr ImageKind kSavedAutomaton{"KELVRAAC", 3, 7, "saved automaton"};
constexpr ImageKind kSavedAutomatonV2{"KELVRAAC", 2, 7, "saved automaton"};
constexpr ImageKind kSavedAutomatonV1{"KELVRAAC", 1, 5, "saved automaton"};
constexpr std::string_view kBytesSource = "automaton bytes";

// Lays out the children of the trie's nodes in a double array: for a node
// with child labels l1 < l2 < ... it finds a base such that the slots
// base + li are all free and takes them (first fit). Free slots are kept in
// bit sets, so a family (the children of one node) is tried at 64 bases at
// once and crowded stretches are skipped a word at a time. Families come
// largest first; a word of 64 first-child slots where kMaxTries families of
// one size class found no fit is not tried again for that class, but its
// slots stay free for single children and for smaller classes. That keeps
// the layout near linear in time. (Very large families whose labels spread
// evenly over a large alphabet cannot interleave densely; real
// dictionaries, whose common characters dominate, pack at about 60%.)
class SlotPlacer {
 public:
  SlotPlacer() {
    reserve(std::size_t{1} << 16);
    take(0, 0);  // the root
  }

  // Takes the slots base + labels[i] for the children of `owner`.
  void take_at(Index base, const Index* labels, std::size_t count, Index owner) {
    reserve(std::size_t(base) + labels[count - 1] + 1);
    for (std::size_t i = 0; i < count; ++i) take(base + labels[i], owner);
  }

  // Finds a base for the children of `owner`, labels sorted ascending and
  // `count` at least 1, takes their slots and returns it.
  Index place(const Index* labels, std::size_t count, Index owner) {
    const std::size_t first = labels[0], span = labels[count - 1] - first;
    if (count == 1) {
      std::size_t p = free_.find(first);
      if (p == kNone) p = std::max(check_.size(), first);
      take_at(static_cast<Index>(p - first), labels, 1, owner);
      return static_cast<Index>(p - first);
    }
    if (const auto size_class = std::bit_width(count); size_class != size_class_) {
      // A stretch crowded out for larger families may suit smaller ones.
      size_class_ = size_class;
      candidates_ = free_;
      std::fill(tries_.begin(), tries_.end(), 0);
    }
    // The first child's slot p, 64 candidates at a time: bit j of `fits`
    // stands for p = 64 * word + j, and each further child clears the bits
    // whose slot p + (label - first) is taken.
    for (std::size_t p = candidates_.find(first);; p = candidates_.find(p / 64 * 64 + 64)) {
      if (p == kNone) p = std::max(check_.size(), first);
      const std::size_t word = p / 64, at = word * 64;
      reserve(at + span + 128);
      std::uint64_t fits = candidates_.words[word] & (~std::uint64_t{0} << (p % 64));
      for (std::size_t i = 1; i < count && fits != 0; ++i)
        fits &= free_.window(at + labels[i] - first);
      if (fits != 0) {
        const std::size_t base = at + static_cast<std::size_t>(std::countr_zero(fits)) - first;
        take_at(static_cast<Index>(base), labels, count, owner);
        return static_cast<Index>(base);
      }
      if (++tries_[word] == kMaxTries) candidates_.words[word] = 0;
    }
  }

  // The owner of every slot, kFree where none; the placer is spent.
  std::vector<Index> release_checks() { return std::move(check_); }

 private:
  static constexpr std::size_t kNone = SIZE_MAX;
  static constexpr std::uint8_t kMaxTries = 8;

  struct BitSet {
    std::vector<std::uint64_t> words;
    std::size_t first_word = 0;  // the words before it are all zero

    void clear(std::size_t bit) { words[bit / 64] &= ~(std::uint64_t{1} << (bit % 64)); }
    // The 64 bits from `bit` on; the word after must exist.
    std::uint64_t window(std::size_t bit) const {
      const std::size_t word = bit / 64, shift = bit % 64;
      if (shift == 0) return words[word];
      return (words[word] >> shift) | (words[word + 1] << (64 - shift));
    }
    // The first set bit at or after `from`, kNone if none.
    std::size_t find(std::size_t from) {
      while (first_word < words.size() && words[first_word] == 0) ++first_word;
      std::size_t word = std::max(from / 64, first_word);
      if (word >= words.size()) return kNone;
      std::uint64_t bits = words[word];
      if (word == from / 64) bits &= ~std::uint64_t{0} << (from % 64);
      while (bits == 0) {
        if (++word == words.size()) return kNone;
        bits = words[word];
      }
      return word * 64 + static_cast<std::size_t>(std::countr_zero(bits));
    }
  };

  void reserve(std::size_t size) {
    if (size <= check_.size()) return;
    if (size >= kFree) throw std::length_error("dictionary too large for the automaton");
    size = std::max(size, check_.size() + check_.size() / 2);
    size = (size + 63) & ~std::size_t{63};
    // Grown by the half set here, not by the library's doubling: the
    // owners are the largest array of a big build.
    check_.reserve(size);
    check_.resize(size, kFree);
    tries_.resize(size / 64, 0);
    free_.words.resize(size / 64, ~std::uint64_t{0});
    candidates_.words.resize(size / 64, ~std::uint64_t{0});
  }
  void take(std::size_t slot, Index owner) {
    check_[slot] = owner;
    free_.clear(slot);
    candidates_.clear(slot);
  }

  std::vector<Index> check_;
  std::vector<std::uint8_t> tries_;  // per word of candidates_: families that found no fit there
  BitSet free_;                      // free slots
  BitSet candidates_;                // free slots still worth trying for families
  std::size_t size_class_ = 0;       // bit width of the family size being placed
};

}  // namespace

// The dictionary while building, flat: the code points (later the symbols)
// of word w are symbols[start[w] .. start[w + 1]), the size of its UTF-8
// form is bytes[w], its index in the dictionary as given is given[w] (empty
// words have no entry but count there: `listed` words in all).
struct Automaton::Entries {
  std::vector<char32_t> symbols;
  std::vector<Index> start{0};
  std::vector<Index> bytes;
  std::vector<Index> given;
  std::size_t listed = 0;

  std::size_t size() const noexcept { return bytes.size(); }
  std::u32string_view word(Index w) const noexcept {
    return {symbols.data() + start[w], start[w + 1] - start[w]};
  }
};

Automaton::Entries Automaton::decode_words(
    std::size_t count, const std::function<std::string_view(std::size_t)>& word_at,
    std::uint8_t folds) {
  if (folds & ~kAllFolds)
    throw KvException(
        ErrorCodes::INVALID_PARAMETERS,
        "`fold` holds bits other than case, width and script: " + std::to_string(folds));
  const Folder* folder = folds != 0 ? &Folder::of(folds) : nullptr;
  // Ids travel to Python as int32.
  if (count > INT32_MAX) throw std::length_error("dictionary too large for the automaton");
  Entries entries;
  entries.listed = count;
  entries.start.reserve(count + 1);
  entries.bytes.reserve(count);
  entries.given.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::string_view word = word_at(i);
    if (std::size_t bad = utf8::find_invalid(word); bad != utf8::npos)
      throw TypeError("words", "`words` item " + std::to_string(i) + " is not valid UTF-8 (byte " +
                                   std::to_string(bad) + ")");
    if (word.empty()) continue;
    std::size_t bytes = word.size();
    if (folder == nullptr) {
      for (std::size_t pos = 0; pos < word.size();)
        entries.symbols.push_back(utf8::next(word, pos));
    } else {
      bytes = 0;
      char32_t units[Folder::kMaxUnits];
      for (std::size_t pos = 0; pos < word.size();) {
        const std::size_t size = folder->fold(utf8::next(word, pos), units);
        for (std::size_t u = 0; u < size; ++u) {
          entries.symbols.push_back(units[u]);
          bytes += utf8::encoded_size(units[u]);
        }
      }
    }
    if (entries.symbols.size() >= UINT32_MAX - 2 || bytes >= UINT32_MAX - 2)
      throw std::length_error("dictionary too large for the automaton");
    entries.start.push_back(static_cast<Index>(entries.symbols.size()));
    entries.bytes.push_back(static_cast<Index>(bytes));
    entries.given.push_back(static_cast<Index>(i));
  }
  return entries;
}

// --- Word ---

Word::Word(std::string text_, std::int64_t length_, std::int64_t offset_)
    : text(std::move(text_)), length(length_), offset(offset_) {
  utf8::require_valid(this->text, "text");
}

Word::Word(Unchecked, std::string_view text_, std::int64_t length_, std::int64_t offset_)
    : text(text_), length(length_), offset(offset_) {}

Record Word::to_json() const {
  return kelvra::common::build_record([&](auto& out) { word_members(out, text, length, offset); });
}

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

// The arrays of a built automaton, which its views point into.
struct Automaton::Tables {
  std::vector<Index> bmp_symbols;
  std::vector<AstralSymbol> astral_symbols;
  std::vector<Slot> slots;
  std::vector<Term> terms;
  std::vector<TermSource> sources;
  std::vector<Index> dictionary;
};

// The bytes of a saved automaton, and for one saved in version 1 the
// tables that version lacks, made when it was loaded.
struct Automaton::Loaded {
  ImageBytes bytes;
  std::vector<TermSource> sources;
  std::vector<Index> dictionary;
};

void Automaton::reset_to_empty() noexcept {
  // The tables of an automaton without words, the root alone: what a
  // moved-from automaton is, so that it stays a sound (empty) one.
  static constexpr Slot kRoot[1] = {{0, 0, 0, 0}};
  static constexpr Term kNoTerm[1] = {{0, 0, 0, 0}};
  static constexpr TermSource kNoSource[1] = {{0, 0}};
  storage_.reset();
  mapped_ = false;
  alphabet_ = 0;
  bmp_symbols_ = {};
  astral_symbols_ = {};
  slots_ = kRoot;
  terms_ = kNoTerm;
  sources_ = kNoSource;
  dictionary_ = {};
  ordered_ = true;
  folds_ = 0;
  longest_ = 0;
  code_points_.clear();
  folded_symbols_.clear();
  starting_bytes_.fill(false);
}

Automaton::Automaton(Automaton&& other) noexcept { *this = std::move(other); }

Automaton& Automaton::operator=(Automaton&& other) noexcept {
  if (this != &other) {
    storage_ = std::move(other.storage_);
    mapped_ = other.mapped_;
    alphabet_ = other.alphabet_;
    bmp_symbols_ = other.bmp_symbols_;
    astral_symbols_ = other.astral_symbols_;
    slots_ = other.slots_;
    terms_ = other.terms_;
    sources_ = other.sources_;
    dictionary_ = other.dictionary_;
    ordered_ = other.ordered_;
    folds_ = other.folds_;
    longest_ = other.longest_;
    code_points_ = std::move(other.code_points_);
    folded_symbols_ = std::move(other.folded_symbols_);
    starting_bytes_ = other.starting_bytes_;
    other.reset_to_empty();
  }
  return *this;
}

Automaton::~Automaton() = default;

Automaton::Automaton(const std::vector<std::string>& words, std::uint8_t folds) {
  auto entries = decode_words(
      words.size(), [&](std::size_t i) { return std::string_view(words[i]); }, folds);
  build(entries, folds);
}

Automaton::Automaton(const std::vector<std::string_view>& words, std::uint8_t folds) {
  auto entries = decode_words(
      words.size(), [&](std::size_t i) { return words[i]; }, folds);
  build(entries, folds);
}

Automaton::Automaton(std::initializer_list<std::string_view> words, std::uint8_t folds)
    : Automaton(std::vector<std::string_view>(words), folds) {}

Automaton::Automaton(const Record& words, std::uint8_t folds) {
  const Record& list = require_list(words, "words");
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (!list[i].is_string())
      throw TypeError("words", "`words` must be a list of strings, item " + std::to_string(i) +
                                   " is a " + std::string(kelvra::common::kind_name(list[i])));
  }
  auto entries = decode_words(
      list.size(),
      [&](std::size_t i) { return std::string_view(list[i].get_ref<const std::string&>()); },
      folds);
  build(entries, folds);
}

void Automaton::build(Entries& entries, std::uint8_t folds) {
  folds_ = folds;
  auto tables = std::make_shared<Tables>();
  // The dense alphabet: the code points the words use, numbered from 1,
  // the most frequent first. Frequent symbols then have small numbers, so a
  // node's children lie close together in the double array, which packs it
  // tighter and keeps a search's lookups near each other.
  std::vector<Index> frequency(0x110000, 0);
  for (char32_t cp : entries.symbols) ++frequency[cp];
  std::vector<char32_t> used;
  char32_t max_bmp = 0;
  for (char32_t cp = 0; cp < 0x110000; ++cp) {
    if (frequency[cp] == 0) continue;
    used.push_back(cp);
    if (cp < kFirstAstral) max_bmp = cp;
  }
  std::stable_sort(used.begin(), used.end(),
                   [&](char32_t a, char32_t b) { return frequency[a] > frequency[b]; });
  free_memory(frequency);
  const auto alphabet = static_cast<Index>(used.size());
  alphabet_ = alphabet;
  tables->bmp_symbols.assign(entries.size() == 0 ? 0 : std::size_t(max_bmp) + 1, 0);
  for (Index symbol = 1; symbol <= alphabet; ++symbol) {
    const char32_t cp = used[symbol - 1];
    if (cp < kFirstAstral)
      tables->bmp_symbols[cp] = symbol;
    else
      tables->astral_symbols.push_back({cp, symbol});
  }
  free_memory(used);
  std::sort(
      tables->astral_symbols.begin(), tables->astral_symbols.end(),
      [](const AstralSymbol& a, const AstralSymbol& b) { return a.code_point < b.code_point; });
  bmp_symbols_ = tables->bmp_symbols;
  astral_symbols_ = tables->astral_symbols;
  for (char32_t& cp : entries.symbols) cp = symbol_of(cp);

  // Sorted and without repeats, the words' prefixes of one length come in
  // the order of their parents and, under one parent, of their last symbol:
  // so the trie can be built level by level in breadth-first numbering with
  // the children of each node consecutive.
  // Among repeats, the first listed comes first and stands for them all
  // (representative[w]); it gives the word its id.
  std::vector<Index> active(entries.size());
  for (Index i = 0; i < active.size(); ++i) active[i] = i;
  std::sort(active.begin(), active.end(), [&](Index a, Index b) {
    const int order = entries.word(a).compare(entries.word(b));
    return order != 0 ? order < 0 : a < b;
  });
  std::vector<Index> representative(entries.size());
  for (std::size_t i = 0; i < active.size(); ++i)
    representative[active[i]] = i > 0 && entries.word(active[i]) == entries.word(active[i - 1])
                                    ? representative[active[i - 1]]
                                    : active[i];
  active.erase(std::unique(active.begin(), active.end(),
                           [&](Index a, Index b) { return entries.word(a) == entries.word(b); }),
               active.end());
  active.shrink_to_fit();
  const std::size_t distinct = active.size();

  // The per-node arrays are the build's largest: sized exactly, from the
  // prefixes the sorted words do not share, so that none grows by copying.
  std::size_t nodes = 1;
  for (std::size_t i = 0; i < distinct; ++i) {
    const std::u32string_view word = entries.word(active[i]);
    std::size_t shared = 0;
    if (i > 0) {
      const std::u32string_view before = entries.word(active[i - 1]);
      while (shared < before.size() && shared < word.size() && before[shared] == word[shared])
        ++shared;
    }
    nodes += word.size() - shared;
  }
  if (nodes >= kFree) throw std::length_error("dictionary too large for the automaton");
  // The nodes are numbered breadth first, level by level; the nodes of
  // depth d are [level_end[d - 1], level_end[d]).
  std::vector<Index> level_end{1};
  std::vector<Index> label;  // the symbol on the edge into each node
  label.reserve(nodes);
  label.push_back(0);
  // Children per node, then (in place) the first child of each node and,
  // last, the end of the last node's.
  std::vector<Index> first_child;
  first_child.reserve(nodes + 1);
  first_child.push_back(0);
  std::vector<Index> word_entry;  // 1 + the entry of the word ending at each node, 0 if none
  word_entry.reserve(nodes);
  word_entry.push_back(0);
  std::vector<Index> node_of(entries.size(), 0);
  for (Index level = 1; !active.empty(); ++level) {
    std::size_t kept = 0;
    Index last_parent = UINT32_MAX, last_symbol = 0, node = 0;
    for (Index w : active) {
      const Index parent = node_of[w];
      const std::u32string_view word = entries.word(w);
      const Index symbol = word[level - 1];
      if (parent != last_parent || symbol != last_symbol) {
        node = static_cast<Index>(label.size());
        label.push_back(symbol);
        word_entry.push_back(0);
        first_child.push_back(0);
        ++first_child[parent];
        last_parent = parent;
        last_symbol = symbol;
      }
      node_of[w] = node;
      if (word.size() == level)
        word_entry[node] = w + 1;
      else
        active[kept++] = w;
    }
    active.resize(kept);
    level_end.push_back(static_cast<Index>(label.size()));
  }
  free_memory(active);
  free_memory(entries.symbols);
  free_memory(entries.start);
  Index next_child = 1;
  for (Index& count : first_child) {
    const Index children = count;
    count = next_child;
    next_child += children;
  }
  first_child.push_back(next_child);

  // The double array. Families go to the placer largest first: they need
  // many free slots at fixed distances, which an emptier array offers, and
  // small ones then fill the gaps. The root's base is 0: its children sit at
  // their own symbols. The placer records each slot's owner as a node
  // number; it becomes the owner's slot once all are known.
  std::vector<Index> families;
  for (Index n = 1; n < nodes; ++n)
    if (first_child[n + 1] != first_child[n]) families.push_back(n);
  std::stable_sort(families.begin(), families.end(), [&](Index a, Index b) {
    return first_child[a + 1] - first_child[a] > first_child[b + 1] - first_child[b];
  });
  std::vector<Index> base(nodes, 0);
  std::vector<Index> check;
  {  // the placer's memory goes with it
    SlotPlacer placer;
    if (first_child[1] != first_child[0]) placer.take_at(0, &label[1], first_child[1] - 1, 0);
    for (Index n : families)
      base[n] = placer.place(&label[first_child[n]], first_child[n + 1] - first_child[n], n);
    check = placer.release_checks();
  }
  free_memory(families);
  const std::size_t max_base = *std::max_element(base.begin(), base.end());
  // Each node's label becomes its slot; the label is the slot less the
  // parent's base again.
  std::vector<Index>& slot_of = label;
  for (Index n = 0; n < nodes; ++n)
    for (Index c = first_child[n]; c < first_child[n + 1]; ++c) slot_of[c] += base[n];
  // Past the last state, only as many slots as a lookup from the largest
  // base can reach.
  std::size_t used_end = check.size();
  while (used_end > 0 && check[used_end - 1] == kFree) --used_end;
  if (max_base + alphabet + 1 >= kFree)
    throw std::length_error("dictionary too large for the automaton");
  const std::size_t slot_count = std::max(used_end, max_base + alphabet + 1);
  std::vector<Slot>& slots = tables->slots;
  // A search visits states all over the slots (and the words'
  // records): on huge pages, far fewer of those visits miss the TLB.
  slots.reserve(slot_count);
  kelvra::common::advise_huge_pages(slots.data(), slot_count * sizeof(Slot));
  slots.assign(slot_count, Slot{0, kFree, 0, 0});
  for (std::size_t i = 0; i < used_end; ++i)
    if (check[i] != kFree) slots[i].check = slot_of[check[i]];
  free_memory(check);
  for (Index n = 0; n < nodes; ++n) slots[slot_of[n]].base = base[n];
  free_memory(base);
  slots_ = slots;  // for step(); the vector keeps its size from here on

  // Suffix links in breadth-first order: a node's link is shorter than the
  // node, so it and its own links are settled before the node is reached.
  std::vector<Term>& terms = tables->terms;
  std::vector<TermSource>& sources = tables->sources;
  terms.reserve(distinct + 1);
  kelvra::common::advise_huge_pages(terms.data(), (distinct + 1) * sizeof(Term));
  terms.push_back(Term{0, 0, 0, 0});
  sources.reserve(distinct + 1);
  kelvra::common::advise_huge_pages(sources.data(), (distinct + 1) * sizeof(TermSource));
  sources.push_back(TermSource{0, 0});
  // A word's entry keeps its Term in node_of from here on.
  std::vector<Index>& term_of_entry = node_of;
  Index depth = 1;
  for (Index n = 0; n < nodes; ++n) {
    const Index parent_slot = slot_of[n], parent_base = slots[parent_slot].base;
    for (Index c = first_child[n]; c < first_child[n + 1]; ++c) {
      while (c >= level_end[depth]) ++depth;
      const Index link = n == 0 ? 0 : step(slots[parent_slot].fail, slot_of[c] - parent_base);
      Slot& slot = slots[slot_of[c]];
      slot.fail = link;
      slot.report = slots[link].report;
      if (word_entry[c] != 0) {
        const Index w = word_entry[c] - 1;
        longest_ = std::max(longest_, depth);
        terms.push_back(Term{entries.bytes[w], depth, slot.report, terms[slot.report].count + 1});
        sources.push_back(TermSource{entries.given[w], slot_of[c]});
        slot.report = static_cast<Index>(terms.size() - 1);
        term_of_entry[w] = slot.report;
      }
    }
  }
  tables->dictionary.assign(entries.listed, 0);
  for (std::size_t w = 0; w < entries.given.size(); ++w)
    tables->dictionary[entries.given[w]] = term_of_entry[representative[w]];
  terms_ = terms;
  sources_ = sources;
  dictionary_ = tables->dictionary;
  storage_ = std::move(tables);
  index_code_points();
  index_folded_symbols();
}

namespace {

// The first byte of the UTF-8 form of `cp`.
unsigned char lead_byte(char32_t cp) {
  std::string encoded;
  utf8::append(encoded, cp);
  return static_cast<unsigned char>(encoded[0]);
}

}  // namespace

void Automaton::index_code_points() {
  code_points_.assign(std::size_t(alphabet_) + 1, 0);
  for (char32_t cp = 0; cp < bmp_symbols_.size(); ++cp) code_points_[bmp_symbols_[cp]] = cp;
  for (const auto& [cp, symbol] : astral_symbols_) code_points_[symbol] = cp;
  code_points_[0] = 0;
  // The root's children sit at their symbols (its base is 0).
  starting_bytes_.fill(false);
  for (Index symbol = 1; symbol <= alphabet_ && symbol < slots_.size(); ++symbol)
    if (slots_[symbol].check == 0) starting_bytes_[lead_byte(code_points_[symbol])] = true;
}

void Automaton::index_folded_symbols() {
  folded_symbols_.clear();
  if (folds_ == 0) return;
  const Folder& folder = Folder::of(folds_);
  folded_symbols_.resize(kFirstAstral);
  char32_t units[Folder::kMaxUnits];
  // A code point can begin a word when its folding begins with a symbol
  // that the root has a child for; those beyond the basic plane are all
  // taken to.
  starting_bytes_.fill(false);
  for (char32_t cp = 0; cp < kFirstAstral; ++cp) {
    const std::size_t size = folder.fold(cp, units);
    const Index first = symbol_of(units[0]);
    folded_symbols_[cp] = size == 1 ? first : kFoldsToMore;
    if (first != 0 && slots_[first].check == 0 && !(cp >= 0xD800 && cp < 0xE000))
      starting_bytes_[lead_byte(cp)] = true;
  }
  for (unsigned lead = 0xF0; lead <= 0xF4; ++lead) starting_bytes_[lead] = true;
}

std::string Automaton::word(std::size_t id) const {
  if (id >= dictionary_.size())
    throw std::out_of_range("word id " + std::to_string(id) + " is not below the dictionary's " +
                            std::to_string(dictionary_.size()) + " words");
  const Index term = dictionary_[id];
  if (term == 0) return {};
  std::u32string reversed;
  for (Index state = sources_[term].state; state != 0;) {
    const Index parent = slots_[state].check;
    reversed.push_back(code_points_[state - slots_[parent].base]);
    state = parent;
  }
  std::reverse(reversed.begin(), reversed.end());
  return utf8::encode(reversed);
}

[[gnu::always_inline]] inline Automaton::Index Automaton::symbol_of(char32_t cp) const noexcept {
  if (cp < bmp_symbols_.size()) return bmp_symbols_[cp];
  if (cp < kFirstAstral) return 0;
  auto it = std::lower_bound(astral_symbols_.begin(), astral_symbols_.end(), cp,
                             [](const AstralSymbol& e, char32_t c) { return e.code_point < c; });
  return it != astral_symbols_.end() && it->code_point == cp ? it->symbol : 0;
}

inline bool Automaton::to_child(Index& state, Index symbol) const noexcept {
  const Index next = slots_[state].base + symbol;
  if (symbol == 0 || slots_[next].check != state) return false;
  state = next;
  return true;
}

inline Automaton::Index Automaton::step(Index state, Index symbol) const noexcept {
  for (;;) {
    if (const Index next = slots_[state].base + symbol; slots_[next].check == state) return next;
    if (state == 0) return 0;
    state = slots_[state].fail;
  }
}

namespace {

// The code point that ends just before byte `pos` (> 0) of valid text.
char32_t code_point_before(std::string_view text, std::size_t pos) noexcept {
  std::size_t start = pos - 1;
  while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
  return utf8::next(text, start);
}

bool is_cjk(char32_t cp) noexcept {
  if (cp < 0x1100) return false;
  return (cp <= 0x11FF) ||                    // Hangul jamo
         (cp >= 0x3005 && cp <= 0x3007) ||    // 々 〆 〇
         (cp >= 0x3040 && cp <= 0x30FF) ||    // Hiragana, Katakana
         (cp >= 0x3130 && cp <= 0x318F) ||    // Hangul compatibility jamo
         (cp >= 0x31F0 && cp <= 0x31FF) ||    // Katakana extensions
         (cp >= 0x3400 && cp <= 0x4DBF) ||    // Han extension A
         (cp >= 0x4E00 && cp <= 0x9FFF) ||    // Han
         (cp >= 0xA960 && cp <= 0xA97F) ||    // Hangul jamo extended A
         (cp >= 0xAC00 && cp <= 0xD7FF) ||    // Hangul syllables, jamo extended B
         (cp >= 0xF900 && cp <= 0xFAFF) ||    // Han compatibility
         (cp >= 0xFF66 && cp <= 0xFFDC) ||    // half-width Katakana and Hangul
         (cp >= 0x1B000 && cp <= 0x1B16F) ||  // Kana supplement and extended
         (cp >= 0x20000 && cp <= 0x323AF);    // Han, supplementary planes
}

// Whether the occurrence in bytes [begin, end) of `text` cuts no word.
bool whole_word_at(std::string_view text, std::size_t begin, std::size_t end) noexcept {
  if (begin > 0) {
    std::size_t at = begin;
    if (is_word_character(utf8::next(text, at)) &&
        is_word_character(code_point_before(text, begin)))
      return false;
  }
  if (end < text.size()) {
    std::size_t at = end;
    if (is_word_character(utf8::next(text, at)) && is_word_character(code_point_before(text, end)))
      return false;
  }
  return true;
}

constexpr std::string_view kKindNames[] = {"overlapping", "leftmost-longest", "leftmost-first"};
constexpr std::pair<Fold, std::string_view> kFoldNames[] = {
    {kFoldCase, "case"}, {kFoldWidth, "width"}, {kFoldScript, "script"}};

}  // namespace

bool is_word_character(char32_t cp) noexcept {
  if (cp < 0x80) return (cp >= U'0' && cp <= U'9') || ((cp | 0x20) >= U'a' && (cp | 0x20) <= U'z');
  if (is_cjk(cp)) return false;
  switch (utf8proc_category(static_cast<utf8proc_int32_t>(cp))) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_ND:
    case UTF8PROC_CATEGORY_MN:
    case UTF8PROC_CATEGORY_MC:
    case UTF8PROC_CATEGORY_ME:
      return true;
    default:
      return false;
  }
}

std::uint8_t folds_of(std::string_view names, std::string_view parameter) {
  std::uint8_t folds = 0;
  if (names.empty()) return folds;
  for (std::size_t begin = 0;;) {
    std::size_t end = std::min(names.find(',', begin), names.size());
    const std::string_view name = names.substr(begin, end - begin);
    const auto* known = std::find_if(std::begin(kFoldNames), std::end(kFoldNames),
                                     [&](const auto& fold) { return fold.second == name; });
    if (known == std::end(kFoldNames))
      throw KvException(
          ErrorCodes::INVALID_PARAMETERS,
          kelvra::common::must_be_message(parameter, "case, width or script, separated by commas",
                                          "'" + std::string(names) + "'"));
    folds |= known->first;
    if (end == names.size()) return folds;
    begin = end + 1;
  }
}

std::string folds_name(std::uint8_t folds) {
  std::string names;
  for (const auto& [fold, name] : kFoldNames) {
    if (!(folds & fold)) continue;
    if (!names.empty()) names += ',';
    names += name;
  }
  return names;
}

std::string_view match_kind_name(MatchKind kind) noexcept {
  return kKindNames[static_cast<std::size_t>(kind)];
}

MatchKind match_kind_of(std::string_view name, std::string_view parameter) {
  for (std::size_t k = 0; k < std::size(kKindNames); ++k)
    if (name == kKindNames[k]) return static_cast<MatchKind>(k);
  throw KvException(
      ErrorCodes::INVALID_PARAMETERS,
      kelvra::common::must_be_message(parameter, "overlapping, leftmost-longest or leftmost-first",
                                      "'" + std::string(name) + "'"));
}

template <class Report>
void Automaton::scan(std::string_view text, const SearchOptions& options, Report&& report) const {
  if (options.kind == MatchKind::kLeftmostFirst && !ordered_)
    throw KvException(ErrorCodes::INVALID_PARAMETERS,
                      "leftmost-first needs the order of the dictionary, which an automaton "
                      "saved in format version 1 does not record: save it again from its "
                      "dictionary");
  utf8::require_valid(text, "text");
  if (size() == 0) return;
  if (folds_ != 0) {
    if (options.kind == MatchKind::kOverlapping)
      scan_folded_overlapping(text, options.whole_words, report);
    else
      scan_folded_leftmost(text, options, report);
  } else if (options.kind == MatchKind::kOverlapping) {
    scan_overlapping(text, options.whole_words, report);
  } else {
    scan_leftmost(text, options, report);
  }
}

template <class Report>
void Automaton::scan_overlapping(std::string_view text, bool whole_words, Report&& report) const {
  const Slot* slots = slots_.data();
  const Term* terms = terms_.data();
  Index state = 0;
  std::int64_t end = -1;  // code point index of the last one read
  for (std::size_t pos = 0; pos < text.size();) {
    Index symbol = symbol_of(utf8::next(text, pos));
    ++end;
    if (symbol == 0) {  // in no word: no state survives it
      state = 0;
      continue;
    }
    state = step(state, symbol);
    for (Index t = slots[state].report; t != 0; t = terms[t].next) {
      const Term& term = terms[t];
      if (!whole_words || whole_word_at(text, pos - term.bytes, pos))
        report(pos - term.bytes, pos, end - term.length + 1, std::int64_t{term.length}, t);
    }
  }
}

namespace {

// Where a code point of the folded text comes from: the first byte and the
// index of the code point of the searched text whose folding it begins;
// index -1 for the later code points of a folding, where no occurrence can
// begin.
struct FoldedOrigin {
  std::size_t begin_byte;
  std::int64_t index;
};

}  // namespace

// As scan_overlapping, on the folded text. The origins of the last
// `longest_` folded code points are kept in a ring, so that the start of an
// occurrence that ends here is known; occurrences that begin or end inside
// the folding of one code point are not reported. Code points that fold to
// one are looked up in one table (folded_symbols_); the others go through
// the folder.
template <class Report>
void Automaton::scan_folded_overlapping(std::string_view text, bool whole_words,
                                        Report&& report) const {
  const Folder& folder = Folder::of(folds_);
  const Slot* slots = slots_.data();
  const Term* terms = terms_.data();
  const Index* folded_symbols = folded_symbols_.data();
  const std::size_t ring_mask = std::bit_ceil(std::size_t{longest_} + 1) - 1;
  std::vector<FoldedOrigin> ring(ring_mask + 1);
  std::size_t unit = 0;  // folded code points read so far
  std::int64_t index = -1;
  Index state = 0;
  char32_t units[Folder::kMaxUnits];
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t begin = pos;
    const char32_t cp = utf8::next(text, pos);
    ++index;
    if (cp < kFirstAstral && folded_symbols[cp] != kFoldsToMore) {
      const Index symbol = folded_symbols[cp];
      ++unit;
      if (symbol == 0) {  // in no word: no state survives it, no occurrence starts here
        state = 0;
        continue;
      }
      ring[(unit - 1) & ring_mask] = FoldedOrigin{begin, index};
      state = step(state, symbol);
    } else {
      const std::size_t size = folder.fold(cp, units);
      for (std::size_t u = 0; u < size; ++u) {
        const Index symbol = symbol_of(units[u]);
        ++unit;
        if (symbol == 0) {
          state = 0;
          continue;
        }
        ring[(unit - 1) & ring_mask] = FoldedOrigin{begin, u == 0 ? index : -1};
        state = step(state, symbol);
      }
      if (state == 0) continue;
    }
    for (Index t = slots[state].report; t != 0; t = terms[t].next) {
      const FoldedOrigin& start = ring[(unit - terms[t].length) & ring_mask];
      if (start.index < 0 || (whole_words && !whole_word_at(text, start.begin_byte, pos))) continue;
      report(start.begin_byte, pos, start.index, index - start.index + 1, t);
    }
  }
}

// From each start, the trie is walked as far as the text follows it, and
// the best word found on the way wins; the next start is after its end, or
// the next code point when none was found. Walks are as long as the words
// of the dictionary that the text begins, a few code points in real text.
// follow(state, depth, cp) follows the edges of code point `cp` (of its
// folding) from `state`, counting them in `depth`; false where the trie
// does not go on.
template <class Report, class Follow>
void Automaton::walk_leftmost(std::string_view text, const SearchOptions& options, Report&& report,
                              Follow&& follow) const {
  const bool first_listed = options.kind == MatchKind::kLeftmostFirst;
  const Slot* slots = slots_.data();
  const Term* terms = terms_.data();
  const TermSource* sources = sources_.data();
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::int64_t start = 0;  // code point index of `pos`
  for (std::size_t pos = 0; pos < text.size();) {
    // Code points whose first byte begins no word's first code point are
    // passed over without a walk: in text of other scripts, most of them.
    if (!starting_bytes_[bytes[pos]]) {
      do {
        pos += utf8::sequence_size(bytes[pos]);
        ++start;
      } while (pos < text.size() && !starting_bytes_[bytes[pos]]);
      continue;
    }
    Index best = 0, depth = 0, state = 0;
    std::size_t best_end = 0;
    std::int64_t best_length = 0, length = 0;
    for (std::size_t at = pos; at < text.size();) {
      if (!follow(state, depth, utf8::next(text, at))) break;
      ++length;
      // The state's first report is its own word when as long as it.
      const Index t = slots[state].report;
      if (t == 0 || terms[t].length != depth) continue;
      if (best != 0 && first_listed && sources[t].first > sources[best].first) continue;
      if (options.whole_words && !whole_word_at(text, pos, at)) continue;
      best = t;
      best_end = at;
      best_length = length;
    }
    if (best == 0) {
      pos += utf8::sequence_size(bytes[pos]);
      ++start;
      continue;
    }
    report(pos, best_end, start, best_length, best);
    start += best_length;
    pos = best_end;
  }
}

template <class Report>
void Automaton::scan_leftmost(std::string_view text, const SearchOptions& options,
                              Report&& report) const {
  walk_leftmost(text, options, report, [&](Index& state, Index& depth, char32_t cp) {
    if (!to_child(state, symbol_of(cp))) return false;
    ++depth;
    return true;
  });
}

// On the folded text, a word counts where it ends with the last of a code
// point's folding: the walk follows whole foldings.
template <class Report>
void Automaton::scan_folded_leftmost(std::string_view text, const SearchOptions& options,
                                     Report&& report) const {
  const Folder& folder = Folder::of(folds_);
  const Index* folded_symbols = folded_symbols_.data();
  char32_t units[Folder::kMaxUnits];
  walk_leftmost(text, options, report, [&](Index& state, Index& depth, char32_t cp) {
    if (cp < kFirstAstral && folded_symbols[cp] != kFoldsToMore) {
      if (!to_child(state, folded_symbols[cp])) return false;
      ++depth;
      return true;
    }
    const std::size_t size = folder.fold(cp, units);
    for (std::size_t u = 0; u < size; ++u, ++depth)
      if (!to_child(state, symbol_of(units[u]))) return false;
    return true;
  });
}

std::vector<Word> Automaton::search(std::string_view text, const SearchOptions& options) const {
  std::vector<Word> found;
  search(text, found, options);
  return found;
}

void Automaton::search(std::string_view text, std::vector<Word>& found,
                       const SearchOptions& options) const {
  if (options.kind != MatchKind::kOverlapping || options.whole_words || folds_ != 0) {
    // Occurrences are far fewer than code points here; the default below
    // has the fast path.
    scan(text, options,
         [&](std::size_t begin_byte, std::size_t end_byte, std::int64_t offset, std::int64_t length,
             Index) {
           found.emplace_back(Word::Unchecked{}, text.substr(begin_byte, end_byte - begin_byte),
                              length, offset);
         });
    return;
  }
  utf8::require_valid(text, "text");
  if (size() == 0) return;
  // First the positions where words end (in chunks, never moved), with how
  // many end there: the result then grows once, to its exact size, and each
  // record is built once where it stays.
  struct Hit {
    std::size_t end_byte;  // just past the last code point
    Index report;
  };
  // Chunks double in size up to 4 M hits, so that a long text's hits
  // sit mostly in chunks large enough for huge pages: each search's hits
  // are fresh memory whenever the allocator maps big blocks anew, and on
  // 4 KiB pages their page faults cost as much as the search.
  const auto next_chunk_size = [](std::size_t size) {
    return size == 0 ? std::size_t{1} << 14 : std::min(2 * size, std::size_t{1} << 22);
  };
  std::vector<std::unique_ptr<Hit[]>> chunks;
  std::size_t chunk_size = 0, chunk_used = 0, hits = 0, total = 0;

  const Slot* slots = slots_.data();
  const Term* terms = terms_.data();
  Index state = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    Index symbol = symbol_of(utf8::next(text, pos));
    if (symbol == 0) {  // in no word: no state survives it
      state = 0;
      continue;
    }
    state = step(state, symbol);
    if (const Index report = slots[state].report; report != 0) {
      if (chunk_used == chunk_size) {
        chunk_size = next_chunk_size(chunk_size);
        chunks.push_back(std::make_unique_for_overwrite<Hit[]>(chunk_size));
        kelvra::common::advise_huge_pages(chunks.back().get(), chunk_size * sizeof(Hit));
        chunk_used = 0;
      }
      chunks.back()[chunk_used++] = Hit{pos, report};
      ++hits;
      total += terms[report].count;
    }
  }

  found.reserve(found.size() + total);
  kelvra::common::advise_huge_pages(found.data() + found.size(), total * sizeof(Word));
  // Code point positions: count the lead bytes between one hit and the next.
  std::size_t counted_to = 0;
  std::int64_t end = -1;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t chunk = 0, in_chunk = 0, size_of_chunk = next_chunk_size(0);
  for (std::size_t h = 0; h < hits; ++h, ++in_chunk) {
    if (in_chunk == size_of_chunk) {
      ++chunk;
      in_chunk = 0;
      size_of_chunk = next_chunk_size(size_of_chunk);
    }
    const Hit& hit = chunks[chunk][in_chunk];
    for (; counted_to < hit.end_byte; ++counted_to) end += (bytes[counted_to] & 0xC0) != 0x80;
    for (Index t = hit.report; t != 0; t = terms_[t].next) {
      const Term& term = terms_[t];
      found.emplace_back(Word::Unchecked{}, text.substr(hit.end_byte - term.bytes, term.bytes),
                         term.length, end - term.length + 1);
    }
  }
}

void Automaton::search(std::string_view text, Occurrences& found,
                       const SearchOptions& options) const {
  // Room for two occurrences per Chinese character (two per three bytes,
  // up to 16 M), reserved but not touched, and on huge pages: growing by
  // copies, or taking a fault for every 4 kB of fresh memory, cost more than
  // finding the occurrences. Past that room the arrays double, moved into
  // memory advised before the copy touches it.
  const auto grow = [](auto& array, std::size_t to) {
    if (array.capacity() >= to) return;
    std::remove_reference_t<decltype(array)> bigger;
    bigger.reserve(to);
    kelvra::common::advise_huge_pages(bigger.data(), to * sizeof(array[0]));
    bigger.insert(bigger.end(), array.begin(), array.end());
    array.swap(bigger);
  };
  const auto grow_all = [&](std::size_t to) {
    grow(found.offsets, to);
    grow(found.lengths, to);
    grow(found.ids, to);
  };
  grow_all(found.size() + std::min<std::size_t>(text.size() / 3 * 2, 1 << 24));
  scan(text, options,
       [&](std::size_t, std::size_t, std::int64_t offset, std::int64_t length, Index t) {
         if (found.ids.size() == found.ids.capacity()) grow_all(2 * found.ids.size() + 1024);
         found.offsets.push_back(offset);
         found.lengths.push_back(length);
         found.ids.push_back(static_cast<std::int32_t>(sources_[t].first));
       });
}

void Automaton::search(std::string_view text, const Visitor& visit,
                       const SearchOptions& options) const {
  scan(text, options,
       [&](std::size_t begin_byte, std::size_t end_byte, std::int64_t offset, std::int64_t length,
           Index) { visit(text.substr(begin_byte, end_byte - begin_byte), length, offset); });
}

// --- Saved automata ---

namespace {

// The format version in the header of a saved automaton; 0 when `header`
// is none.
std::uint32_t saved_version(std::string_view header) {
  std::uint32_t version = 0;
  if (header.size() >= 12 && header.substr(0, 8) == kSavedAutomaton.magic)
    std::memcpy(&version, header.data() + 8, sizeof version);
  return version;
}

std::string hex_code_point(char32_t cp) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "U+";
  for (int shift = cp > 0xFFFF ? 20 : 12; shift >= 0; shift -= 4) out += kHex[(cp >> shift) & 15];
  return out;
}

}  // namespace

ImageWriter Automaton::image_writer(std::span<const std::uint64_t> fields) const {
  ImageWriter writer(fields.size() == 2 ? kSavedAutomatonV2 : kSavedAutomaton);
  writer.add(fields);
  writer.add(bmp_symbols_);
  writer.add(astral_symbols_);
  writer.add(slots_);
  writer.add(terms_);
  writer.add(sources_);
  writer.add(dictionary_);
  return writer;
}

void Automaton::save(const std::string& path) const {
  const std::uint64_t fields[] = {alphabet_, ordered_, folds_};
  image_writer(std::span(fields, folds_ != 0 ? 3 : 2)).save(path);
}

std::string Automaton::to_bytes() const {
  const std::uint64_t fields[] = {alphabet_, ordered_, folds_};
  return image_writer(std::span(fields, folds_ != 0 ? 3 : 2)).bytes();
}

Automaton Automaton::load(const std::string& path) {
  // Mapping reads nothing yet; the reader checks the header first, against
  // the version the header names, so a foreign or outdated file is refused
  // before its pages are read.
  return Automaton(ImageBytes::map_file(path), path);
}

Automaton Automaton::from_bytes(std::string_view bytes) {
  return Automaton(ImageBytes::copy_of(bytes), std::string(kBytesSource));
}

Automaton::Automaton(ImageBytes bytes, const std::string& source) {
  const std::string_view view = bytes.view();
  const std::uint32_t version = saved_version(view);
  const bool first_version = version == kSavedAutomatonV1.version;
  const ImageReader image(view,
                          first_version                          ? kSavedAutomatonV1
                          : version == kSavedAutomatonV2.version ? kSavedAutomatonV2
                                                                 : kSavedAutomaton,
                          source);
  const auto fields = image.section<std::uint64_t>(0, "fields");
  const std::size_t field_count = first_version ? 1 : version == kSavedAutomatonV2.version ? 2 : 3;
  if (fields.size() != field_count)
    image.fail("fields: " + std::to_string(fields.size()) + " where there should be " +
               std::to_string(field_count));
  const auto bmp_symbols = image.section<Index>(1, "symbols");
  const auto astral_symbols = image.section<AstralSymbol>(2, "symbols beyond the basic plane");
  const auto slots = image.section<Slot>(3, "states");
  const auto terms = image.section<Term>(4, "words");
  std::vector<Index> term_state =
      check_tables(image, fields[0], bmp_symbols, astral_symbols, slots, terms);
  auto loaded = std::make_shared<Loaded>();
  if (first_version) {
    // No dictionary recorded: the distinct words stand for it, in the
    // order of their records.
    loaded->sources.resize(terms.size());
    loaded->dictionary.resize(terms.size() - 1);
    for (Index t = 1; t < terms.size(); ++t) {
      loaded->sources[t] = TermSource{t - 1, term_state[t]};
      loaded->dictionary[t - 1] = t;
    }
    sources_ = loaded->sources;
    dictionary_ = loaded->dictionary;
    ordered_ = false;
  } else {
    if (fields[1] > 1) image.fail("fields: an order flag of " + std::to_string(fields[1]));
    const auto sources = image.section<TermSource>(5, "word sources");
    const auto dictionary = image.section<Index>(6, "dictionary");
    check_sources(image, term_state, sources, dictionary);
    sources_ = sources;
    dictionary_ = dictionary;
    ordered_ = fields[1] == 1;
    if (field_count == 3) {
      if (fields[2] == 0 || fields[2] > kAllFolds)
        image.fail("fields: foldings of " + std::to_string(fields[2]));
      // Script folding loads OpenCC's table here, not in the first search.
      Folder::of(static_cast<std::uint8_t>(fields[2]));
      folds_ = static_cast<std::uint8_t>(fields[2]);
    }
  }
  for (const Term& term : terms) longest_ = std::max(longest_, term.length);
  alphabet_ = static_cast<Index>(fields[0]);
  bmp_symbols_ = bmp_symbols;
  astral_symbols_ = astral_symbols;
  slots_ = slots;
  terms_ = terms;
  index_code_points();
  index_folded_symbols();
  // The views stay valid: moving the bytes hands over the same memory.
  mapped_ = bytes.mapped();
  loaded->bytes = std::move(bytes);
  storage_ = std::move(loaded);
}

void Automaton::check_sources(const ImageReader& image, std::span<const Index> term_state,
                              std::span<const TermSource> sources,
                              std::span<const Index> dictionary) {
  const std::size_t m = term_state.size();
  if (sources.size() != m)
    image.fail(std::to_string(sources.size()) + " word sources for " + std::to_string(m) +
               " word records");
  if (dictionary.size() > INT32_MAX || dictionary.size() < m - 1)
    image.fail("a dictionary of " + std::to_string(dictionary.size()) + " words for " +
               std::to_string(m - 1) + " distinct ones");
  if (sources[0].first != 0 || sources[0].state != 0) image.fail("word source 0 is not empty");
  // Each word's id is where the dictionary lists it first.
  std::vector<bool> seen(m, false);
  for (std::size_t i = 0; i < dictionary.size(); ++i) {
    const Index t = dictionary[i];
    if (t >= m) image.fail("dictionary word " + std::to_string(i) + ": a word record out of range");
    if (t == 0 || seen[t]) continue;
    seen[t] = true;
    if (sources[t].first != i)
      image.fail("word record " + std::to_string(t) + ": an id that is not its first listing");
  }
  for (std::size_t t = 1; t < m; ++t) {
    if (!seen[t]) image.fail("word record " + std::to_string(t) + " is in no dictionary word");
    if (sources[t].state != term_state[t])
      image.fail("word record " + std::to_string(t) + ": a state it does not end in");
  }
}

std::vector<Automaton::Index> Automaton::check_tables(const ImageReader& image,
                                                      std::uint64_t alphabet,
                                                      std::span<const Index> bmp_symbols,
                                                      std::span<const AstralSymbol> astral_symbols,
                                                      std::span<const Slot> slots,
                                                      std::span<const Term> terms) {
  // The alphabet: each symbol 1..alphabet stands for exactly one character,
  // whose UTF-8 size it records (so that word sizes can be checked below).
  if (alphabet > 0x110000) image.fail("an alphabet of " + std::to_string(alphabet) + " symbols");
  if (bmp_symbols.size() > kFirstAstral)
    image.fail("symbols for code points beyond U+FFFF in the basic plane's table");
  std::vector<std::uint8_t> symbol_bytes(alphabet + 1, 0);
  auto assign = [&](char32_t cp, Index symbol) {
    if (symbol > alphabet)
      image.fail(hex_code_point(cp) + " has symbol " + std::to_string(symbol) +
                 ", outside the alphabet");
    if (symbol_bytes[symbol] != 0)
      image.fail("symbol " + std::to_string(symbol) + " stands for two code points");
    if (cp >= 0xD800 && cp < 0xE000)
      image.fail("a symbol for " + hex_code_point(cp) + ", which is no character");
    symbol_bytes[symbol] = static_cast<std::uint8_t>(utf8::encoded_size(cp));
  };
  for (char32_t cp = 0; cp < bmp_symbols.size(); ++cp)
    if (bmp_symbols[cp] != 0) assign(cp, bmp_symbols[cp]);
  for (std::size_t i = 0; i < astral_symbols.size(); ++i) {
    const auto [cp, symbol] = astral_symbols[i];
    if (cp < kFirstAstral || cp > 0x10FFFF || (i > 0 && cp <= astral_symbols[i - 1].code_point))
      image.fail("symbols beyond the basic plane are not in order of code point");
    if (symbol == 0) image.fail(hex_code_point(cp) + " has symbol 0");
    assign(cp, symbol);
  }
  for (std::size_t symbol = 1; symbol <= alphabet; ++symbol)
    if (symbol_bytes[symbol] == 0)
      image.fail("symbol " + std::to_string(symbol) + " stands for no code point");

  // The slots: indices in range, and every state reached from the root
  // along its parents (its checks), each edge under a symbol of the
  // alphabet. What the next pass needs of each state's parent is copied
  // out, so that it reads it in order rather than all over the slots.
  const std::size_t n = slots.size(), m = terms.size();
  if (n == 0 || n >= kFree) image.fail(std::to_string(n) + " states");
  if (m == 0 || m > n)
    image.fail(std::to_string(m) + " word records for " + std::to_string(n) + " states");
  if (terms[0].bytes != 0 || terms[0].length != 0 || terms[0].next != 0 || terms[0].count != 0)
    image.fail("word record 0 is not empty");
  if (slots[0].check != 0 || slots[0].fail != 0 || slots[0].report != 0)
    image.fail("the root is not a root");
  auto bad_slot = [&](std::size_t s, const std::string& what) {
    image.fail("state " + std::to_string(s) + ": " + what);
  };
  constexpr Index kUnknown = UINT32_MAX, kVisiting = UINT32_MAX - 1;
  struct State {
    Index depth = kUnknown;  // in code points
    Index bytes = 0;         // depth in bytes
    Index symbol = 0;        // on the edge from the parent
    Index parent_fail = 0;
  };
  std::vector<State> states(n);
  states[0].depth = 0;
  std::vector<Index> path;
  // How far ahead of the loop to fetch what it will read all over memory.
  constexpr std::size_t kAhead = 16;
  for (std::size_t s = 0; s < n; ++s) {
    if (s + kAhead < n && slots[s + kAhead].check < n) {
      __builtin_prefetch(&slots[slots[s + kAhead].check]);
      __builtin_prefetch(&states[slots[s + kAhead].check]);
    }
    const Slot& slot = slots[s];
    if (slot.check == kFree) {
      if (slot.base != 0 || slot.fail != 0 || slot.report != 0)
        bad_slot(s, "a free slot that is not empty");
      continue;
    }
    if (slot.check >= n || slot.fail >= n || slot.report >= m ||
        std::uint64_t{slot.base} + alphabet >= n)
      bad_slot(s, "an index out of range");
    if (states[s].depth != kUnknown) continue;
    // Up the parents to one whose depth is known; a chain that comes back
    // to itself never reaches the root.
    for (Index t = static_cast<Index>(s);;) {
      if (states[t].depth == kVisiting) bad_slot(t, "its parents form a cycle");
      if (states[t].depth != kUnknown) break;
      states[t].depth = kVisiting;
      path.push_back(t);
      const Index parent = slots[t].check;
      if (parent >= n || parent == t || slots[parent].check == kFree)
        bad_slot(t, "its parent is not a state");
      t = parent;
    }
    // Down again, each state's edge checked and its depth set.
    for (; !path.empty(); path.pop_back()) {
      const Index t = path.back();
      const Slot& parent_slot = slots[slots[t].check];
      if (t <= parent_slot.base || t - parent_slot.base > alphabet)
        bad_slot(t, "no symbol leads to it from its parent");
      State& state = states[t];
      const State& parent = states[slots[t].check];
      state.symbol = t - parent_slot.base;
      state.parent_fail = parent_slot.fail;
      const std::uint64_t bytes = std::uint64_t{parent.bytes} + symbol_bytes[state.symbol];
      if (bytes >= kFree) bad_slot(t, "deeper than any word can be");
      state.depth = parent.depth + 1;
      state.bytes = static_cast<Index>(bytes);
    }
  }

  // Links: each failure link is what building computes from the parent's
  // (the longest proper suffix that is a state), which by induction over
  // the depth makes every link lead to a shorter state, so every scan
  // ends; each report is the state's own word, whose record matches the
  // state, or else its link's report.
  std::vector<bool> owned(m, false);
  std::vector<Index> term_state(m, 0);
  std::size_t owned_count = 0;
  for (std::size_t s = 1; s < n; ++s) {
    if (s + 2 * kAhead < n && slots[s + 2 * kAhead].check != kFree)
      __builtin_prefetch(&slots[states[s + 2 * kAhead].parent_fail]);
    if (s + kAhead < n && slots[s + kAhead].check != kFree) {
      const State& ahead = states[s + kAhead];
      __builtin_prefetch(
          &slots[std::min<std::size_t>(slots[ahead.parent_fail].base + ahead.symbol, n - 1)]);
    }
    if (s + kAhead < n) __builtin_prefetch(&terms[slots[s + kAhead].report]);
    if (s + kAhead / 2 < n) __builtin_prefetch(&terms[slots[slots[s + kAhead / 2].fail].report]);
    const Slot& slot = slots[s];
    if (slot.check == kFree) continue;
    const State& state = states[s];
    Index expected = 0;
    if (slot.check != 0) {
      // step(), with a bound: the links it follows may not be checked yet.
      Index at = state.parent_fail;
      for (Index walked = 0;; ++walked, at = slots[at].fail) {
        if (walked >= state.depth) bad_slot(slot.check, "failure links that do not shorten");
        if (const Index next = slots[at].base + state.symbol; slots[next].check == at) {
          expected = next;
          break;
        }
        if (at == 0) break;
      }
    }
    if (slot.fail != expected) bad_slot(s, "a failure link that building would not make");
    const Index report = slot.report, inherited = slots[slot.fail].report;
    if (report == inherited) continue;
    const Term& term = terms[report];
    if (report == 0 || owned[report] || term.next != inherited || term.length != state.depth ||
        term.bytes != state.bytes || term.count != terms[inherited].count + 1)
      bad_slot(s, "a word record that does not match it");
    owned[report] = true;
    term_state[report] = static_cast<Index>(s);
    ++owned_count;
  }
  if (owned_count != m - 1) image.fail("word records that no state ends with");
  return term_state;
}

std::size_t Automaton::memory_bytes() const noexcept {
  return bmp_symbols_.size_bytes() + astral_symbols_.size_bytes() + slots_.size_bytes() +
         terms_.size_bytes() + sources_.size_bytes() + dictionary_.size_bytes() +
         code_points_.size() * sizeof(char32_t) + folded_symbols_.size() * sizeof(Index);
}

}  // namespace kelvra::nlp::common::matcher
