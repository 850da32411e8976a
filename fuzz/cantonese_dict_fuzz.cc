// The Cantonese loaders on arbitrary file contents: an input whose first
// byte is even is the dictionary (beside a short word list), an odd one the
// Mandarin word list (beside a short dictionary). A translator that loads
// then translates a fixed sentence and the input's own text.
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
  static kelvra::fuzz::InputFile dict_file;
  static const std::string& dict = dict_file.write("佢哋\t他们\n喺\t在\n食緊\t在吃\n");
  const std::string_view content = kelvra::fuzz::bytes(data, size);
  const std::string& path = file.write(content);
  const bool is_word_list = size > 0 && (data[0] & 1) != 0;
  kelvra::fuzz::expect_clean([&] {
    const Cantonese cantonese(is_word_list ? dict : path, is_word_list ? path : words);
    cantonese.translate("佢哋而家喺邊度食緊飯？");
    if (kelvra::common::utf8::is_valid(content)) cantonese.translate(content);
  });
  return 0;
}
