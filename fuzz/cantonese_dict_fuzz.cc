// The Cantonese loaders on arbitrary file contents: the input's first byte
// modulo 3 makes it the dictionary, the Mandarin word list or the rules
// (beside short shipped-like versions of the other two). A translator that
// loads then translates fixed sentences and the input's own text.
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
  // Short data instead of the shipped files, whose loading would take most
  // of each run.
  static kelvra::fuzz::InputFile words_file;
  static const std::string& words = words_file.write("关系\n食物\n系统\n现在\n书系\n记得\n");
  static kelvra::fuzz::InputFile dict_file;
  static const std::string& dict =
      dict_file.write("佢哋\t他们\n喺\t在\n食緊\t在吃\n係\t是\n㗎\t的\n");
  static kelvra::fuzz::InputFile rules_file;
  static const std::string& rules = rules_file.write(
      "@P\t我|佢\n係\t\tguard\n唔\t不\ta-not-a\n㗎\t\tbefore:？|呀END\n先\t先\tfront:@P "
      "before:CLAUSE\n"
      "緊\t在…\tjoin cantonese\n去咗\t去…了\tnext before:食\n個\t的\tafter:@P firm marks\n"
      "@V\t食|飲=喝|記\n@V唔@V得\t能不能@V\tcantonese marks\n@V過\t比…@V\tnext before:我\n");
  const std::string_view content = kelvra::fuzz::bytes(data, size);
  const std::string& path = file.write(content);
  const int kind = size > 0 ? data[0] % 3 : 0;
  kelvra::fuzz::expect_clean([&] {
    const Cantonese cantonese(kind == 0 ? path : dict, kind == 1 ? path : words,
                              kind == 2 ? path : rules);
    cantonese.translate("佢哋而家喺邊度食緊飯？你記唔記得我？我去咗食先。書係我個㗎？");
    if (kelvra::common::utf8::is_valid(content)) cantonese.translate(content);
  });
  return 0;
}
