// Throughput of normalisation and Cantonese to Mandarin over 8 MB of
// traditional Chinese, against a bare OpenCC t2s conversion of the same
// text (the floor that both build on), and the time to load the shipped
// Cantonese data.
#include <benchmark/benchmark.h>

#include <string_view>
#include <vector>

#include <spdlog/spdlog.h>
#include <opencc/SimpleConverter.hpp>

#include "bench/corpus.h"
#include "kelvra/nlp/common/lang/cantonese.h"
#include "kelvra/nlp/common/normalizer.h"

namespace {

// The simplified corpus turned traditional with OpenCC's s2t data.
const std::string& corpus() {
  static const std::string text = [] {
    opencc::SimpleConverter s2t("s2t");
    return s2t.Convert(kelvra::bench::chinese_corpus(8 << 20));
  }();
  return text;
}

void BM_OpenCCConvertT2S(benchmark::State& state) {
  opencc::SimpleConverter t2s("t2s");
  corpus();  // made outside the timed loop
  for (auto _ : state) {
    std::string result = t2s.Convert(corpus());
    benchmark::DoNotOptimize(result.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus().size()));
}
BENCHMARK(BM_OpenCCConvertT2S)->Unit(benchmark::kMillisecond);

void BM_Normalize(benchmark::State& state) {
  kelvra::nlp::common::normalizer::Normalizer normalizer({});
  corpus();
  std::size_t changes = 0;
  for (auto _ : state) {
    auto result = normalizer.normalize(corpus());
    changes = result.alter_words->size();
    benchmark::DoNotOptimize(result.normalized_text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus().size()));
  state.counters["changes"] = static_cast<double>(changes);
}
BENCHMARK(BM_Normalize)->Unit(benchmark::kMillisecond);

// The per-position work alone: replacement and half-width, no conversion.
void BM_NormalizeWithoutConversion(benchmark::State& state) {
  kelvra::nlp::common::normalizer::Normalizer normalizer({});
  corpus();
  for (auto _ : state) {
    auto result = normalizer.normalize(corpus(), true, true, false);
    benchmark::DoNotOptimize(result.normalized_text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus().size()));
}
BENCHMARK(BM_NormalizeWithoutConversion)->Unit(benchmark::kMillisecond);

void BM_Translate(benchmark::State& state) {
  kelvra::nlp::common::lang::cantonese::Cantonese cantonese;
  corpus();
  for (auto _ : state) {
    std::string result = cantonese.translate(corpus());
    benchmark::DoNotOptimize(result.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus().size()));
}
BENCHMARK(BM_Translate)->Unit(benchmark::kMillisecond);

// The same text one line at a time, as the command line translates.
void BM_TranslateLines(benchmark::State& state) {
  kelvra::nlp::common::lang::cantonese::Cantonese cantonese;
  std::vector<std::string_view> lines;
  for (std::size_t pos = 0; pos < corpus().size();) {
    std::size_t end = corpus().find('\n', pos);
    if (end == std::string::npos) end = corpus().size();
    lines.push_back(std::string_view(corpus()).substr(pos, end - pos));
    pos = end + 1;
  }
  for (auto _ : state) {
    for (std::string_view line : lines) {
      std::string result = cantonese.translate(line);
      benchmark::DoNotOptimize(result.data());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus().size()));
  state.counters["lines"] = static_cast<double>(lines.size());
}
BENCHMARK(BM_TranslateLines)->Unit(benchmark::kMillisecond);

// Loading the shipped dictionary and Mandarin word list.
void BM_LoadShipped(benchmark::State& state) {
  kelvra::nlp::common::lang::cantonese::logger()->set_level(spdlog::level::warn);
  for (auto _ : state) {
    kelvra::nlp::common::lang::cantonese::Cantonese cantonese;
    benchmark::DoNotOptimize(&cantonese);
  }
  kelvra::nlp::common::lang::cantonese::logger()->set_level(spdlog::level::info);
}
BENCHMARK(BM_LoadShipped)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
