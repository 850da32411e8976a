// Time of the first Cantonese translator a process makes with the shipped
// data: OpenCC's set-up, the dictionary, the Mandarin word list and the
// segmenter. Prints wall and CPU milliseconds; bench/cantonese_measure.py
// runs it several times and reports the median. Arguments, each optional:
// DICT WORDS RULES, files to load instead of the shipped ones.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include <spdlog/spdlog.h>

#include "kelvra/nlp/common/lang/cantonese.h"

namespace {

double cpu_ms() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  namespace cantonese = kelvra::nlp::common::lang::cantonese;
  cantonese::logger()->set_level(spdlog::level::warn);
  const auto wall = std::chrono::steady_clock::now();
  const double cpu = cpu_ms();
  const auto file = [&](int index) -> std::optional<std::string> {
    if (index < argc) return std::string(argv[index]);
    return std::nullopt;
  };
  cantonese::Cantonese translator(file(1), file(2), file(3));
  const double cpu_spent = cpu_ms() - cpu;
  const double wall_spent =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wall).count();
  std::printf("%.2f %.2f %zu\n", wall_spent, cpu_spent, translator._c2m().size());
  return 0;
}
