// SPDX-License-Identifier: MIT
#include "text/text.hpp"

#include <cstring>

namespace tarnwick::text {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Length of a well-formed sequence starting at `i`, and its code point;
// 0 when the bytes there are ill-formed. `maximal` receives the length of the
// maximal subpart to replace when ill-formed (at least 1).
std::size_t decode_one(std::string_view s, std::size_t i, char32_t& out,
                       std::size_t& maximal) noexcept {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  maximal = 1;
  if (b0 < 0x80) {
    out = b0;
    return 1;
  }
  std::size_t need = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  char32_t cp = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1Fu;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0Fu;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07u;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) {
      maximal = k;
      return 0;
    }
    const unsigned char b = byte(i + k);
    const unsigned char low = k == 1 ? lo : 0x80;
    const unsigned char high = k == 1 ? hi : 0xBF;
    if (b < low || b > high) {
      maximal = k;
      return 0;
    }
    cp = (cp << 6) | (b & 0x3Fu);
  }
  out = cp;
  return need + 1;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes the character at `i` of valid UTF-8 text; returns its length.
std::size_t next_char(std::string_view s, std::size_t i, char32_t& cp) noexcept {
  std::size_t maximal = 0;
  const std::size_t n = decode_one(s, i, cp, maximal);
  if (n == 0) {
    cp = kReplacement;
    return maximal;
  }
  return n;
}

}  // namespace

std::string decode_utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    char32_t cp = 0;
    std::size_t maximal = 0;
    const std::size_t n = decode_one(bytes, i, cp, maximal);
    if (n == 0) {
      append_utf8(out, kReplacement);
      i += maximal;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::optional<std::vector<char32_t>> decode_utf8(std::string_view bytes) {
  std::vector<char32_t> out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    char32_t cp = 0;
    std::size_t maximal = 0;
    const std::size_t n = decode_one(bytes, i, cp, maximal);
    if (n == 0) {
      return std::nullopt;
    }
    out.push_back(cp);
    i += n;
  }
  return out;
}

bool is_unicode_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

bool is_blank(std::string_view utf8) noexcept {
  std::size_t i = 0;
  while (i < utf8.size()) {
    char32_t cp = 0;
    std::size_t maximal = 0;
    const std::size_t n = decode_one(utf8, i, cp, maximal);
    if (n == 0 || !is_unicode_white_space(cp)) {
      return false;
    }
    i += n;
  }
  return true;
}

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t lf = text.find('\n', start);
    if (lf == std::string_view::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    std::string_view line = text.substr(start, lf - start);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    lines.push_back(line);
    start = lf + 1;
  }
  return lines;
}

std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t i = 0;
  std::size_t field_start = std::string_view::npos;
  while (i < line.size()) {
    char32_t cp = 0;
    const std::size_t n = next_char(line, i, cp);
    if (is_unicode_white_space(cp)) {
      if (field_start != std::string_view::npos) {
        fields.push_back(line.substr(field_start, i - field_start));
        field_start = std::string_view::npos;
      }
    } else if (field_start == std::string_view::npos) {
      field_start = i;
    }
    i += n;
  }
  if (field_start != std::string_view::npos) {
    fields.push_back(line.substr(field_start));
  }
  return fields;
}

std::string_view trim_white_space(std::string_view text) noexcept {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool seen = false;
  std::size_t i = 0;
  while (i < text.size()) {
    char32_t cp = 0;
    const std::size_t n = next_char(text, i, cp);
    if (!is_unicode_white_space(cp)) {
      if (!seen) {
        begin = i;
        seen = true;
      }
      end = i + n;
    }
    i += n;
  }
  return seen ? text.substr(begin, end - begin) : std::string_view{};
}

std::string os_error_text(int error_number) {
  char buffer[256] = {};
  // The GNU strerror_r may return a static string instead of filling the buffer.
  const char* message = strerror_r(error_number, buffer, sizeof buffer);
  std::string out = message != nullptr ? message : "Unknown error";
  out += " (os error ";
  out += std::to_string(error_number);
  out += ")";
  return out;
}

std::string concat(std::initializer_list<std::string_view> parts) {
  std::size_t size = 0;
  for (const std::string_view part : parts) {
    size += part.size();
  }
  std::string joined;
  joined.reserve(size);
  for (const std::string_view part : parts) {
    joined.append(part);
  }
  return joined;
}

}  // namespace tarnwick::text
