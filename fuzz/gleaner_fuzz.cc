// JSON documents into the passage extraction. Each passage must be the
// document's text at the passage's offset.
#include "fuzz/fuzz_util.h"
#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/gleaner.h"

using kelvra::Record;
using kelvra::nlp::common::gleaner::Gleaner;
namespace utf8 = kelvra::common::utf8;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Gleaner gleaner;
  std::optional<Record> doc = kelvra::fuzz::parse_record(kelvra::fuzz::bytes(data, size));
  if (!doc) return 0;
  kelvra::fuzz::expect_clean([&] {
    const auto passages = gleaner.extract(*doc);
    if (!passages) return;
    // extract succeeded, so the first non-empty text key holds a string.
    std::string text;
    for (const char* key : {"text", "zh_content", "content_zh"}) {
      auto it = doc->find(key);
      if (it != doc->end() && it->is_string() && !it->get_ref<const std::string&>().empty()) {
        text = it->get<std::string>();
        break;
      }
    }
    for (const Record& passage : *passages) {
      const std::string& piece = passage["text"].get_ref<const std::string&>();
      const auto offset = passage["offset"].get<std::int64_t>();
      kelvra::fuzz::require(offset >= 0, "a passage starts inside the document");
      kelvra::fuzz::require(
          utf8::substr(text, static_cast<std::size_t>(offset), utf8::length(piece)) == piece,
          "a passage is the document's text at its offset");
    }
  });
  return 0;
}
