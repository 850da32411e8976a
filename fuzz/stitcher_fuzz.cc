// JSON Lines-like input into the stitcher: the first byte picks "ner" or
// "relation", the rest is the list of segment records.
#include "fuzz/fuzz_util.h"
#include "kelvra/nlp/common/stitcher.h"

using kelvra::Record;
using kelvra::nlp::common::stitcher::Stitcher;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const Stitcher stitcher;
  const char* type = data[0] % 2 == 0 ? "ner" : "relation";
  std::optional<Record> segments =
      kelvra::fuzz::parse_record(kelvra::fuzz::bytes(data + 1, size - 1));
  if (!segments) return 0;
  kelvra::fuzz::expect_clean([&] { stitcher.merge(*segments, type); });
  return 0;
}
