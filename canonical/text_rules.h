#pragma once
// Text rules shared by the class's operations. Trimming removes blanks
// (character 32) only; comparisons are exact, by character code.

#include <cstdint>
#include <string>
#include <string_view>

namespace fonwerk::text {

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

}  // namespace fonwerk::text
