// Reading an incoming caller identification: numbers, tel: and sip: URIs,
// e-mail addresses.

#include "phone/incoming_number.h"

#include <optional>
#include <vector>

#include "base/text.h"
#include "phone/stored_number.h"

namespace fonwerk {
namespace {

constexpr std::string_view kWhitespace = " \t\r\n\v\f";
// RFC 3966 visual separators, and the blank a decoded "%20" gives.
constexpr std::string_view kVisualSeparators = "-.() ";

enum class Scheme { kNone, kTel, kSip, kMailto };

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view Trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kWhitespace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kWhitespace) - first + 1);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `text` with every "%" and two hex digits replaced by the byte they stand
// for (RFC 3986, 2.1); nullopt when a "%" is not followed by two hex digits.
std::optional<std::string> PercentDecoded(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded += text[i];
      continue;
    }
    const int high = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
    const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
    if (high < 0 || low < 0) return std::nullopt;
    decoded += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return decoded;
}

struct SchemeAndRest {
  Scheme scheme = Scheme::kNone;
  std::string_view rest;  // what follows the scheme's ":"
};

// The scheme `text` starts with, when it is a URI: a URI has no blanks, so
// "Tel: 089 123456" is a number as typed, not a tel: URI.
SchemeAndRest SchemeOf(std::string_view text) {
  if (text.find_first_of(kWhitespace) != std::string_view::npos) return {};
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return {};
  const std::string name = text::AsciiLower(text.substr(0, colon));
  const std::string_view rest = text.substr(colon + 1);
  if (name == "tel") return {Scheme::kTel, rest};
  if (name == "sip" || name == "sips") return {Scheme::kSip, rest};
  if (name == "mailto") return {Scheme::kMailto, rest};
  return {};
}

// The URI in the angle brackets of a name-addr, when the brackets hold a URI
// of a known scheme or an address; "<" inside a quoted display name does not
// count.
std::optional<std::string_view> NameAddrUri(std::string_view text) {
  std::size_t open = 0;
  while (open < text.size() && text[open] != '<') {
    open = text[open] == '"' ? text::EndOfQuoted(text, open, true) : open + 1;
  }
  const std::size_t close = open < text.size() ? text.find('>', open) : std::string_view::npos;
  if (close == std::string_view::npos) return std::nullopt;
  const std::string_view inner = Trimmed(text.substr(open + 1, close - open - 1));
  if (SchemeOf(inner).scheme == Scheme::kNone && inner.find('@') == std::string_view::npos) {
    return std::nullopt;
  }
  return inner;
}

// `text` decoded, when it is made of digits and visual separators only, with
// at least one digit, and a "+" in front where `global_allowed`.
std::optional<std::string> PhoneDigits(std::string_view text, bool global_allowed) {
  std::optional<std::string> decoded = PercentDecoded(text);
  if (!decoded) return std::nullopt;
  bool has_digit = false;
  for (std::size_t i = 0; i < decoded->size(); ++i) {
    const char c = (*decoded)[i];
    if (IsDigit(c)) {
      has_digit = true;
    } else if (!(c == '+' && i == 0 && global_allowed) &&
               kVisualSeparators.find(c) == std::string_view::npos) {
      return std::nullopt;
    }
  }
  if (!has_digit) return std::nullopt;
  return decoded;
}

// The number a telephone-subscriber names (RFC 3966: the number, then
// ";name=value" parameters), as text for StoredNumber: a local number behind
// the digits of a global phone-context, the extension's digits at the end.
// nullopt when it is no telephone number.
std::optional<std::string> SubscriberNumber(std::string_view subscriber) {
  const std::vector<std::string_view> parts = text::Split(subscriber, ';');
  const std::optional<std::string> number = PhoneDigits(parts.front(), true);
  if (!number) return std::nullopt;
  std::string context;
  std::string extension;
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const std::size_t equals = parts[i].find('=');
    if (equals == std::string_view::npos) continue;
    const std::string name = text::AsciiLower(parts[i].substr(0, equals));
    const std::string_view value = parts[i].substr(equals + 1);
    if (name == "ext") {
      const std::optional<std::string> digits = PhoneDigits(value, false);
      if (!digits) return std::nullopt;
      extension = " " + *digits;
    } else if (name == "phone-context" && !number->starts_with('+')) {
      // A domain name as context adds nothing; a global number prefix does.
      const std::optional<std::string> prefix = PhoneDigits(value, true);
      if (prefix && prefix->starts_with('+')) context = *prefix + " ";
    }
  }
  return context + *number + extension;
}

// The number of a SIP URI's user part ("sip:user[:password]@host..."); a URI
// without user part names a host only.
std::optional<std::string> SipUserNumber(std::string_view rest) {
  const std::size_t at = rest.find('@');
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view userinfo = rest.substr(0, at);
  return SubscriberNumber(userinfo.substr(0, userinfo.find(':')));
}

IncomingNumber AsNumber(const std::optional<std::string>& text, const cCanonicalTelephone& rules,
                        com::IUtil& util) {
  if (!text) return {};
  std::string digits = StoredNumber(*text, rules, util);
  if (digits.empty()) return {};
  return {IncomingNumber::Kind::kNumber, std::move(digits)};
}

IncomingNumber AsAddress(std::string_view text) {
  const std::string_view address = StoredAddress(text);
  if (address.empty()) return {};
  return {IncomingNumber::Kind::kAddress, std::string(address)};
}

}  // namespace

IncomingNumber ReadIncoming(std::string_view text, const cCanonicalTelephone& rules,
                            com::IUtil& util) {
  text = Trimmed(text);
  if (const std::optional<std::string_view> uri = NameAddrUri(text)) text = *uri;
  const SchemeAndRest uri = SchemeOf(text);
  switch (uri.scheme) {
    case Scheme::kTel:
      return AsNumber(SubscriberNumber(uri.rest), rules, util);
    case Scheme::kSip:
      return AsNumber(SipUserNumber(uri.rest), rules, util);
    case Scheme::kMailto: {
      const std::optional<std::string> address =
          PercentDecoded(uri.rest.substr(0, uri.rest.find('?')));
      return address ? AsAddress(*address) : IncomingNumber{};
    }
    case Scheme::kNone:
      break;
  }
  if (text.find('@') != std::string_view::npos) return AsAddress(text);
  return AsNumber(std::string(text), rules, util);
}

std::string WithUnencodedPlus(std::string value) {
  std::size_t start = 0;
  for (const std::string_view scheme : {"tel:", "sip:", "sips:"}) {
    if (value.size() > scheme.size() &&
        text::EqualsNoCase(std::string_view(value).substr(0, scheme.size()), scheme)) {
      start = scheme.size();
      break;
    }
  }
  if (start + 1 < value.size() && value[start] == ' ' && IsDigit(value[start + 1])) {
    value[start] = '+';
  }
  return value;
}

}  // namespace fonwerk
