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
  // A short Mandarin word list instead of the shipped one, whose loading
  // would take most of each run.
  static kelvra::fuzz::InputFile words_file;
  static const std::string& words = words_file.write("关系\n食物\n系统\n现在\n");
  const std::string_view content = kelvra::fuzz::bytes(data, size);
  const std::string& path = file.write(content);
  kelvra::fuzz::expect_clean([&] {
    const Cantonese cantonese(path, words);
    cantonese.translate("佢哋而家喺邊度食緊飯？");
    if (kelvra::common::utf8::is_valid(content)) cantonese.translate(content);
  });
  return 0;
}
