// Reduction of a telephone number to its stored form.

#include "phone/stored_number.h"

#include "base/text.h"

namespace fonwerk {
namespace {

constexpr std::size_t kLongestCountryCode = 3;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// `text` without the "(" vaz ")" that follows plus, a country code of one to
// three digits and optional blanks at its start; otherwise `text` itself.
std::string WithoutBracketedTrunkPrefix(std::string text, const std::string& plus,
                                        const std::string& vaz) {
  if (plus.empty() || vaz.empty() || text.compare(0, plus.size(), plus) != 0) return text;
  std::size_t pos = plus.size();
  const std::size_t code_start = pos;
  while (pos < text.size() && IsDigit(text[pos])) ++pos;
  const std::size_t code_length = pos - code_start;
  if (code_length == 0 || code_length > kLongestCountryCode) return text;
  while (pos < text.size() && text[pos] == ' ') ++pos;
  const std::string bracketed = "(" + vaz + ")";
  if (text.compare(pos, bracketed.size(), bracketed) != 0) return text;
  return text.erase(pos, bracketed.size());
}

}  // namespace

std::string StoredNumber(std::string_view number, const cCanonicalTelephone& rules,
                         com::IUtil& util) {
  std::string text = text::ReplaceAll(text::TrimBlanks(number), "+", rules.Plus);
  text = WithoutBracketedTrunkPrefix(std::move(text), rules.Plus, rules.VAZ);
  const std::string own_prefix = rules.Plus + rules.code;
  // Without a known own code there is no own-country prefix to recognise.
  if (rules.Suspress && !rules.code.empty() &&
      text.compare(0, own_prefix.size(), own_prefix) == 0) {
    text = rules.VAZ + text.substr(own_prefix.size());
  }
  return util.NurZahlen(text);
}

}  // namespace fonwerk
