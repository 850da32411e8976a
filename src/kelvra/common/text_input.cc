#include "kelvra/common/text_input.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "kelvra/common/exceptions.h"

namespace kelvra::common::text_input {

std::vector<std::string_view> word_list(std::string_view content) {
  std::vector<std::string_view> words;
  const std::string_view text = without_byte_order_mark(content);
  for_each_line(text, LineEnd::kLineFeed, [&](std::string_view line, std::int64_t) {
    const std::string_view word = line.substr(0, line.find_first_of(" \t"));
    if (!word.empty()) words.push_back(word);
  });
  return words;
}

std::string read_file(const std::string& path, std::string_view what) {
  const std::string name(what);
  std::error_code error;
  if (std::filesystem::is_directory(path, error))
    throw FileError(path, "cannot read " + name + ": it is a directory");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileError(path, "cannot open " + name + ": " + std::strerror(errno));
  std::string content;
  if (const auto size = std::filesystem::file_size(path, error); !error) content.reserve(size);
  char block[1 << 16];
  while (in.read(block, sizeof block) || in.gcount() > 0)
    content.append(block, static_cast<std::size_t>(in.gcount()));
  if (in.bad()) throw FileError(path, "cannot read " + name + ": " + std::strerror(errno));
  return content;
}

}  // namespace kelvra::common::text_input
