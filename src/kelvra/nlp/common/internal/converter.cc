#include "kelvra/nlp/common/internal/converter.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <exception>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <opencc/Config.hpp>
#include <opencc/Conversion.hpp>
#include <opencc/ConversionChain.hpp>
#include <opencc/Converter.hpp>
#include <opencc/Dict.hpp>
#include <opencc/DictEntry.hpp>
#include <opencc/DictGroup.hpp>
#include <opencc/Exception.hpp>
#include <opencc/Lexicon.hpp>
#include <opencc/MaxMatchSegmentation.hpp>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/internal/convert_stretches.h"

namespace kelvra::nlp::common::internal {

namespace utf8 = kelvra::common::utf8;
using kelvra::common::ErrorCodes;
using kelvra::common::FileError;
using kelvra::common::KvException;

namespace {

// Hashing that lets a set of strings be searched with a string_view.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

// What phrase entries make of a code point.
enum PhraseRole : std::uint8_t {
  kInPhrase = 1,      // some phrase entry holds it
  kStartsPhrase = 2,  // some phrase entry starts with it
};

// Calls `visit(entry)` for each entry of `dict`, and of each dictionary of
// a group, without merging a group's lexicons into a new one.
template <typename Visit>
void for_each_entry(const opencc::DictPtr& dict, Visit&& visit) {
  if (const auto group = std::dynamic_pointer_cast<opencc::DictGroup>(dict)) {
    for (const opencc::DictPtr& member : group->GetDicts()) for_each_entry(member, visit);
    return;
  }
  const opencc::LexiconPtr lexicon = dict->GetLexicon();
  for (const auto& entry : *lexicon) visit(*entry);
}

}  // namespace

struct Converter::Impl {
  explicit Impl(const std::string& config) {
    try {
      opencc::Config reader;
      opencc = reader.NewFromFile(config);
    } catch (const opencc::Exception& e) {
      throw FileError(config, std::string("cannot build the OpenCC converter: ") + e.what());
    } catch (const std::exception& e) {
      // OpenCC reports some broken configurations with std::runtime_error.
      throw FileError(config, std::string("cannot build the OpenCC converter: ") + e.what());
    }
    try {
      read_dictionaries();
    } catch (const opencc::Exception& e) {
      throw FileError(config, std::string("cannot read the OpenCC dictionaries: ") + e.what());
    } catch (const std::exception& e) {
      throw FileError(config, std::string("cannot read the OpenCC dictionaries: ") + e.what());
    }
    // Unresolved code points are converted together, joined by line feeds,
    // which needs line feeds outside every phrase and kept as they are.
    fast = fast && !in_phrase(U'\n') && whole("\n") == "\n";
    if (!fast) return;
    table[U'\n'] = kItself;
    table[0] = kItself;  // never converted: OpenCC would stop at it
  }

  // Reads the phrase entries (the keys of more than one code point of the
  // segmentation and conversion dictionaries) and marks the code points
  // that the conversion dictionary holds alone as unresolved: every other
  // code point converts to itself. Leaves `fast` false for configurations
  // whose cut or chain the table cannot follow.
  void read_dictionaries() {
    const auto segmentation =
        std::dynamic_pointer_cast<opencc::MaxMatchSegmentation>(opencc->GetSegmentation());
    const auto conversions = opencc->GetConversionChain()->GetConversions();
    // With a second conversion, the first one's output of two code points
    // converted alone could still form a phrase of the second.
    if (!segmentation || conversions.size() != 1) return;
    // Keys that are not UTF-8 could match inside a code point's bytes, which
    // the table cannot follow.
    bool readable = true;
    // True for a phrase entry, false for one of one code point (or none).
    const auto read_phrase = [&](const std::string& key) {
      if (!utf8::is_valid(key)) readable = false;
      if (!readable || utf8::length(key) < 2) return false;
      std::size_t pos = 0;
      const char32_t first = utf8::next(key, pos);
      mark(first, kStartsPhrase);
      for (pos = 0; pos < key.size();) mark(utf8::next(key, pos), kInPhrase);
      if (key.size() < 64)
        starter_lengths[first] |= std::uint64_t{1} << key.size();
      else
        long_lengths.insert(key.size());
      phrases.insert(key);
      return true;
    };
    for_each_entry(segmentation->GetDict(),
                   [&](const opencc::DictEntry& entry) { read_phrase(entry.Key()); });
    for_each_entry(conversions.front()->GetDict(), [&](const opencc::DictEntry& entry) {
      const std::string key = entry.Key();
      if (read_phrase(key) || key.empty() || !readable) return;
      std::size_t pos = 0;
      const char32_t cp = utf8::next(key, pos);
      if (cp < kTableSpan)
        table[cp] = kUnresolved;
      else
        astral_keys.push_back(cp);
    });
    std::sort(astral_keys.begin(), astral_keys.end());
    astral_keys.erase(std::unique(astral_keys.begin(), astral_keys.end()), astral_keys.end());
    astral_values.reset(new std::atomic<char32_t>[astral_keys.size()]);
    for (std::size_t i = 0; i < astral_keys.size(); ++i) astral_values[i] = kUnresolved;
    fast = readable;
  }

  void mark(char32_t cp, PhraseRole role) {
    if (cp < kTableSpan)
      roles[cp] |= role;
    else
      astral_roles[cp] |= role;
  }

  std::uint8_t role(char32_t cp) const {
    if (cp < kTableSpan) return roles[cp];
    if (astral_roles.empty()) return 0;
    const auto it = astral_roles.find(cp);
    return it == astral_roles.end() ? 0 : it->second;
  }

  bool in_phrase(char32_t cp) const { return role(cp) & kInPhrase; }

  // OpenCC's own conversion of `text`, NULs kept in place.
  std::string whole(std::string_view text) const {
    std::string out;
    try {
      out = convert_stretches(
          text, [this](std::string_view stretch) { return opencc->Convert(std::string(stretch)); });
    } catch (const opencc::Exception& e) {
      throw KvException(ErrorCodes::INTERNAL_ERROR,
                        std::string("OpenCC conversion failed: ") + e.what());
    }
    // Callers walk the result trusting it to be well-formed.
    if (!utf8::is_valid(out))
      throw KvException(ErrorCodes::INTERNAL_ERROR, "OpenCC returned text that is not valid UTF-8");
    return out;
  }

  // True when a phrase entry starts at byte `at` of `text`, where code
  // point `first` starts. Only the lengths of the phrases that start with
  // `first` are looked up.
  bool phrase_at(std::string_view text, std::size_t at, char32_t first) const {
    const std::size_t room = text.size() - at;
    if (const auto it = starter_lengths.find(first); it != starter_lengths.end()) {
      for (std::uint64_t lengths = it->second; lengths != 0; lengths &= lengths - 1) {
        const auto length = static_cast<std::size_t>(std::countr_zero(lengths));
        if (length > room) break;  // the lengths come shortest first
        if (phrases.count(text.substr(at, length))) return true;
      }
    }
    for (std::size_t length : long_lengths) {
      if (length > room) break;
      if (phrases.count(text.substr(at, length))) return true;
    }
    return false;
  }

  // The table's slot for `cp`; null for a code point beyond 16 bits that
  // the dictionary does not hold, which converts to itself.
  std::atomic<char32_t>* slot(char32_t cp) const {
    if (cp < kTableSpan) return &table[cp];
    const auto it = std::lower_bound(astral_keys.begin(), astral_keys.end(), cp);
    if (it == astral_keys.end() || *it != cp) return nullptr;
    return &astral_values[static_cast<std::size_t>(it - astral_keys.begin())];
  }

  // What the table says of `cp`: its conversion, kItself, kNotOne,
  // kUnresolved or kPending.
  char32_t lookup(char32_t cp) const {
    const std::atomic<char32_t>* value = slot(cp);
    return value == nullptr ? kItself : value->load(std::memory_order_relaxed);
  }

  // The table's value for a code point whose conversion alone is `converted`.
  static char32_t table_value(char32_t cp, std::string_view converted) {
    if (converted.empty()) return kNotOne;
    std::size_t at = 0;
    const char32_t only = utf8::next(converted, at);
    if (at != converted.size()) return kNotOne;
    return only == cp ? kItself : only;
  }

  // Converts `missing` (code points, none of them a line feed or NUL), all
  // in one conversion, and hands each code point with its table value to
  // `store`.
  template <typename Store>
  void resolve(const std::vector<char32_t>& missing, Store&& store) const {
    if (missing.empty()) return;
    std::string joined;
    for (char32_t cp : missing) {
      utf8::append(joined, cp);
      joined += '\n';
    }
    const std::string converted = whole(joined);
    std::size_t pos = 0;
    for (std::size_t i = 0; i < missing.size(); ++i) {
      const std::size_t end = converted.find('\n', pos);
      if (end == std::string::npos) {
        // The converter joined or dropped lines: ask code point by code point.
        for (; i < missing.size(); ++i) {
          std::string one;
          utf8::append(one, missing[i]);
          store(missing[i], table_value(missing[i], whole(one)));
        }
        return;
      }
      store(missing[i],
            table_value(missing[i], std::string_view(converted).substr(pos, end - pos)));
      pos = end + 1;
    }
  }

  // Resolves the unresolved code points of `text` at once. A code point
  // that another thread is resolving meanwhile is converted alone.
  void fill_table(std::string_view text) const {
    std::vector<char32_t> missing;
    for (std::size_t pos = 0; pos < text.size();) {
      const char32_t cp = utf8::next(text, pos);
      std::atomic<char32_t>* value = slot(cp);
      // Marked while being resolved, so that one thread asks for each.
      char32_t expected = kUnresolved;
      if (value != nullptr &&
          value->compare_exchange_strong(expected, kPending, std::memory_order_relaxed))
        missing.push_back(cp);
    }
    try {
      resolve(missing, [this](char32_t cp, char32_t value) {
        slot(cp)->store(value, std::memory_order_relaxed);
      });
    } catch (...) {
      for (char32_t cp : missing) {
        char32_t expected = kPending;
        slot(cp)->compare_exchange_strong(expected, kUnresolved, std::memory_order_relaxed);
      }
      throw;
    }
  }

  // What the table says of code point `cp`, which starts at byte `at` of
  // `text`: its conversion, kItself, or kNotOne or kPending when OpenCC must
  // convert it. The first code point that the table has not resolved has
  // the table filled for the rest of the text at once.
  char32_t table_conversion(std::string_view text, std::size_t at, char32_t cp) const {
    char32_t converted = lookup(cp);
    if (converted == kUnresolved) {
      fill_table(text.substr(at));
      converted = lookup(cp);
    }
    return converted;
  }

  std::string convert(std::string_view text) const {
    if (!fast) return whole(text);
    std::string out;
    out.reserve(text.size());
    // Code points that convert to themselves are copied a stretch at a
    // time: those from byte `kept` of `text` on are not in `out` yet.
    std::size_t kept = 0;
    const auto flush = [&](std::size_t at) {
      out.append(text.data() + kept, at - kept);
      kept = at;
    };
    // Bytes of `text` and of the output where the current run of characters
    // that phrase entries use began.
    std::size_t run_start = 0, run_out = 0;
    for (std::size_t pos = 0; pos < text.size();) {
      const std::size_t at = pos;
      const char32_t cp = utf8::next(text, pos);
      const std::uint8_t roles_of_cp = role(cp);
      if ((roles_of_cp & kStartsPhrase) && phrase_at(text, at, cp)) {
        // The run holds a phrase: OpenCC converts all of it, in place of
        // what the table made of its start.
        std::size_t end = pos;
        while (end < text.size()) {
          std::size_t next = end;
          if (!in_phrase(utf8::next(text, next))) break;
          end = next;
        }
        flush(at);
        out.resize(run_out);
        out += whole(text.substr(run_start, end - run_start));
        pos = kept = end;
        run_start = pos;
        run_out = out.size();
        continue;
      }
      if (const char32_t converted = table_conversion(text, at, cp); converted != kItself) {
        flush(at);
        if (converted >= kPending)  // not one code point, or another thread is resolving it
          out += whole(text.substr(at, pos - at));
        else
          utf8::append(out, converted);
        kept = pos;
      }
      if (!(roles_of_cp & kInPhrase)) {
        run_start = pos;
        run_out = out.size() + (pos - kept);
      }
    }
    flush(text.size());
    return out;
  }

  static constexpr char32_t kTableSpan = 0x10000;
  // Table values beside conversions (which are below 0x110000).
  static constexpr char32_t kItself = 0;               // converts to itself (NUL does too)
  static constexpr char32_t kPending = 0xFFFFFFFD;     // being resolved by another thread
  static constexpr char32_t kUnresolved = 0xFFFFFFFE;  // held by the dictionary, not converted yet
  static constexpr char32_t kNotOne = 0xFFFFFFFF;      // converts to other than one code point

  opencc::ConverterPtr opencc;
  bool fast = false;
  std::vector<std::uint8_t> roles = std::vector<std::uint8_t>(kTableSpan);
  std::unordered_map<char32_t, std::uint8_t> astral_roles;
  // Byte lengths of the phrase entries: below 64 as a bit set for each
  // first code point, the longer ones (rare) for all.
  std::unordered_map<char32_t, std::uint64_t> starter_lengths;
  std::set<std::size_t> long_lengths;
  std::unordered_set<std::string, TextHash, std::equal_to<>> phrases;
  // Table values of the code points below kTableSpan, and of those beyond
  // that the dictionary holds (`astral_keys`, sorted), resolved as they are
  // met.
  std::unique_ptr<std::atomic<char32_t>[]> table { new std::atomic<char32_t>[ kTableSpan ]() };
  std::vector<char32_t> astral_keys;
  std::unique_ptr<std::atomic<char32_t>[]> astral_values;
};

Converter::Converter(const std::string& config) : impl_(std::make_unique<Impl>(config)) {}
Converter::~Converter() = default;
Converter::Converter(Converter&&) noexcept = default;
Converter& Converter::operator=(Converter&&) noexcept = default;

std::string Converter::convert(std::string_view text) const { return impl_->convert(text); }

std::vector<std::pair<char32_t, char32_t>> Converter::single_conversions() const {
  std::vector<std::pair<char32_t, char32_t>> found;
  if (!impl_->fast) return found;
  std::vector<char32_t> held;
  for (char32_t cp = 0; cp < Impl::kTableSpan; ++cp)
    if (impl_->table[cp].load(std::memory_order_relaxed) != Impl::kItself) held.push_back(cp);
  held.insert(held.end(), impl_->astral_keys.begin(), impl_->astral_keys.end());
  std::erase_if(held, [](char32_t cp) { return cp == U'\n' || cp == 0; });
  impl_->resolve(held, [&](char32_t cp, char32_t value) {
    if (value != Impl::kItself && value < Impl::kPending) found.emplace_back(cp, value);
  });
  return found;
}

}  // namespace kelvra::nlp::common::internal
