#include "kelvra/nlp/common/lang/cantonese.h"

#include <dlfcn.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <algorithm>
#include <atomic>
#include <set>
#include <shared_mutex>
#include <unordered_set>
#include <utility>
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
#include <opencc/SimpleConverter.hpp>
#include <spdlog/pattern_formatter.h>
#include <spdlog/spdlog.h>
#include <utf8proc.h>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/utf8.h"
#include "kelvra/common/utils.h"
#include "kelvra/nlp/common/internal/convert_stretches.h"
#include "kelvra/nlp/common/lang/cantoseg.h"

namespace kelvra::nlp::common::lang::cantonese {

namespace utf8 = kelvra::common::utf8;
using kelvra::common::ErrorCodes;
using kelvra::common::FileError;
using kelvra::common::KvException;

namespace {

constexpr const char* kLoggerName = "kelvra.nlp.common.lang.cantonese";
constexpr const char* kConfig = "t2s";
constexpr const char* kDictName = "c2m.tsv";
constexpr const char* kWordsName = "mandarin_words.txt";
// Where the installed data lies, relative to the installed library's folder
// (set by the build from the install directories).
#ifndef KELVRA_DATA_FROM_LIBDIR
#define KELVRA_DATA_FROM_LIBDIR "../share/kelvra-nlp"
#endif

// The level name in capitals, as LOG_FORMAT's levelname prints it.
class UpperLevelFlag : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg& msg, const std::tm&,
              spdlog::memory_buf_t& dest) override {
    for (char c : spdlog::level::to_string_view(msg.level))
      dest.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  std::unique_ptr<custom_flag_formatter> clone() const override {
    return std::make_unique<UpperLevelFlag>();
  }
};

// One converter for all instances, built on first use. SimpleConverter's
// Convert is const and keeps no state between calls.
const opencc::SimpleConverter& converter() {
  static const std::unique_ptr<const opencc::SimpleConverter> instance = [] {
    try {
      return std::make_unique<const opencc::SimpleConverter>(kConfig);
    } catch (const opencc::Exception& e) {
      throw FileError(kConfig, std::string("cannot build the OpenCC converter: ") + e.what());
    } catch (const std::exception& e) {
      throw FileError(kConfig, std::string("cannot build the OpenCC converter: ") + e.what());
    }
  }();
  return *instance;
}

std::string to_simplified(std::string_view text) {
  try {
    return internal::convert_stretches(text, [](std::string_view stretch) {
      return converter().Convert(stretch.data(), stretch.size());
    });
  } catch (const opencc::Exception& e) {
    throw KvException(ErrorCodes::INTERNAL_ERROR, std::string("OpenCC conversion failed: ") + e.what());
  }
}

// Hashing that lets a set of strings be searched with a string_view.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

// The "t2s" conversion of whole texts, equal to OpenCC's, at the cost of a
// table lookup per code point. OpenCC cuts a text into its phrase entries
// (乾隆, 著作, 瞭解, ...) by longest match and converts every other code
// point alone. So a stretch that holds no phrase entry converts code point
// by code point, each looked up in a table filled from OpenCC itself; a run
// of characters that phrase entries use and that holds one goes to OpenCC
// whole. Such a run is bounded by characters that no phrase entry holds,
// where OpenCC's own cut must also fall, so its conversion is the same as
// within the whole text.
class Simplifier {
 public:
  static const Simplifier& instance() {
    static const Simplifier simplifier;
    return simplifier;
  }

  // OpenCC's "t2s" conversion of `text` (valid UTF-8).
  std::string convert(std::string_view text) const {
    if (!fast_) return to_simplified(text);
    std::string out;
    out.reserve(text.size());
    std::size_t emitted = 0, run_start = 0, pos = 0;
    while (pos < text.size()) {
      const std::size_t at = pos;
      const char32_t cp = utf8::next(text, pos);
      if (!phrase_chars_.count(cp)) {
        run_start = pos;
        continue;
      }
      if (!phrase_starts_.count(cp) || !phrase_at(text, at)) continue;
      std::size_t end = pos;
      while (end < text.size()) {
        std::size_t next = end;
        if (!phrase_chars_.count(utf8::next(text, next))) break;
        end = next;
      }
      by_code_point(text, emitted, run_start, out);
      out += to_simplified(text.substr(run_start, end - run_start));
      emitted = run_start = pos = end;
    }
    by_code_point(text, emitted, text.size(), out);
    return out;
  }

 private:
  static constexpr char32_t kUnknown = 0;          // table entry not filled yet
  static constexpr char32_t kNotOne = 0xFFFFFFFF;  // converts to other than one code point

  Simplifier() {
    // OpenCC's phrase entries: the keys of more than one code point of the
    // segmentation dictionary and of the conversion dictionaries.
    try {
      opencc::Config config;
      const opencc::ConverterPtr converter = config.NewFromFile(kConfig);
      const auto segmentation = std::dynamic_pointer_cast<opencc::MaxMatchSegmentation>(converter->GetSegmentation());
      if (!segmentation) return;  // an unknown cut: every conversion goes to OpenCC
      std::vector<opencc::DictPtr> dicts = {segmentation->GetDict()};
      for (const auto& conversion : converter->GetConversionChain()->GetConversions())
        dicts.push_back(conversion->GetDict());
      for (const auto& dict : dicts) {
        const opencc::LexiconPtr lexicon = dict->GetLexicon();
        for (const auto& entry : *lexicon) {
          const std::string key = entry->Key();
          if (!utf8::is_valid(key) || utf8::length(key) < 2) continue;
          std::size_t pos = 0;
          phrase_starts_.insert(utf8::next(key, pos));
          for (pos = 0; pos < key.size();) phrase_chars_.insert(utf8::next(key, pos));
          phrase_lengths_.insert(key.size());
          phrases_.insert(key);
        }
      }
    } catch (const opencc::Exception& e) {
      throw FileError(kConfig, std::string("cannot read the OpenCC dictionaries: ") + e.what());
    }
    // The table is filled through conversions of code points joined by line
    // feeds, which needs line feeds outside every phrase.
    fast_ = !phrase_chars_.count(U'\n');
  }

  bool phrase_at(std::string_view text, std::size_t at) const {
    for (std::size_t length : phrase_lengths_)
      if (at + length <= text.size() && phrases_.count(text.substr(at, length))) return true;
    return false;
  }

  char32_t lookup(char32_t cp) const {
    if (cp < kTableSpan) return table_[cp].load(std::memory_order_acquire);
    std::shared_lock lock(mutex_);
    auto it = astral_.find(cp);
    return it == astral_.end() ? kUnknown : it->second;
  }

  void store(char32_t cp, char32_t simplified) const {
    if (cp < kTableSpan)
      table_[cp].store(simplified, std::memory_order_release);
    else
      astral_[cp] = simplified;  // under the unique lock of fill_table
  }

  // Looks up the code points of `text` that the table lacks, all in one
  // conversion.
  void fill_table(std::string_view text) const {
    std::vector<char32_t> missing;
    for (std::size_t pos = 0; pos < text.size();) {
      const char32_t cp = utf8::next(text, pos);
      if (cp != U'\n' && cp != 0 && lookup(cp) == kUnknown) missing.push_back(cp);
    }
    if (missing.empty()) return;
    std::sort(missing.begin(), missing.end());
    missing.erase(std::unique(missing.begin(), missing.end()), missing.end());
    std::string joined;
    for (char32_t cp : missing) {
      utf8::append(joined, cp);
      joined += '\n';
    }
    const std::string converted = to_simplified(joined);
    std::unique_lock lock(mutex_);
    std::size_t pos = 0;
    for (char32_t cp : missing) {
      const std::size_t end = converted.find('\n', pos);
      if (end == std::string::npos) {
        // The converter joined or dropped lines: ask code point by code point.
        for (char32_t rest : missing)
          if (lookup_unlocked(rest) == kUnknown) store(rest, convert_alone(rest));
        return;
      }
      const std::string_view piece(converted.data() + pos, end - pos);
      std::size_t at = 0;
      const char32_t simplified = utf8::is_valid(piece) && !piece.empty() ? utf8::next(piece, at) : kNotOne;
      store(cp, at == piece.size() ? simplified : kNotOne);
      pos = end + 1;
    }
  }

  char32_t lookup_unlocked(char32_t cp) const {
    if (cp < kTableSpan) return table_[cp].load(std::memory_order_acquire);
    auto it = astral_.find(cp);
    return it == astral_.end() ? kUnknown : it->second;
  }

  static char32_t convert_alone(char32_t cp) {
    std::string one;
    utf8::append(one, cp);
    const std::string converted = to_simplified(one);
    std::size_t at = 0;
    const char32_t simplified = utf8::is_valid(converted) && !converted.empty() ? utf8::next(converted, at) : kNotOne;
    return at == converted.size() ? simplified : kNotOne;
  }

  // Appends the conversion of text[begin, end), code point by code point.
  // The first code point that the table lacks has the table filled for the
  // rest of the text at once; line feeds and NULs stay as they are.
  void by_code_point(std::string_view text, std::size_t begin, std::size_t end, std::string& out) const {
    for (std::size_t pos = begin; pos < end;) {
      const std::size_t at = pos;
      const char32_t cp = utf8::next(text, pos);
      if (cp == U'\n' || cp == 0) {
        out.push_back(static_cast<char>(cp));
        continue;
      }
      char32_t simplified = lookup(cp);
      if (simplified == kUnknown) {
        fill_table(text.substr(at));
        simplified = lookup(cp);
      }
      if (simplified == kNotOne || simplified == kUnknown)
        out += to_simplified(text.substr(at, pos - at));
      else
        utf8::append(out, simplified);
    }
  }

  static constexpr char32_t kTableSpan = 0x10000;
  bool fast_ = false;
  std::unordered_set<char32_t> phrase_starts_, phrase_chars_;
  std::set<std::size_t> phrase_lengths_;  // in bytes
  std::unordered_set<std::string, TextHash, std::equal_to<>> phrases_;
  mutable std::unique_ptr<std::atomic<char32_t>[]> table_{new std::atomic<char32_t>[kTableSpan]()};
  mutable std::shared_mutex mutex_;  // guards astral_ and serialises filling
  mutable std::unordered_map<char32_t, char32_t> astral_;
};

std::string simplified(std::string_view text) { return Simplifier::instance().convert(text); }

// White space as Python's str.strip() sees it: the ASCII controls 9-13 and
// 28-31, the blank, U+0085, and the separator categories.
bool is_space(char32_t cp) {
  if (cp < 0x80) return (cp >= 9 && cp <= 13) || (cp >= 28 && cp <= 32);
  if (cp == 0x85) return true;
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

// The whole content of `path`; `what` names the file in messages.
std::string read_file(const std::string& path, const char* what) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error))
    throw FileError(path, std::string("cannot read ") + what + ": it is a directory");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileError(path, std::string("cannot open ") + what + ": " + std::strerror(errno));
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw FileError(path, std::string("cannot read ") + what + ": " + std::strerror(errno));
  return content;
}

// Calls `visit(line, number)` for each line of `content`, trimmed, numbered
// from 1; LF, CRLF and CR end a line. FileError with the line when a line is
// not valid UTF-8.
template <typename Visit>
void for_each_line(const std::string& path, std::string_view content, Visit visit) {
  std::int64_t number = 0;
  std::size_t pos = 0;
  while (pos < content.size()) {
    ++number;
    std::size_t end = content.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = content.size();
    std::string_view line = content.substr(pos, end - pos);
    pos = end;
    if (pos < content.size()) pos += (content[pos] == '\r' && pos + 1 < content.size() && content[pos + 1] == '\n') ? 2 : 1;
    if (std::size_t bad = utf8::find_invalid(line); bad != utf8::npos)
      throw FileError(path, "not valid UTF-8 at byte " + std::to_string(bad) + " of the line", number);
    visit(trim(line), number);
  }
}

// One dictionary entry as the file writes it, and where.
struct Entry {
  std::string key;    // converted Cantonese word
  std::string value;  // converted Mandarin word
  std::string written_cantonese;
  std::string written_mandarin;
  std::int64_t line = 0;
};

// Reads the dictionary: its entries, one per distinct converted Cantonese
// word, the later line winning, in the order of their first lines.
std::vector<Entry> load_entries(const std::string& path) {
  const std::string content = read_file(path, "dictionary");
  std::vector<Entry> entries;
  std::unordered_map<std::string, std::size_t> position;
  for_each_line(path, content, [&](std::string_view line, std::int64_t number) {
    const std::size_t tab = line.find(Cantonese::SEPERATOR);
    if (tab == std::string_view::npos) return;
    std::string_view cantonese = line.substr(0, tab);
    std::string_view mandarin = line.substr(tab + 1);
    mandarin = mandarin.substr(0, mandarin.find(Cantonese::SEPERATOR));
    Entry entry{simplified(cantonese), simplified(mandarin), std::string(cantonese),
                std::string(mandarin), number};
    auto [it, fresh] = position.try_emplace(entry.key, entries.size());
    if (fresh)
      entries.push_back(std::move(entry));
    else
      entries[it->second] = std::move(entry);
  });
  logger()->log(spdlog::source_loc{__FILE__, __LINE__, SPDLOG_FUNCTION}, spdlog::level::info,
                "Loaded {} cantonese-mandarin pairs from {}", entries.size(), path);
  return entries;
}

// Reads the Mandarin word list, converted to simplified characters.
std::vector<std::string> load_words(const std::string& path) {
  const std::string content = read_file(path, "Mandarin word list");
  std::vector<std::string> words;
  for_each_line(path, content, [&](std::string_view line, std::int64_t) {
    if (!line.empty() && line.front() != '#') words.emplace_back(line);
  });
  if (words.empty()) return words;
  for (auto& word : words) word = simplified(word);
  return words;
}

// The folders that may hold the shipped data, the installed place first.
std::vector<std::filesystem::path> data_folders() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&Cantonese::default_dict_file), &info) == 0 ||
      info.dli_fname == nullptr)
    throw FileError(kDictName, "cannot find the directory of the cantonese library");
  const std::filesystem::path folder = std::filesystem::absolute(info.dli_fname).parent_path();
  return {(folder / KELVRA_DATA_FROM_LIBDIR).lexically_normal(), (folder / "data").lexically_normal()};
}

std::string data_file(const char* name) {
  const auto folders = data_folders();
  for (const auto& folder : folders) {
    std::error_code error;
    if (std::filesystem::is_regular_file(folder / name, error)) return (folder / name).string();
  }
  return (folders.front() / name).string();
}

// True when `text` (the input's slice under a dictionary word) is written as
// the entry writes its Cantonese word, or in simplified characters, code
// point by code point. An entry written in simplified characters takes
// whatever converts to it.
bool written_as(std::string_view text, const Entry& entry) {
  const std::string& written = entry.written_cantonese;
  if (written == entry.key || written == text || entry.key == text) return true;
  if (utf8::length(written) != utf8::length(entry.key)) return true;
  for (std::size_t t = 0, w = 0, k = 0; t < text.size() && w < written.size() && k < entry.key.size();) {
    const char32_t cp = utf8::next(text, t);
    const char32_t as_written = utf8::next(written, w);
    const char32_t simplified = utf8::next(entry.key, k);
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
  if (!utf8::is_valid(view))
    throw KvException(ErrorCodes::INTERNAL_ERROR, "OpenCC returned text that is not valid UTF-8");
  if (utf8::length(view) == utf8::length(text)) return view;
  view.clear();
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t begin = pos;
    utf8::next(text, pos);
    const std::string_view original = text.substr(begin, pos - begin);
    const std::string converted = simplified(original);
    view += utf8::is_valid(converted) && utf8::length(converted) == 1 ? std::string_view(converted) : original;
  }
  return view;
}

}  // namespace

const std::shared_ptr<spdlog::logger>& logger() {
  static const std::shared_ptr<spdlog::logger> instance = [] {
    const bool registered = spdlog::get(kLoggerName) != nullptr;
    auto made = kelvra::common::LogUtil::get_logger(kLoggerName);
    if (!registered) {
      // LOG_FORMAT in spdlog's notation.
      auto formatter = std::make_unique<spdlog::pattern_formatter>();
      formatter->add_flag<UpperLevelFlag>('*').set_pattern("[%Y-%m-%d %H:%M:%S,%e] [%*] [%n:%#] %v");
      made->set_formatter(std::move(formatter));
      made->set_level(spdlog::level::info);
    }
    return made;
  }();
  return instance;
}

namespace {

// The segmenter's lexicon: the Mandarin words first, then the dictionary's
// Cantonese words, so that a word in both is a dictionary word. The word
// list's single characters are the characters Mandarin writes: a
// dictionary word that changes something is Marked when it holds another
// character, Ambiguous otherwise.
std::vector<cantoseg::Lexeme> lexicon(const std::vector<std::string>& words,
                                      const std::vector<Entry>& entries) {
  std::unordered_set<char32_t> mandarin;
  std::vector<cantoseg::Lexeme> lexemes;
  lexemes.reserve(words.size() + entries.size());
  for (const auto& word : words) {
    std::size_t pos = 0;
    const char32_t cp = utf8::next(word, pos);
    if (pos == word.size()) mandarin.insert(cp);
    lexemes.push_back({word, cantoseg::Standing::kPlain});
  }
  for (const auto& entry : entries) {
    auto standing = cantoseg::Standing::kPlain;
    if (entry.value != entry.key) {
      standing = cantoseg::Standing::kAmbiguous;
      for (std::size_t pos = 0; pos < entry.key.size();)
        if (!mandarin.count(utf8::next(entry.key, pos))) standing = cantoseg::Standing::kMarked;
    }
    lexemes.push_back({entry.key, standing});
  }
  return lexemes;
}

}  // namespace

struct Cantonese::Impl {
  Impl(std::string path, std::vector<Entry> loaded, const std::vector<std::string>& words)
      : dict_file(std::move(path)),
        entries(std::move(loaded)),
        first_entry(words.size()),
        segmenter(lexicon(words, entries)) {
    c2m.reserve(entries.size());
    for (const auto& entry : entries) c2m.emplace(entry.key, entry.value);
  }

  std::string dict_file;
  std::vector<Entry> entries;
  std::size_t first_entry;  // lexicon position of entries[0]
  Dictionary c2m;
  cantoseg::Segmenter segmenter;
};

Cantonese::Cantonese(std::optional<std::string> dict_file, std::optional<std::string> words_file) {
  std::string path = dict_file ? std::move(*dict_file) : default_dict_file();
  std::vector<Entry> entries = load_entries(path);
  const std::vector<std::string> words = load_words(words_file ? *words_file : default_words_file());
  impl_ = std::make_unique<Impl>(std::move(path), std::move(entries), words);
}

Cantonese::~Cantonese() = default;
Cantonese::Cantonese(Cantonese&&) noexcept = default;
Cantonese& Cantonese::operator=(Cantonese&&) noexcept = default;

std::string Cantonese::default_dict_file() { return data_file(kDictName); }
std::string Cantonese::default_words_file() { return data_file(kWordsName); }

Cantonese::Dictionary Cantonese::_load(const std::string& dict_file) {
  Dictionary dictionary;
  for (auto& entry : load_entries(dict_file)) dictionary.emplace(std::move(entry.key), std::move(entry.value));
  return dictionary;
}

const Cantonese::Dictionary& Cantonese::_c2m() const noexcept { return impl_->c2m; }
const std::string& Cantonese::dict_file() const noexcept { return impl_->dict_file; }

std::string Cantonese::translate(std::string_view text) const { return rewrite(text, nullptr); }

std::string Cantonese::translate(std::string_view text, std::vector<Rewrite>& rewrites) const {
  return rewrite(text, &rewrites);
}

std::string Cantonese::rewrite(std::string_view text, std::vector<Rewrite>* rewrites) const {
  utf8::require_valid(text, "text");
  if (text.empty()) return {};
  const std::string view = simplified_view(text);
  std::vector<cantoseg::Segmenter::Piece> pieces;
  impl_->segmenter.cut_pieces(view, pieces);

  std::string out;
  out.reserve(view.size());
  std::size_t in_pos = 0;
  std::int64_t offset = 0;
  for (const auto& piece : pieces) {
    const std::size_t length = utf8::length(piece.text);
    const std::size_t in_begin = in_pos;
    in_pos = utf8::advance(text, in_pos, length);
    const std::string_view original = text.substr(in_begin, in_pos - in_begin);
    const Entry* entry = piece.index != cantoseg::Segmenter::npos && piece.index >= impl_->first_entry
                             ? &impl_->entries[piece.index - impl_->first_entry]
                             : nullptr;
    if (entry && entry->value != piece.text && written_as(original, *entry)) {
      out += entry->value;
      if (rewrites)
        rewrites->push_back({offset, static_cast<std::int64_t>(length), std::string(original), entry->value,
                          entry->line, entry->written_cantonese, entry->written_mandarin});
    } else {
      out += piece.text;
    }
    offset += static_cast<std::int64_t>(length);
  }
  return out;
}

}  // namespace kelvra::nlp::common::lang::cantonese
