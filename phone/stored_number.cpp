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

// The position right behind the digits of `prefix` when the digits of `text`
// begin with them (any other characters before and between them skipped),
// else npos.
std::size_t EndOfLeadingDigits(std::string_view text, std::string_view prefix) {
  std::size_t pos = 0;
  for (const char digit : prefix) {
    while (pos < text.size() && !IsDigit(text[pos])) ++pos;
    if (pos == text.size() || text[pos] != digit) return std::string_view::npos;
    ++pos;
  }
  return pos;
}

// `rest`, the text behind an own-country prefix, without a "(" vaz ")" that
// follows it after separators ("(+49) (0)89", "+49-(0)89").
std::string WithoutTrunkPrefixAhead(std::string rest, const std::string& vaz) {
  std::size_t pos = rest.find_first_not_of(" \t)-./");
  if (pos == std::string::npos) return rest;
  const std::string bracketed = "(" + vaz + ")";
  if (rest.compare(pos, bracketed.size(), bracketed) == 0) rest.erase(pos, bracketed.size());
  return rest;
}

// `text` in national form while its digits begin with the own-country prefix
// Plus + code. Each round takes more digits than it puts back (VAZ is
// shorter than the prefix), or there is only one round, so this ends.
std::string InNationalForm(std::string text, const cCanonicalTelephone& rules) {
  const std::string own_prefix = rules.Plus + rules.code;
  const bool repeat = rules.VAZ.size() < own_prefix.size();
  for (bool again = true; again; again = repeat) {
    const std::size_t end = EndOfLeadingDigits(text, own_prefix);
    if (end == std::string_view::npos) break;
    std::string rest = text.substr(end);
    if (!rules.Plus.empty() && !rules.VAZ.empty()) {
      rest = WithoutTrunkPrefixAhead(std::move(rest), rules.VAZ);
    }
    text = rules.VAZ + rest;
  }
  return text;
}

}  // namespace

std::string StoredNumber(std::string_view number, const cCanonicalTelephone& rules,
                         com::IUtil& util) {
  std::string text = text::ReplaceAll(text::TrimBlanks(number), "+", rules.Plus);
  text = WithoutBracketedTrunkPrefix(std::move(text), rules.Plus, rules.VAZ);
  // Without a known own code there is no own-country prefix to recognise.
  if (rules.Suspress && !rules.code.empty()) text = InNationalForm(std::move(text), rules);
  return util.NurZahlen(text);
}

std::string_view StoredAddress(std::string_view address) {
  constexpr std::string_view kAround = " \t\r\n";
  const std::size_t first = address.find_first_not_of(kAround);
  if (first == std::string_view::npos) return {};
  return address.substr(first, address.find_last_not_of(kAround) - first + 1);
}

}  // namespace fonwerk
