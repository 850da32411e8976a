// JSON records into the relation sectioner: {"feature_set": {"text", "nes"},
// "length"} with anything in it. A split that succeeds must give the
// document back and keep each segment within the length.
#include "fuzz/fuzz_util.h"
#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/sectioner.h"

using kelvra::Record;
using kelvra::nlp::common::sectioner::Sectioner;
namespace utf8 = kelvra::common::utf8;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Sectioner sectioner;
  std::optional<Record> input = kelvra::fuzz::parse_record(kelvra::fuzz::bytes(data, size));
  if (!input) return 0;
  kelvra::fuzz::expect_clean([&] {
    const Record before = *input;
    const std::vector<Record> segments = sectioner.split(*input, "relation");
    kelvra::fuzz::require(*input == before, "the input is never changed");
    const std::string& text = before["feature_set"]["text"].get_ref<const std::string&>();
    std::string joined;
    std::int64_t next = 0;
    for (const Record& segment : segments) {
      const std::string& piece = segment["text"].get_ref<const std::string&>();
      joined += piece;
      kelvra::fuzz::require(segment["offset"] == next, "segments follow each other");
      kelvra::fuzz::require(segment["length"] == static_cast<std::int64_t>(utf8::length(piece)),
                            "a segment's length is its text's");
      next += segment["length"].get<std::int64_t>();
    }
    kelvra::fuzz::require(joined == text, "the segments give the document back");
  });
  return 0;
}
