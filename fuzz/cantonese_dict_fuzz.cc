// The Cantonese dictionary loader on arbitrary file contents; a dictionary
// that loads then translates a fixed sentence and its own text.
#include "fuzz/fuzz_util.h"
#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/lang/cantonese.h"

using kelvra::nlp::common::lang::cantonese::Cantonese;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // One INFO line per load would drown the fuzzer's own output.
  kelvra::nlp::common::lang::cantonese::logger()->set_level(spdlog::level::off);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static kelvra::fuzz::InputFile file;
  const std::string_view content = kelvra::fuzz::bytes(data, size);
  const std::string& path = file.write(content);
  kelvra::fuzz::expect_clean([&] {
    const Cantonese cantonese(path);
    cantonese.translate("佢哋而家喺邊度食緊飯？");
    if (kelvra::common::utf8::is_valid(content)) cantonese.translate(content);
  });
  return 0;
}
