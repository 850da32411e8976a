// Peak memory of sectioning one large document ("ner", length 510), as a
// multiple of the document's size. Usage: section_memory [MEGABYTES]
#include <cstdio>
#include <cstdlib>

#include "bench/corpus.h"
#include "kelvra/nlp/common/sectioner.h"

int main(int argc, char** argv) {
  const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
  kelvra::nlp::common::sectioner::Sectioner sectioner;
  const std::string document = kelvra::bench::chinese_corpus(megabytes << 20);
  const std::size_t before = kelvra::bench::peak_rss_bytes();
  auto segments = sectioner._split_text_by_length(document, 510);
  const std::size_t peak = kelvra::bench::peak_rss_bytes();
  std::printf(
      "section_memory: document %.1f MB, %zu segments, peak RSS %.1f MB (%.2fx the "
      "document; %.1f MB before sectioning)\n",
      document.size() / 1e6, segments.size(), peak / 1e6,
      static_cast<double>(peak) / static_cast<double>(document.size()), before / 1e6);
  return 0;
}
