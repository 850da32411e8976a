// Sections a document, fills in one entity per segment and stitches them
// back: exits 0 when every entity lands on its text in the document.
#include <cstdio>

#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/sectioner.h"
#include "kelvra/nlp/common/stitcher.h"

int main() {
  const std::string document = "你好。再见！谢谢。";
  auto segments = kelvra::nlp::common::sectioner::Sectioner().split(
      kelvra::Record{{"text", document}, {"length", 6}}, "ner");
  for (auto& segment : segments)
    segment["nes"] = kelvra::Record::array({kelvra::Record{{"offset", 0}, {"length", 1}}});
  auto entities = kelvra::nlp::common::stitcher::Stitcher().merge(segments, "ner");
  if (entities.size() != 2 || entities[1]["offset"] != 6) return 1;
  std::printf("consumer: %zu entities, last at %s\n", entities.size(),
              std::string(kelvra::common::utf8::substr(document, 6, 1)).c_str());
  return 0;
}
