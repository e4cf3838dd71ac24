#include "base/text.h"

#include "base/errors.h"

namespace fonwerk::text {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string AsciiLower(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = AsciiLower(c);
  return result;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

void RequireNoNul(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) {
    throw Error(errnum::kInvalidProcedureCall, "SQL-Text enthält ein NUL-Zeichen");
  }
}

std::string SqlQuote(std::string_view text) {
  RequireNoNul(text);
  std::string literal;
  literal.reserve(text.size() + 2);
  literal.push_back('\'');
  for (char c : text) {
    if (c == '\'') literal.push_back('\'');
    literal.push_back(c);
  }
  literal.push_back('\'');
  return literal;
}

}  // namespace fonwerk::text
