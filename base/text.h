#pragma once
// The text helpers every layer shares. They work on bytes (UTF-8 text passes
// through untouched): trimming removes blanks (character 32) only, case folding
// touches ASCII letters only, and nothing looks at the locale.

#include <cstdint>
#include <string>
#include <string_view>

namespace fonwerk::text {

// ASCII-only case folding; other bytes are left alone.
char AsciiLower(char c);
std::string AsciiLower(std::string_view text);

// Equal but for the case of ASCII letters.
bool EqualsNoCase(std::string_view a, std::string_view b);

// `text` as a single-quoted SQL literal with every ' doubled. Nothing else is
// escaped: backslashes stay literal, as both SQLite and PostgreSQL (with
// standard_conforming_strings on, its default) read them.
// Throws Error 5 when `text` holds a NUL byte, which no statement text can carry.
std::string SqlQuote(std::string_view text);

// `s` without leading and trailing blanks.
inline std::string_view TrimBlanks(std::string_view s) {
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const size_t last = s.find_last_not_of(' ');
  return s.substr(first, last - first + 1);
}

// Every non-overlapping occurrence of `from` (searched left to right) replaced
// by `to`. An empty `from` leaves the text unchanged.
inline std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to) {
  std::string out;
  if (from.empty()) return std::string(s);
  out.reserve(s.size());
  size_t pos = 0;
  for (size_t hit = s.find(from); hit != std::string_view::npos; hit = s.find(from, pos)) {
    out.append(s.substr(pos, hit - pos)).append(to);
    pos = hit + from.size();
  }
  out.append(s.substr(pos));
  return out;
}

// The leftmost `max_chars` characters of UTF-8 text (a byte that is not a
// continuation byte starts a character). A width of zero or below means the
// column has no declared width: the text is kept whole.
inline std::string_view LeftCharsView(std::string_view s, int32_t max_chars) {
  if (max_chars <= 0) return s;
  int32_t chars = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const auto byte = static_cast<unsigned char>(s[i]);
    if ((byte & 0xC0) != 0x80) {
      if (chars == max_chars) return s.substr(0, i);
      ++chars;
    }
  }
  return s;
}

inline std::string LeftChars(std::string_view s, int32_t max_chars) {
  return std::string(LeftCharsView(s, max_chars));
}

// ASCII upper case; other bytes stay.
inline std::string UpperAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// Throws Error 5 when `text` holds a NUL byte, which neither a statement nor a
// bound parameter can carry; does nothing otherwise.
void RequireNoNul(std::string_view text);

}  // namespace fonwerk::text
