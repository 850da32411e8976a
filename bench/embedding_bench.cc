// Loading the benchmark's word2vec file (both variants, and the store saved
// from it: mapped, or from bytes as unpickling does) and searching it: one
// query at a time and 64 at once. With --dump FILE it then times the
// same work plainly and writes the figures, sample vectors and neighbour
// lists as JSON, for bench/embedding_peer.py to set beside the peer's.
//
// The files come from make_embeddings, in $KELVRA_BENCH_DATA (default
// bench/data): embedding.txt and embedding.bin.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "kelvra/common/record.h"
#include "kelvra/nlp/common/embedding/embedding.h"

namespace {

using kelvra::nlp::common::embedding::embedding::Embedding;

std::string data_file(bool binary) {
  const char* dir = std::getenv("KELVRA_BENCH_DATA");
  return std::string(dir != nullptr ? dir : "bench/data") +
         (binary ? "/embedding.bin" : "/embedding.txt");
}

std::uint64_t file_size(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

const Embedding& shared_embedding() {
  static const Embedding embedding(data_file(true), true);
  return embedding;
}

// The store saved from the binary variant, in a file of this process's own.
const std::string& saved_file() {
  static const std::string path = [] {
    std::string p = std::filesystem::temp_directory_path() /
                    ("embedding_bench_" + std::to_string(::getpid()) + ".kvwv");
    shared_embedding().save(p);
    return p;
  }();
  return path;
}

// Query words spread over the vocabulary, the same on every run.
std::vector<std::string> query_words(const Embedding& embedding, std::size_t count,
                                     std::size_t salt = 0) {
  const auto& wv = embedding.wv_from_text();
  std::vector<std::string> words;
  for (std::size_t i = 0; i < count; ++i) words.emplace_back(wv.word((i * 997 + salt) % wv.size()));
  return words;
}

void BM_Load(benchmark::State& state, bool binary) {
  const std::string path = data_file(binary);
  for (auto _ : state) {
    Embedding embedding(path, binary);
    benchmark::DoNotOptimize(embedding.wv_from_text().matrix().data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file_size(path)));
}
BENCHMARK_CAPTURE(BM_Load, text, false)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Load, binary, true)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();

// The saved store: mapped and checked.
void BM_LoadSaved(benchmark::State& state) {
  const std::string& path = saved_file();
  for (auto _ : state) {
    Embedding embedding(path);
    benchmark::DoNotOptimize(embedding.wv_from_text().matrix().data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file_size(path)));
}
BENCHMARK(BM_LoadSaved)->Unit(benchmark::kMillisecond)->UseRealTime();

// From bytes in memory, as unpickling does: a copy, then the same checks.
void BM_FromBytes(benchmark::State& state) {
  const std::string bytes = shared_embedding().to_bytes();
  for (auto _ : state) {
    Embedding embedding = Embedding::from_bytes(bytes);
    benchmark::DoNotOptimize(embedding.wv_from_text().matrix().data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_FromBytes)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Save(benchmark::State& state) {
  for (auto _ : state) shared_embedding().save(saved_file());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file_size(saved_file())));
}
BENCHMARK(BM_Save)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MostSimilar(benchmark::State& state) {
  const Embedding& embedding = shared_embedding();
  const auto words = query_words(embedding, 256);
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(embedding.most_similar(words[i++ % words.size()], 10));
  }
  state.counters["per_query"] =
      benchmark::Counter(static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_MostSimilar)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MostSimilarBatch(benchmark::State& state) {
  const Embedding& embedding = shared_embedding();
  const std::size_t batch = static_cast<std::size_t>(state.range(0));
  const auto words = query_words(embedding, batch * 4);
  std::size_t i = 0;
  for (auto _ : state) {
    std::span<const std::string> slice(words.data() + (i++ % 4) * batch, batch);
    benchmark::DoNotOptimize(embedding.most_similar_batch(slice, 10));
  }
  state.counters["per_query"] =
      benchmark::Counter(static_cast<double>(state.iterations() * batch),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_MostSimilarBatch)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

kelvra::Record neighbours_json(const kelvra::nlp::common::embedding::embedding::Neighbours& list) {
  kelvra::Record out = kelvra::Record::array();
  for (const auto& [word, similarity] : list) out.push_back({word, similarity});
  return out;
}

// Plain timings plus what the peer's results are checked against.
int dump(const std::string& out_path) {
  using clock = std::chrono::steady_clock;
  kelvra::Record figures = kelvra::Record::object();
  // Best of three loads of each variant: the machine is shared, and the
  // fastest run is the one least disturbed.
  std::unique_ptr<Embedding> stores[2];
  for (bool binary : {false, true}) {
    const std::string path = data_file(binary);
    double best = 1e30;
    for (int run = 0; run < 3; ++run) {
      stores[binary].reset();
      auto start = clock::now();
      stores[binary] = std::make_unique<Embedding>(path, binary);
      best = std::min(best, seconds_since(start));
    }
    figures[binary ? "load_binary_mb_s" : "load_text_mb_s"] = file_size(path) / 1e6 / best;
    figures[binary ? "load_binary_s" : "load_text_s"] = best;
    figures[binary ? "binary_mb" : "text_mb"] = file_size(path) / 1e6;
  }
  const Embedding& text = *stores[0];
  const Embedding& binary = *stores[1];
  {
    double best = 1e30;
    for (int run = 0; run < 5; ++run) {
      auto start = clock::now();
      const Embedding saved(saved_file());
      best = std::min(best, seconds_since(start));
    }
    figures["load_saved_s"] = best;
    figures["saved_mb"] = file_size(saved_file()) / 1e6;
    figures["saved_speedup_over_text"] = figures["load_text_s"].get<double>() / best;
    const Embedding saved(saved_file());
    const auto m = saved.wv_from_text().matrix(), t = text.wv_from_text().matrix();
    if (m.size() != t.size() || std::memcmp(m.data(), t.data(), m.size_bytes()) != 0) {
      std::fprintf(stderr, "embedding_bench: the saved store differs from the text one\n");
      return 1;
    }
  }
  // Both variants must hold the same numbers.
  const auto a = text.wv_from_text().matrix();
  const auto b = binary.wv_from_text().matrix();
  if (a.size() != b.size() || std::memcmp(a.data(), b.data(), a.size_bytes()) != 0) {
    std::fprintf(stderr, "embedding_bench: text and binary stores differ\n");
    return 1;
  }

  const auto singles = query_words(binary, 200, 13);
  auto start = clock::now();
  std::vector<kelvra::nlp::common::embedding::embedding::Neighbours> single_results;
  for (const auto& word : singles) single_results.push_back(binary.most_similar(word, 10));
  figures["most_similar_ms_per_query"] = seconds_since(start) * 1e3 / singles.size();

  const auto batch_words = query_words(binary, 64 * 4, 29);
  start = clock::now();
  std::vector<kelvra::nlp::common::embedding::embedding::Neighbours> batch_results;
  for (std::size_t i = 0; i < 4; ++i) {
    auto part = binary.most_similar_batch(
        std::span<const std::string>(batch_words.data() + i * 64, 64), 10);
    for (auto& r : part) batch_results.push_back(std::move(r));
  }
  figures["batch64_ms_per_query"] = seconds_since(start) * 1e3 / batch_words.size();

  kelvra::Record out = kelvra::Record::object();
  out["figures"] = figures;
  kelvra::Record vectors = kelvra::Record::object();
  for (const auto& word : query_words(text, 50, 5)) {
    auto v = text.word2vec(word);
    vectors[word] = kelvra::Record(std::vector<double>(v.begin(), v.end()));
  }
  out["vectors"] = vectors;
  kelvra::Record similar = kelvra::Record::object();
  for (std::size_t i = 0; i < singles.size(); ++i)
    similar[singles[i]] = neighbours_json(single_results[i]);
  for (std::size_t i = 0; i < batch_words.size(); ++i) {
    similar[batch_words[i]] = neighbours_json(batch_results[i]);
  }
  out["similar"] = similar;
  std::ofstream(out_path) << out.dump() << '\n';
  std::printf("embedding_bench: figures and samples in %s\n%s\n", out_path.c_str(),
              figures.dump(2).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dump_path;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--dump") == 0 && i + 1 < argc) {
      dump_path = argv[++i];
    } else {
      args.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (file_size(data_file(false)) == 0 || file_size(data_file(true)) == 0) {
    std::fprintf(stderr, "embedding_bench: no %s; run make_embeddings first\n",
                 data_file(false).c_str());
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const int status = dump_path.empty() ? 0 : dump(dump_path);
  std::remove(saved_file().c_str());
  return status;
}
