// Throughput of Cantonese to Mandarin on Cantonese text: the everyday
// sentences of bench/cantonese_pairs.tsv and bench/cantonese_sentences.txt,
// repeated to 8 MB, as one text and a sentence a line. Mandarin text is
// measured by normalization_bench.
#include <benchmark/benchmark.h>

#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <spdlog/spdlog.h>

#include "kelvra/nlp/common/lang/cantonese.h"

namespace {

namespace cantonese = kelvra::nlp::common::lang::cantonese;

std::vector<std::string> sentences() {
  std::vector<std::string> out;
  for (const char* name : {"/cantonese_pairs.tsv", "/cantonese_sentences.txt"}) {
    std::ifstream in(std::string(KELVRA_BENCH_DIR) + name);
    for (std::string line; std::getline(in, line);)
      if (!line.empty() && line[0] != '#') out.push_back(line.substr(0, line.find('\t')));
  }
  return out;
}

// The sentences in a random order, one a line, to 8 MB.
const std::string& corpus() {
  static const std::string text = [] {
    const std::vector<std::string> pool = sentences();
    std::mt19937 random(22);
    std::string out;
    while (out.size() < (8u << 20)) out += pool[random() % pool.size()] + "\n";
    return out;
  }();
  return text;
}

const cantonese::Cantonese& translator() {
  static const cantonese::Cantonese instance = [] {
    cantonese::logger()->set_level(spdlog::level::warn);
    return cantonese::Cantonese();
  }();
  return instance;
}

void BM_TranslateCantonese(benchmark::State& state) {
  corpus();
  for (auto _ : state) {
    std::string result = translator().translate(corpus());
    benchmark::DoNotOptimize(result.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus().size()));
}
BENCHMARK(BM_TranslateCantonese)->Unit(benchmark::kMillisecond);

void BM_TranslateCantoneseLines(benchmark::State& state) {
  std::vector<std::string_view> lines;
  for (std::size_t pos = 0; pos < corpus().size();) {
    const std::size_t end = corpus().find('\n', pos);
    lines.push_back(std::string_view(corpus()).substr(pos, end - pos));
    pos = end + 1;
  }
  for (auto _ : state) {
    for (std::string_view line : lines) {
      std::string result = translator().translate(line);
      benchmark::DoNotOptimize(result.data());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus().size()));
  state.counters["lines"] = static_cast<double>(lines.size());
}
BENCHMARK(BM_TranslateCantoneseLines)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
