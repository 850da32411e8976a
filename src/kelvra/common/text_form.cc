#include "kelvra/common/text_form.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include <utf8proc.h>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/utf8.h"

namespace kelvra::common {

bool is_printable(char32_t cp) noexcept {
  if (cp == U' ') return true;
  switch (utf8proc_category(static_cast<utf8proc_int32_t>(cp))) {
    case UTF8PROC_CATEGORY_CC:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_CS:
    case UTF8PROC_CATEGORY_CO:
    case UTF8PROC_CATEGORY_CN:
    case UTF8PROC_CATEGORY_ZS:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
      return false;
    default:
      return true;
  }
}

void append_quoted_text(std::string& out, std::string_view text) {
  bool has_single = text.find('\'') != std::string_view::npos;
  bool has_double = text.find('"') != std::string_view::npos;
  char quote = has_single && !has_double ? '"' : '\'';
  out.push_back(quote);
  for (std::size_t pos = 0; pos < text.size();) {
    std::size_t start = pos;
    char32_t cp = utf8::next(text, pos);
    if (cp == U'\\' || cp == static_cast<char32_t>(quote)) {
      out.push_back('\\');
      out.push_back(static_cast<char>(cp));
    } else if (cp == U'\t') {
      out += "\\t";
    } else if (cp == U'\n') {
      out += "\\n";
    } else if (cp == U'\r') {
      out += "\\r";
    } else if (cp >= 0x20 && cp < 0x7F) {
      out.push_back(static_cast<char>(cp));
    } else if (is_printable(cp)) {
      out.append(text.substr(start, pos - start));
    } else {
      char buf[12];
      if (cp < 0x100)
        std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(cp));
      else if (cp < 0x10000)
        std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
      else
        std::snprintf(buf, sizeof buf, "\\U%08x", static_cast<unsigned>(cp));
      out += buf;
    }
  }
  out.push_back(quote);
}

std::string quote_text(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  append_quoted_text(out, text);
  return out;
}

namespace {

// A real as Python prints it: the shortest digits that read back to the same
// value, positional when the decimal exponent lies in [-4, 16), scientific
// with a signed two-digit (at least) exponent otherwise.
void append_real(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "nan";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  char buf[64];
  auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(result.ptr - buf));
  bool negative = sci.front() == '-';
  if (negative) sci.remove_prefix(1);
  std::size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e))
    if (c != '.') digits.push_back(c);
  int exponent = 0;
  std::from_chars(sci.data() + e + 1 + (sci[e + 1] == '+'), sci.data() + sci.size(), exponent);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  if (negative) out.push_back('-');
  if (exponent >= -4 && exponent < 16) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    } else if (static_cast<std::size_t>(exponent) + 1 >= digits.size()) {
      out += digits;
      out.append(static_cast<std::size_t>(exponent) + 1 - digits.size(), '0');
      out += ".0";
    } else {
      out.append(digits, 0, static_cast<std::size_t>(exponent) + 1);
      out.push_back('.');
      out.append(digits, static_cast<std::size_t>(exponent) + 1);
    }
  } else {
    out.push_back(digits[0]);
    if (digits.size() > 1) {
      out.push_back('.');
      out.append(digits, 1);
    }
    char exp_buf[16];
    std::snprintf(exp_buf, sizeof exp_buf, "e%c%02d", exponent < 0 ? '-' : '+',
                  exponent < 0 ? -exponent : exponent);
    out += exp_buf;
  }
}

}  // namespace

namespace {

// `depth` is the number of maps and lists around `value`.
void append_nested(std::string& out, const Record& value, std::size_t depth) {
  if (value.is_structured() && ++depth > kMaxRecordDepth)
    throw KvException(ErrorCodes::INVALID_PARAMETERS, "a record nested deeper than " +
                                                          std::to_string(kMaxRecordDepth) +
                                                          " levels has no text form");
  switch (value.type()) {
    case Record::value_t::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, item] : value.items()) {
        if (!first) out += ", ";
        first = false;
        append_quoted_text(out, key);
        out += ": ";
        append_nested(out, item, depth);
      }
      out.push_back('}');
      break;
    }
    case Record::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& item : value) {
        if (!first) out += ", ";
        first = false;
        append_nested(out, item, depth);
      }
      out.push_back(']');
      break;
    }
    case Record::value_t::string:
      append_quoted_text(out, value.get_ref<const std::string&>());
      break;
    case Record::value_t::number_integer:
      out += std::to_string(value.get<std::int64_t>());
      break;
    case Record::value_t::number_unsigned:
      out += std::to_string(value.get<std::uint64_t>());
      break;
    case Record::value_t::number_float:
      append_real(out, value.get<double>());
      break;
    case Record::value_t::boolean:
      out += value.get<bool>() ? "True" : "False";
      break;
    case Record::value_t::null:
    case Record::value_t::discarded:
      out += "None";
      break;
    case Record::value_t::binary:
      out += "b''";
      break;
  }
}

}  // namespace

void append_text_form(std::string& out, const Record& value) { append_nested(out, value, 0); }

std::string to_text_form(const Record& value) {
  std::string out;
  append_text_form(out, value);
  return out;
}

}  // namespace kelvra::common
