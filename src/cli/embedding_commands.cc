// embed vector / embed similar / embed save: word vectors and similar words
// from a word2vec file or a saved store, and saving one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "kelvra/common/exceptions.h"
#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/embedding/embedding.h"

namespace kelvra::cli {

namespace {

using nlp::common::embedding::embedding::Embedding;

struct EmbedOptions {
  std::string model;
  bool binary = false;
};

// Whether the file at `path` looks like the binary variant: after its
// header line come raw floats, which are almost never UTF-8 text for long.
// Absent when the file cannot be read, is not a regular file (what a pipe
// had to say has been read by the loader), has no header line, or is a
// saved store (which needs no flag).
std::optional<bool> looks_binary(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::string head(4096, '\0');
  ssize_t got = -1;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) got = ::pread(fd, head.data(), head.size(), 0);
  ::close(fd);
  if (got <= 0) return std::nullopt;
  head.resize(static_cast<std::size_t>(got));
  if (head.starts_with(nlp::common::embedding::embedding::kSavedStoreMagic)) return std::nullopt;
  const std::size_t line_end = head.find('\n');
  if (line_end == std::string::npos || line_end + 1 >= head.size()) return std::nullopt;
  std::string_view body = std::string_view(head).substr(line_end + 1);
  // The last code point may be cut by the 4 KiB read.
  while (!body.empty() && (static_cast<unsigned char>(body.back()) & 0x80) != 0)
    body.remove_suffix(1);
  return body.find('\0') != std::string_view::npos || !common::utf8::is_valid(body);
}

// Loads the vectors, showing how far loading has got on standard error when
// it is a terminal and the load takes long enough to keep the user waiting.
Embedding load(const EmbedOptions& options) {
  const ProgressMode mode = progress_mode(false, false);
  std::optional<Progress> progress;  // made at the first block, when the size is known
  std::uint64_t loaded = 0;
  nlp::common::embedding::embedding::LoadProgress on_block;
  if (mode != ProgressMode::kOff) {
    on_block = [&](std::uint64_t done, std::uint64_t total) {
      // A total no larger than what is read says the size is not known (a pipe).
      if (!progress) progress.emplace("loading " + options.model, done < total ? total : 0, mode);
      progress->update(done);
      loaded = done;
    };
  }
  try {
    Embedding embedding(options.model, options.binary, on_block);
    if (progress) progress->finish(loaded);
    return embedding;
  } catch (const common::FileError& e) {
    // The progress line, if shown, is ended as `progress` goes, before the
    // message. A file in the other variant fails somewhere in its first
    // lines; say which flag would read it.
    const auto binary = looks_binary(options.model);
    if (binary && *binary != options.binary) {
      throw InputError(std::string(e.what()) +
                       (*binary ? " (the file looks like the binary variant: try --binary)"
                                : " (the file looks like the text variant: try without --binary)"));
    }
    throw;
  }
}

// Floats in their shortest form that reads back to the same float.
void append_float(std::string& out, float value) {
  char buffer[32];
  auto res = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, res.ptr);
}

// Checked before the (possibly long) load.
void require_utf8_words(const std::vector<std::string>& words) {
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (!common::utf8::is_valid(words[i])) {
      throw InputError("WORD " + std::to_string(i + 1) + " is not valid UTF-8");
    }
  }
}

void print_line(const std::string& line) {
  Output& output = Output::standard();
  output.buffer() += line;
  output.buffer() += '\n';
  output.flush_if_large();
}

void add_vector(CLI::App& embed, const std::shared_ptr<EmbedOptions>& shared) {
  struct Options {
    std::vector<std::string> words;
    std::int64_t min_n = 1;
    std::int64_t max_n = 3;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = embed.add_subcommand(
      "vector",
      "Print the vector of each WORD: its unit vector when it is in the vocabulary,\n"
      "else the mean of its known character n-grams. One JSON line per word,\n"
      "{\"word\":...,\"vector\":[...]}.");
  cmd->add_option("WORD", options->words, "Words to look up")->required();
  cmd->add_option("--min-n", options->min_n,
                  "Shortest n-gram, in characters (below 1 counts from 1)")
      ->capture_default_str();
  cmd->add_option("--max-n", options->max_n,
                  "Longest n-gram, in characters; below --min-n there are no n-grams, so\n"
                  "only vocabulary words are found")
      ->capture_default_str();
  cmd->callback([shared, options] {
    require_utf8_words(options->words);
    Embedding embedding = load(*shared);
    for (const auto& word : options->words) {
      std::vector<float> vector = embedding.word2vec(word, options->min_n, options->max_n);
      std::string line = "{\"word\":";
      append_json_string(line, word);
      line += ",\"vector\":[";
      for (std::size_t i = 0; i < vector.size(); ++i) {
        if (i > 0) line += ',';
        append_float(line, vector[i]);
      }
      line += "]}";
      print_line(line);
    }
  });
}

void add_similar(CLI::App& embed, const std::shared_ptr<EmbedOptions>& shared) {
  struct Options {
    std::string word;
    std::int64_t topk = 10;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = embed.add_subcommand(
      "similar",
      "Print the vocabulary words most similar to WORD (cosine of the vectors),\n"
      "most similar first, one JSON line each: {\"word\":...,\"similarity\":...}.");
  cmd->add_option("WORD", options->word, "A vocabulary word")->required();
  cmd->add_option("--topk", options->topk, "How many words to list")
      ->capture_default_str()
      ->check(at_least(1));
  cmd->callback([shared, options] {
    require_utf8_words({options->word});
    Embedding embedding = load(*shared);
    for (const auto& [word, similarity] : embedding.most_similar(options->word, options->topk)) {
      std::string line = "{\"word\":";
      append_json_string(line, word);
      line += ",\"similarity\":";
      append_float(line, similarity);
      line += "}";
      print_line(line);
    }
  });
}

void add_save(CLI::App& embed, const std::shared_ptr<EmbedOptions>& shared) {
  auto out = std::make_shared<std::string>();
  auto* cmd = embed.add_subcommand(
      "save",
      "Save the store to OUT in the native format: `embed --model OUT ...` then\n"
      "maps it into memory in milliseconds instead of reading the word2vec file,\n"
      "and processes that load the same file share its memory. Vectors and\n"
      "similar words stay exactly the same.");
  cmd->add_option("OUT", *out, "The file to write; it is replaced whole, never left half-written")
      ->required();
  cmd->callback([shared, out] {
    const Embedding embedding = load(*shared);
    try {
      embedding.save(*out);
    } catch (const common::FileError& e) {
      throw InputError("OUT " + std::string(e.what()));
    }
  });
}

}  // namespace

void add_embedding_commands(CLI::App& app) {
  auto options = std::make_shared<EmbedOptions>();
  auto* embed = app.add_subcommand(
      "embed",
      "Word vectors from a word2vec file (text, or binary with --binary) or from a\n"
      "store saved by `embed ... save`: the vector of words (vector), the most\n"
      "similar words (similar), or the store saved in the native format (save).");
  embed
      ->add_option("--model", options->model,
                   "The word2vec file, or a store saved by `embed ... save` (known by its\n"
                   "first bytes; it loads in milliseconds)")
      ->required();
  embed->add_flag("--binary", options->binary,
                  "The word2vec file is in the binary variant (a saved store needs no flag)");
  embed->require_subcommand(1);
  add_vector(*embed, options);
  add_similar(*embed, options);
  add_save(*embed, options);
}

}  // namespace kelvra::cli
