#pragma once
// The text helpers every layer shares. They work on bytes (UTF-8 text passes
// through untouched): trimming removes blanks (character 32) only, case folding
// touches ASCII letters only, and nothing looks at the locale.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// Whether `text` holds `word`, comparing ASCII letters without regard to case.
// An empty word is found in every text.
inline bool ContainsNoCase(std::string_view text, std::string_view word) {
  if (word.size() > text.size()) return false;
  for (size_t i = 0; i + word.size() <= text.size(); ++i) {
    if (EqualsNoCase(text.substr(i, word.size()), word)) return true;
  }
  return false;
}

// `text` between double quotes with every double quote in it doubled: an SQL
// identifier as both SQLite and PostgreSQL read it, or a quoted value of a
// connection string.
inline std::string DoubleQuoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

// The pieces of `s` between the `separator` characters, in order: one more
// piece than there are separators (empty pieces included). The pieces point
// into `s`.
inline std::vector<std::string_view> Split(std::string_view s, char separator) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  for (size_t hit = s.find(separator); hit != std::string_view::npos;
       hit = s.find(separator, start)) {
    pieces.push_back(s.substr(start, hit - start));
    start = hit + 1;
  }
  pieces.push_back(s.substr(start));
  return pieces;
}

// Index just past the quote that closes the quoted text opening at `open`
// (the quote character is text[open]; a doubled quote inside stands for one,
// and with `backslash_escapes` a backslash takes the next character along);
// text.size() when the quoted text is not closed.
inline size_t EndOfQuoted(std::string_view text, size_t open, bool backslash_escapes = false) {
  const char quote = text[open];
  size_t i = open + 1;
  while (i < text.size()) {
    if (backslash_escapes && text[i] == '\\') {
      i += 2;
    } else if (text[i] != quote) {
      ++i;
    } else if (i + 1 < text.size() && text[i + 1] == quote) {
      i += 2;
    } else {
      return i + 1;
    }
  }
  return text.size();
}

}  // namespace fonwerk::text
