#include "kelvra/nlp/common/gleaner.h"

#include <cstdint>
#include <string>
#include <utility>

#include "kelvra/common/internal/json_model.h"
#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/internal/gleaning.h"

namespace kelvra::nlp::common::gleaner {

namespace utf8 = kelvra::common::utf8;
using M = kelvra::common::records::JsonModel;

namespace internal {

namespace {
constexpr char32_t kBullet = 0x2022;
}  // namespace

std::vector<Passage> cut_passages(std::string_view text) {
  const std::int64_t size = static_cast<std::int64_t>(utf8::length(text));
  std::vector<Passage> passages;
  // The pending string is always the stretch of text from byte `start`,
  // `pending` code points long, up to and including the current one.
  std::size_t start = 0;
  std::int64_t pending = 0;
  std::size_t pos = 0;
  for (std::int64_t index = 0; index < size; ++index) {
    const std::size_t here = pos;
    const char32_t cp = utf8::next(text, pos);
    if (pending == 0) start = here;
    ++pending;
    // A line feed, blank or bullet that would open a passage is dropped.
    if (pending == 1 && (cp == U'\n' || cp == U' ' || cp == kBullet)) pending = 0;
    if ((cp == U'\n' || index >= size - 1) && pending > 0) {
      // Only the terminating line feed can be stripped: a passage opens on
      // something else.
      std::string_view line = text.substr(start, pos - start);
      std::int64_t length = pending;
      if (cp == U'\n') {
        line.remove_suffix(1);
        --length;
      }
      const std::int64_t offset = index - pending + 1;
      passages.push_back(Passage{line, offset, offset + length});
      pending = 0;
    }
  }
  return passages;
}

}  // namespace internal

std::optional<std::vector<Record>> Gleaner::extract(Record& doc) const {
  return internal::extract<M>(M::view(doc), false);
}

std::optional<std::vector<Record>> Gleaner::extract(Record&& doc) const {
  return internal::extract<M>(M::view(doc), true);
}

std::optional<std::vector<Record>> Gleaner::_segment(std::string_view text) const {
  utf8::require_valid(text, "text");
  return internal::segment<M>(nullptr, text);
}

std::optional<std::vector<Record>> Gleaner::_related_entities(const Record& seg,
                                                              Record& ref_entities) const {
  return internal::related_entities<M>(M::view(seg), M::view(ref_entities));
}

}  // namespace kelvra::nlp::common::gleaner
