// Placing entities by position: the passage extraction of an annotated
// document with one entity per line, and the relation sectioning of a 2 MB
// document with 100,000 entities, contiguous and multi-piece. Both used to
// test every entity against every passage or segment.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>

#include "bench/corpus.h"
#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/gleaner.h"
#include "kelvra/nlp/common/sectioner.h"

namespace {

using kelvra::Record;

// `lines` lines of two Chinese characters and two digits (9 bytes with the
// line feed), each with one entity: mostly the two characters by `text`,
// some by `name` and `category` with a `uuid`, some running over the line
// feed into the next line (placed nowhere).
Record annotated_document(int lines) {
  std::mt19937 rng(7);
  static constexpr const char* kChars[] = {"林", "江", "城", "秋", "生", "在", "海", "山"};
  std::string text;
  Record entities = Record::array();
  for (int line = 0; line < lines; ++line) {
    const std::int64_t start = static_cast<std::int64_t>(line) * 5;
    std::string word = std::string(kChars[rng() % 8]) + kChars[rng() % 8];
    text += word + std::to_string(10 + rng() % 90) + "\n";
    const unsigned kind = rng() % 10;
    if (kind < 6) {
      entities.push_back(Record{{"text", word}, {"type", "LOC"}, {"offset", start}, {"length", 2}});
    } else if (kind < 9) {
      entities.push_back(Record{{"uuid", "e" + std::to_string(line)},
                                {"name", word},
                                {"category", "PER"},
                                {"offset", start},
                                {"length", 2}});
    } else {
      entities.push_back(Record{{"text", "9\n" + word}, {"offset", start + 3}, {"length", 4}});
    }
  }
  return Record{{"text", std::move(text)}, {"entities", std::move(entities)}};
}

void BM_GleanerExtract(benchmark::State& state) {
  const Record document = annotated_document(static_cast<int>(state.range(0)));
  kelvra::nlp::common::gleaner::Gleaner gleaner;
  std::size_t passages = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Record doc = document;  // extract changes the entity records in place
    state.ResumeTiming();
    auto result = gleaner.extract(doc);
    passages = result ? result->size() : 0;
    benchmark::DoNotOptimize(result);
  }
  state.counters["passages"] = static_cast<double>(passages);
  state.counters["text_kb"] =
      static_cast<double>(document["text"].get_ref<const std::string&>().size()) / 1e3;
}
BENCHMARK(BM_GleanerExtract)->Arg(20000)->Unit(benchmark::kMillisecond);

// A feature set over about `bytes` of Chinese prose with `count` entities at
// random places: four in five contiguous (1 to 8 code points), the rest of
// two or three spans within 40 code points of each other.
Record feature_set(std::size_t bytes, int count) {
  std::string text = kelvra::bench::chinese_corpus(bytes, 3);
  const auto size = static_cast<std::int64_t>(kelvra::common::utf8::length(text));
  std::mt19937_64 rng(11);
  Record nes = Record::array();
  for (int i = 0; i < count; ++i) {
    const std::int64_t offset =
        static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(size - 64));
    if (rng() % 5 != 0) {
      nes.push_back(Record{{"offset", offset},
                           {"length", 1 + static_cast<std::int64_t>(rng() % 8)},
                           {"type", "ORG"},
                           {"id", i}});
      continue;
    }
    Record spans = Record::array();
    std::int64_t at = offset;
    for (unsigned piece = 0, pieces = 2 + rng() % 2; piece < pieces; ++piece) {
      const auto length = 1 + static_cast<std::int64_t>(rng() % 4);
      spans.push_back(Record{{"offset", at}, {"length", length}});
      at += length + static_cast<std::int64_t>(rng() % 12);
    }
    nes.push_back(Record{{"spans", std::move(spans)}, {"type", "EVT"}, {"id", i}});
  }
  return Record{{"text", std::move(text)}, {"nes", std::move(nes)}};
}

void BM_SectionerRelation(benchmark::State& state) {
  const Record input{{"feature_set", feature_set(static_cast<std::size_t>(state.range(0)) << 20,
                                                 static_cast<int>(state.range(1)))},
                     {"length", 510}};
  kelvra::nlp::common::sectioner::Sectioner sectioner;
  std::size_t segments = 0, placed = 0;
  for (auto _ : state) {
    auto result = sectioner.split(input, "relation");
    segments = result.size();
    placed = 0;
    for (const auto& segment : result) placed += segment["feature_set"]["nes"].size();
    benchmark::DoNotOptimize(result.data());
  }
  state.counters["segments"] = static_cast<double>(segments);
  state.counters["placed"] = static_cast<double>(placed);
}
BENCHMARK(BM_SectionerRelation)->Args({2, 100000})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
