#include "kelvra/nlp/common/internal/converter.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <opencc/Config.hpp>
#include <opencc/Conversion.hpp>
#include <opencc/ConversionChain.hpp>
#include <opencc/Converter.hpp>
#include <opencc/Dict.hpp>
#include <opencc/DictEntry.hpp>
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

}  // namespace

struct Converter::Impl {
  explicit Impl(const std::string& config) : config(config) {
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
      read_phrases();
    } catch (const opencc::Exception& e) {
      throw FileError(config, std::string("cannot read the OpenCC dictionaries: ") + e.what());
    }
    // The table is filled through conversions of code points joined by line
    // feeds, which needs line feeds outside every phrase and kept as they are.
    fast = fast && !in_phrase(U'\n') && whole("\n") == "\n";
  }

  // The phrase entries: the keys of more than one code point of the
  // segmentation dictionary and of the conversion dictionary. Leaves `fast`
  // false for configurations whose cut or chain the table cannot follow.
  void read_phrases() {
    const auto segmentation = std::dynamic_pointer_cast<opencc::MaxMatchSegmentation>(opencc->GetSegmentation());
    const auto conversions = opencc->GetConversionChain()->GetConversions();
    // With a second conversion, the first one's output of two code points
    // converted alone could still form a phrase of the second.
    if (!segmentation || conversions.size() != 1) return;
    for (const opencc::DictPtr& dict : {segmentation->GetDict(), conversions.front()->GetDict()}) {
      // A group of dictionaries makes its lexicon anew: keep it while walking it.
      const opencc::LexiconPtr lexicon = dict->GetLexicon();
      for (const auto& entry : *lexicon) {
        const std::string key = entry->Key();
        if (!utf8::is_valid(key) || utf8::length(key) < 2) continue;
        std::size_t pos = 0;
        mark(utf8::next(key, pos), kStartsPhrase);
        for (pos = 0; pos < key.size();) mark(utf8::next(key, pos), kInPhrase);
        phrase_lengths.insert(key.size());
        phrases.insert(key);
      }
    }
    fast = true;
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
      out = convert_stretches(text, [this](std::string_view stretch) {
        return opencc->Convert(std::string(stretch));
      });
    } catch (const opencc::Exception& e) {
      throw KvException(ErrorCodes::INTERNAL_ERROR, std::string("OpenCC conversion failed: ") + e.what());
    }
    // Callers walk the result trusting it to be well-formed.
    if (!utf8::is_valid(out))
      throw KvException(ErrorCodes::INTERNAL_ERROR, "OpenCC returned text that is not valid UTF-8");
    return out;
  }

  bool phrase_at(std::string_view text, std::size_t at) const {
    for (std::size_t length : phrase_lengths)
      if (at + length <= text.size() && phrases.count(text.substr(at, length))) return true;
    return false;
  }

  char32_t lookup(char32_t cp) const {
    if (cp < kTableSpan) return table[cp].load(std::memory_order_acquire);
    std::shared_lock lock(mutex);
    return lookup_astral(cp);
  }

  char32_t lookup_astral(char32_t cp) const {
    const auto it = astral.find(cp);
    return it == astral.end() ? kUnknown : it->second;
  }

  void store(char32_t cp, char32_t converted) const {
    if (cp < kTableSpan)
      table[cp].store(converted, std::memory_order_release);
    else
      astral[cp] = converted;  // under the unique lock of fill_table
  }

  // The single code point that `converted` holds, else kNotOne.
  static char32_t only_code_point(std::string_view converted) {
    if (converted.empty()) return kNotOne;
    std::size_t at = 0;
    const char32_t cp = utf8::next(converted, at);
    return at == converted.size() ? cp : kNotOne;
  }

  // Looks up the code points of `text` that the table lacks, all in one
  // conversion.
  void fill_table(std::string_view text) const {
    std::vector<char32_t> missing;
    std::vector<bool> seen(kTableSpan);
    std::unordered_set<char32_t> seen_astral;
    for (std::size_t pos = 0; pos < text.size();) {
      const char32_t cp = utf8::next(text, pos);
      if (cp == U'\n' || cp == 0) continue;
      if (cp < kTableSpan ? seen[cp] : seen_astral.count(cp) > 0) continue;
      if (cp < kTableSpan)
        seen[cp] = true;
      else
        seen_astral.insert(cp);
      if (lookup(cp) == kUnknown) missing.push_back(cp);
    }
    if (missing.empty()) return;
    std::string joined;
    for (char32_t cp : missing) {
      utf8::append(joined, cp);
      joined += '\n';
    }
    const std::string converted = whole(joined);
    std::unique_lock lock(mutex);
    std::size_t pos = 0;
    for (char32_t cp : missing) {
      const std::size_t end = converted.find('\n', pos);
      if (end == std::string::npos) {
        // The converter joined or dropped lines: ask code point by code point.
        for (char32_t rest : missing)
          if ((rest < kTableSpan ? table[rest].load() : lookup_astral(rest)) == kUnknown)
            store(rest, convert_alone(rest));
        return;
      }
      store(cp, only_code_point(std::string_view(converted).substr(pos, end - pos)));
      pos = end + 1;
    }
  }

  char32_t convert_alone(char32_t cp) const {
    std::string one;
    utf8::append(one, cp);
    return only_code_point(whole(one));
  }

  // The conversion of one code point of `text`, which starts at byte `at`
  // and ends before `pos`, appended to `out`. The first code point that the
  // table lacks has the table filled for the rest of the text at once.
  void append_converted(std::string_view text, std::size_t at, std::size_t pos, char32_t cp,
                        std::string& out) const {
    if (cp == 0) {  // OpenCC cannot carry it; it stays in its place
      out.push_back('\0');
      return;
    }
    char32_t converted = lookup(cp);
    if (converted == kUnknown) {
      fill_table(text.substr(at));
      converted = lookup(cp);
    }
    if (converted == cp)
      out.append(text.data() + at, pos - at);
    else if (converted == kNotOne || converted == kUnknown)
      out += whole(text.substr(at, pos - at));
    else
      utf8::append(out, converted);
  }

  std::string convert(std::string_view text) const {
    if (!fast) return whole(text);
    std::string out;
    out.reserve(text.size());
    // Bytes of `text` and of `out` where the current run of characters that
    // phrase entries use began.
    std::size_t run_start = 0, run_out = 0;
    for (std::size_t pos = 0; pos < text.size();) {
      const std::size_t at = pos;
      const char32_t cp = utf8::next(text, pos);
      const std::uint8_t roles_of_cp = role(cp);
      if ((roles_of_cp & kStartsPhrase) && phrase_at(text, at)) {
        // The run holds a phrase: OpenCC converts all of it, in place of
        // what the table made of its start.
        std::size_t end = pos;
        while (end < text.size()) {
          std::size_t next = end;
          if (!in_phrase(utf8::next(text, next))) break;
          end = next;
        }
        out.resize(run_out);
        out += whole(text.substr(run_start, end - run_start));
        pos = end;
        run_start = pos;
        run_out = out.size();
        continue;
      }
      append_converted(text, at, pos, cp, out);
      if (!(roles_of_cp & kInPhrase)) {
        run_start = pos;
        run_out = out.size();
      }
    }
    return out;
  }

  static constexpr char32_t kTableSpan = 0x10000;
  static constexpr char32_t kUnknown = 0;          // table entry not filled yet (NUL is never looked up)
  static constexpr char32_t kNotOne = 0xFFFFFFFF;  // converts to other than one code point

  std::string config;
  opencc::ConverterPtr opencc;
  bool fast = false;
  std::vector<std::uint8_t> roles = std::vector<std::uint8_t>(kTableSpan);
  std::unordered_map<char32_t, std::uint8_t> astral_roles;
  std::set<std::size_t> phrase_lengths;  // in bytes
  std::unordered_set<std::string, TextHash, std::equal_to<>> phrases;
  // Conversions of code points below kTableSpan; the others in `astral`.
  std::unique_ptr<std::atomic<char32_t>[]> table{new std::atomic<char32_t>[kTableSpan]()};
  mutable std::shared_mutex mutex;  // guards astral and serialises filling
  mutable std::unordered_map<char32_t, char32_t> astral;
};

Converter::Converter(const std::string& config) : impl_(std::make_unique<Impl>(config)) {}
Converter::~Converter() = default;
Converter::Converter(Converter&&) noexcept = default;
Converter& Converter::operator=(Converter&&) noexcept = default;

std::string Converter::convert(std::string_view text) const { return impl_->convert(text); }

}  // namespace kelvra::nlp::common::internal
