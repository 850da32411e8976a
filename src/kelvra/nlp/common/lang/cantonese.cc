#include "kelvra/nlp/common/lang/cantonese.h"

#include <dlfcn.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include <opencc/Exception.hpp>
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
// Conversions remembered per instance before the cache starts afresh; keeps
// memory bounded on endless streams of new words.
constexpr std::size_t kCacheLimit = 1 << 18;

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

// Reads the dictionary; `words`, when given, receives every Cantonese word
// as written and as converted (the segmenter's lexicon).
Cantonese::Dictionary load(const std::string& path, std::vector<std::string>* words) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileError(path, std::string("cannot open dictionary: ") + std::strerror(errno));
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw FileError(path, std::string("cannot read dictionary: ") + std::strerror(errno));

  Cantonese::Dictionary dictionary;
  std::int64_t number = 0;
  std::size_t pos = 0;
  while (pos < content.size()) {
    ++number;
    std::size_t end = content.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = content.size();
    std::string_view line(content.data() + pos, end - pos);
    pos = end;
    if (pos < content.size()) pos += (content[pos] == '\r' && pos + 1 < content.size() && content[pos + 1] == '\n') ? 2 : 1;

    if (std::size_t bad = utf8::find_invalid(line); bad != utf8::npos)
      throw FileError(path, "not valid UTF-8 at byte " + std::to_string(bad) + " of the line", number);
    line = trim(line);
    const std::size_t tab = line.find(Cantonese::SEPERATOR);
    if (tab == std::string_view::npos) continue;
    std::string_view cantonese = line.substr(0, tab);
    std::string_view mandarin = line.substr(tab + 1);
    mandarin = mandarin.substr(0, mandarin.find(Cantonese::SEPERATOR));
    std::string key = to_simplified(cantonese);
    std::string value = to_simplified(mandarin);
    if (words) {
      words->emplace_back(cantonese);
      words->push_back(key);
    }
    dictionary.insert_or_assign(std::move(key), std::move(value));
  }
  logger()->log(spdlog::source_loc{__FILE__, __LINE__, SPDLOG_FUNCTION}, spdlog::level::info,
                "Loaded {} cantonese-mandarin pairs from {}", dictionary.size(), path);
  return dictionary;
}

// Hashing that lets the cache be searched with a string_view.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

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

struct Cantonese::Impl {
  Impl(Dictionary dictionary, const std::vector<std::string>& words)
      : c2m(std::move(dictionary)), segmenter(words) {}

  Dictionary c2m;
  cantoseg::Segmenter segmenter;
  // Word as written -> its translation. The converter is deterministic, so
  // a word's result never changes.
  mutable std::shared_mutex cache_mutex;
  mutable std::unordered_map<std::string, std::string, TextHash, std::equal_to<>> cache;
};

Cantonese::Cantonese(std::optional<std::string> dict_file) {
  const std::string path = dict_file ? *dict_file : default_dict_file();
  std::vector<std::string> words;
  Dictionary dictionary = load(path, &words);
  impl_ = std::make_unique<Impl>(std::move(dictionary), words);
}

Cantonese::~Cantonese() = default;
Cantonese::Cantonese(Cantonese&&) noexcept = default;
Cantonese& Cantonese::operator=(Cantonese&&) noexcept = default;

std::string Cantonese::default_dict_file() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&Cantonese::default_dict_file), &info) == 0 ||
      info.dli_fname == nullptr)
    throw FileError("data/c2m.tsv", "cannot find the directory of the cantonese library");
  std::filesystem::path library = std::filesystem::absolute(info.dli_fname).lexically_normal();
  return (library.parent_path() / "data" / "c2m.tsv").string();
}

Cantonese::Dictionary Cantonese::_load(const std::string& dict_file) { return load(dict_file, nullptr); }

const Cantonese::Dictionary& Cantonese::_c2m() const noexcept { return impl_->c2m; }

std::string Cantonese::translate(std::string_view text) const {
  utf8::require_valid(text, "text");
  std::string out;
  out.reserve(text.size());
  for (std::string_view word : impl_->segmenter.cut_views(text)) {
    {
      std::shared_lock lock(impl_->cache_mutex);
      if (auto it = impl_->cache.find(word); it != impl_->cache.end()) {
        out += it->second;
        continue;
      }
    }
    std::string converted = to_simplified(word);
    if (auto it = impl_->c2m.find(converted); it != impl_->c2m.end()) converted = it->second;
    out += converted;
    std::unique_lock lock(impl_->cache_mutex);
    if (impl_->cache.size() >= kCacheLimit) impl_->cache.clear();
    impl_->cache.try_emplace(std::string(word), std::move(converted));
  }
  return out;
}

}  // namespace kelvra::nlp::common::lang::cantonese
