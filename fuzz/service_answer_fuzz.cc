// A service answer's body through the client's answer reader, then through
// the extractor that turns it into feature sets of a 6-code-point text.
// Whatever the body, the result is an answer of the documented shape or a
// KvException; every position of a feature set read lies in the text.
#include "fuzz/fuzz_util.h"
#include "kelvra/nlp/common/feature/lang/lang.h"
#include "kvc/sdk/nlp_client.h"

using kelvra::Record;
using kvc::sdk::NlpClient;
namespace lang = kelvra::nlp::common::feature::lang;

namespace {

constexpr std::string_view kText = "你好，世界。";
constexpr std::int64_t kTextLength = 6;

// Hands the extractor the answer already read.
class ReadAnswer : public NlpClient {
 public:
  explicit ReadAnswer(Record answer)
      : NlpClient("http://fuzz.invalid"), answer_(std::move(answer)) {}
  Record features(std::string_view, const std::vector<std::string>&, std::string_view,
                  const Record&) const override {
    return answer_;
  }

 private:
  Record answer_;
};

void check_words(const kelvra::nlp::common::feature::FeatureSet& set) {
  if (!set.words) return;
  for (const auto& word : *set.words)
    kelvra::fuzz::require(
        word.offset >= 0 && word.length >= 0 && word.offset + word.length <= kTextLength,
        "a word read lies in the text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A small cap, so that the parsed-size cap is reached too.
  static const NlpClient client("http://fuzz.invalid", 1.0, 1 << 16);
  kelvra::fuzz::expect_clean([&] {
    Record answer = client.parse_answer(kelvra::fuzz::bytes(data, size));
    bool shaped = answer.is_object() || answer.is_array();
    if (answer.is_array())
      for (const Record& item : answer) shaped = shaped && item.is_object();
    kelvra::fuzz::require(shaped, "an answer read is a feature set or a list of them");
    auto extractor =
        (*lang::get("zh_cn"))(std::make_shared<ReadAnswer>(std::move(answer)), Record());
    lang::Extraction extraction = extractor->extract(kText, {});
    if (const auto* one = std::get_if<kelvra::nlp::common::feature::FeatureSet>(&extraction)) {
      check_words(*one);
    } else {
      for (const auto& set :
           std::get<std::vector<kelvra::nlp::common::feature::FeatureSet>>(extraction))
        check_words(set);
    }
  });
  return 0;
}
