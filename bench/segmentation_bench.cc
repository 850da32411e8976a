// Throughput of sentence splitting and sectioning over 8 MB of Chinese text.
#include <benchmark/benchmark.h>

#include "bench/corpus.h"
#include "kelvra/nlp/common/phraser.h"
#include "kelvra/nlp/common/sectioner.h"

namespace {

const std::string& corpus() {
  static const std::string text = kelvra::bench::chinese_corpus(8 << 20);
  return text;
}

void BM_PhraserSplitText(benchmark::State& state) {
  kelvra::nlp::common::phraser::Phraser phraser;
  std::size_t sentences = 0;
  for (auto _ : state) {
    auto result = phraser.split(corpus());
    sentences = result.size();
    benchmark::DoNotOptimize(result.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus().size()));
  state.counters["sentences"] = static_cast<double>(sentences);
}
BENCHMARK(BM_PhraserSplitText)->Unit(benchmark::kMillisecond);

void BM_SectionerNer510(benchmark::State& state) {
  kelvra::nlp::common::sectioner::Sectioner sectioner;
  kelvra::Record input{{"text", corpus()}, {"length", 510}};
  std::size_t segments = 0;
  for (auto _ : state) {
    auto result = sectioner.split(input, "ner");
    segments = result.size();
    benchmark::DoNotOptimize(result.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus().size()));
  state.counters["segments"] = static_cast<double>(segments);
}
BENCHMARK(BM_SectionerNer510)->Unit(benchmark::kMillisecond);

// One call on a short text: the fixed cost of a call, which the Python
// benchmark (bench/python_peer.py) compares its own call with.
void BM_SectionerNerShort(benchmark::State& state) {
  kelvra::nlp::common::sectioner::Sectioner sectioner;
  kelvra::Record input{{"text", "你好。再见！谢谢。"}, {"length", 510}};
  for (auto _ : state) {
    auto result = sectioner.split(input, "ner");
    benchmark::DoNotOptimize(result.data());
  }
}
BENCHMARK(BM_SectionerNerShort);

}  // namespace

BENCHMARK_MAIN();
