#include "cli/cli.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

#include "kelvra/common/utf8.h"

namespace kelvra::cli {

namespace utf8 = kelvra::common::utf8;

std::string source_name(const std::string& path) {
  return path.empty() || path == "-" ? "stdin" : path;
}

std::string read_input(const std::string& path) {
  if (path.empty() || path == "-") {
    std::string content((std::istreambuf_iterator<char>(std::cin)),
                        std::istreambuf_iterator<char>());
    if (std::cin.bad()) throw InputError("stdin: cannot read standard input");
    return content;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw InputError(path + ": cannot open: " + std::strerror(errno));
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw InputError(path + ": cannot read");
  return content;
}

std::string read_text_input(const std::string& path) {
  std::string content = read_input(path);
  require_utf8(content, source_name(path));
  return content;
}

namespace {

std::int64_t line_of(std::string_view text, std::size_t byte) {
  byte = std::min(byte, text.size());
  return 1 + std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(byte), '\n');
}

}  // namespace

void require_utf8(std::string_view text, const std::string& source) {
  std::size_t bad = utf8::find_invalid(text);
  if (bad == utf8::npos) return;
  throw InputError(source + ":" + std::to_string(line_of(text, bad)) +
                   ": input is not valid UTF-8 (bad byte at offset " + std::to_string(bad) + ")");
}

Record parse_json(std::string_view text, const std::string& source, std::int64_t first_line) {
  // Copying, comparing and printing a record recurse once per level.
  if (std::size_t byte = kelvra::common::find_excess_nesting(text); byte != utf8::npos)
    throw InputError(source + ":" + std::to_string(first_line - 1 + line_of(text, byte)) +
                     ": JSON nested deeper than " + std::to_string(kelvra::common::kMaxRecordDepth) +
                     " levels");
  try {
    return Record::parse(text);
  } catch (const Record::parse_error& e) {
    // The parser reports the byte after the one it stopped at.
    std::size_t byte = e.byte > 0 ? e.byte - 1 : 0;
    throw InputError(source + ":" + std::to_string(first_line - 1 + line_of(text, byte)) +
                     ": not valid JSON: " + e.what());
  }
}

void for_each_line(std::string_view text,
                   const std::function<void(std::string_view, std::int64_t)>& visit) {
  std::int64_t number = 0;
  for (std::size_t begin = 0; begin < text.size();) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    visit(line, ++number);
    begin = end + 1;
  }
}

void print_json_line(const Record& record) {
  std::string line = record.dump();
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stdout);
}

std::vector<std::string> split_code_points(const std::string& chars, const std::string& option) {
  if (!utf8::is_valid(chars)) throw InputError(option + ": not valid UTF-8");
  std::vector<std::string> out;
  for (std::size_t pos = 0; pos < chars.size();) {
    std::size_t start = pos;
    utf8::next(chars, pos);
    out.emplace_back(chars.substr(start, pos - start));
  }
  return out;
}

}  // namespace kelvra::cli
