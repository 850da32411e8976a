// Writes the benchmark's word2vec file in both variants: 100,000 words
// (Chinese words of one to four characters and Latin words), 300
// dimensions, six decimals in the text variant and the same numbers as
// floats in the binary one (with a line feed after each vector, as the
// common tools write it). The same run always writes the same files.
//
// Usage: make_embeddings DIR [ROWS [DIMS]]  ->  DIR/embedding.txt, DIR/embedding.bin
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::vector<std::string> make_words(std::size_t rows, std::mt19937& rng) {
  static const char* kSyllables[] = {"ka", "lo", "mi",  "ne",   "ru",  "sta",  "tion", "ber", "qu",
                                     "in", "or", "the", "data", "vec", "ling", "ex",   "pro", "al"};
  std::unordered_set<std::string> seen;
  std::vector<std::string> words;
  words.reserve(rows);
  std::uniform_int_distribution<int> cjk(0x4E00, 0x4E00 + 3500);  // common characters
  while (words.size() < rows) {
    std::string word;
    if (words.size() % 2 == 0) {
      int length = 1 + static_cast<int>(rng() % 4);
      for (int i = 0; i < length; ++i) append_utf8(word, static_cast<char32_t>(cjk(rng)));
    } else {
      int parts = 1 + static_cast<int>(rng() % 4);
      for (int i = 0; i < parts; ++i) word += kSyllables[rng() % std::size(kSyllables)];
      if (rng() % 5 == 0) word[0] = static_cast<char>(word[0] - 'a' + 'A');
    }
    if (seen.insert(word).second) words.push_back(std::move(word));
  }
  return words;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make_embeddings DIR [ROWS [DIMS]]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const std::size_t rows = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 100000;
  const std::size_t dims = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 300;
  std::mt19937 rng(20240517);
  std::vector<std::string> words = make_words(rows, rng);
  std::normal_distribution<float> normal(0.0f, 0.15f);

  FILE* text = std::fopen((dir + "/embedding.txt").c_str(), "wb");
  FILE* binary = std::fopen((dir + "/embedding.bin").c_str(), "wb");
  if (text == nullptr || binary == nullptr) {
    std::perror(dir.c_str());
    return 1;
  }
  std::fprintf(text, "%zu %zu\n", rows, dims);
  std::fprintf(binary, "%zu %zu\n", rows, dims);
  std::string line;
  std::vector<float> vector(dims);
  for (const auto& word : words) {
    line = word;
    for (std::size_t d = 0; d < dims; ++d) {
      char buffer[32];
      auto res =
          std::to_chars(buffer, buffer + sizeof buffer, normal(rng), std::chars_format::fixed, 6);
      line += ' ';
      line.append(buffer, res.ptr);
      std::from_chars(buffer, res.ptr, vector[d]);  // the binary holds what the text says
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), text);
    std::fwrite(word.data(), 1, word.size(), binary);
    std::fputc(' ', binary);
    std::fwrite(vector.data(), sizeof(float), dims, binary);
    std::fputc('\n', binary);
  }
  if (std::fclose(text) != 0 || std::fclose(binary) != 0) {
    std::perror(dir.c_str());
    return 1;
  }
  std::printf("make_embeddings: %zu words x %zu dimensions in %s/embedding.{txt,bin}\n", rows, dims,
              dir.c_str());
  return 0;
}
