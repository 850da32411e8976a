// Sections a document, fills in one entity per segment and stitches them
// back, and translates Cantonese with the installed data: exits 0 when every
// entity lands on its text in the document and the data is found under the
// installation prefix given as the first argument.
#include <cstdio>
#include <filesystem>

#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/lang/cantonese.h"
#include "kelvra/nlp/common/sectioner.h"
#include "kelvra/nlp/common/stitcher.h"

int main(int argc, char** argv) {
  const std::string document = "你好。再见！谢谢。";
  auto segments = kelvra::nlp::common::sectioner::Sectioner().split(
      kelvra::Record{{"text", document}, {"length", 6}}, "ner");
  for (auto& segment : segments)
    segment["nes"] = kelvra::Record::array({kelvra::Record{{"offset", 0}, {"length", 1}}});
  auto entities = kelvra::nlp::common::stitcher::Stitcher().merge(segments, "ner");
  if (entities.size() != 2 || entities[1]["offset"] != 6) return 1;
  std::printf("consumer: %zu entities, last at %s\n", entities.size(),
              std::string(kelvra::common::utf8::substr(document, 6, 1)).c_str());

  using kelvra::nlp::common::lang::cantonese::Cantonese;
  if (argc < 2) return 1;
  const std::filesystem::path data = std::filesystem::path(argv[1]) / "share" / "kelvra-nlp";
  std::error_code error;
  if (!std::filesystem::equivalent(Cantonese::default_dict_file(), data / "c2m.tsv", error) ||
      !std::filesystem::equivalent(Cantonese::default_words_file(), data / "mandarin_words.txt",
                                   error)) {
    std::fprintf(stderr, "consumer: the data is not taken from %s but %s\n", data.c_str(),
                 Cantonese::default_dict_file().c_str());
    return 1;
  }
  const std::string mandarin = Cantonese().translate("佢哋喺邊度？系統的話");
  std::printf("consumer: %s\n", mandarin.c_str());
  return mandarin == "他们在哪里？系统的话" ? 0 : 1;
}
