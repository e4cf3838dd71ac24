// Fuzz target: the three formatting operations of cCanonicalTelephone under
// random configurations, with the country list of a real installation.
//
// Input: <flags> 0x1F <Plus> 0x1F <code> 0x1F <VAZ> 0x1F <number>.
// Flag bit 0 is Suspress; with bit 1 the defaults (Plus 00, code 49, VAZ 0)
// are used instead of the three fields, which are otherwise cut to 4 bytes.
// The number is cut to 512 bytes.
// Properties:
//  - the dialling form holds digits only and is written back into the
//    argument; a number without "+" gives exactly its own digits;
//  - the display form leaves its argument unchanged; it is empty for a blank
//    number, the number itself when it has no separator, and otherwise ends
//    with a tab and the text after the separator;
//  - the area form is written back into the argument and is the same when
//    computed twice; an area not written with "+" becomes digits only or
//    "+...(...)"; with the defaults a national area becomes +49(<area without
//    the trunk prefix>) and a foreign one takes the longest known country code
//    that follows 00.

#include <set>
#include <string>

#include "db/session.h"
#include "fuzz/fuzz_support.h"
#include "tools/install.h"

namespace fonwerk::fuzz {
namespace {

bool AllDigits(const std::string& text) {
  return text.find_first_not_of("0123456789") == std::string::npos;
}

std::string Digits(const std::string& text) {
  std::string digits;
  for (const char c : text) {
    if (c >= '0' && c <= '9') digits += c;
  }
  return digits;
}

// The country codes of the installation, read on a session of their own and
// without leading zeros.
const std::set<std::string>& KnownCodes() {
  static const std::set<std::string> codes = [] {
    std::set<std::string> result;
    auto session = install::OpenUnpooledSession(ScratchInstall::Normal().connect());
    auto cursor = session->Query(
        "SELECT postplz.vorwahl FROM postplz INNER JOIN postorte ON postplz.alort = "
        "postorte.alort WHERE postorte.alort LIKE 'land%'",
        false);
    std::vector<Variant> row;
    while (cursor->Next(row)) {
      if (row[0].IsNull()) continue;
      std::string code = row[0].ToText();
      code.erase(0, code.find_first_not_of('0') == std::string::npos ? code.size()
                                                                      : code.find_first_not_of('0'));
      result.insert(code);
    }
    return result;
  }();
  return codes;
}

void CheckDial(cCanonicalTelephone& phone, const std::string& number) {
  std::string argument = number;
  const std::string result = phone.GetCanonicalDialNumer(argument);
  FUZZ_CHECK(AllDigits(result), "dial form of '" + Printable(number) + "': '" + Printable(result) + "'");
  FUZZ_CHECK(argument == result, "argument not rewritten for '" + Printable(number) + "'");
  if (number.find('+') == std::string::npos) {
    FUZZ_CHECK(result == Digits(number),
               "'" + Printable(number) + "' without + gave '" + Printable(result) + "'");
  }
}

void CheckTelefonFormat(cCanonicalTelephone& phone, const std::string& number) {
  std::string argument = number;
  const std::string result = phone.GetCanonicalTelefonFormat(argument);
  FUZZ_CHECK(argument == number, "argument changed: '" + Printable(number) + "'");
  if (Trimmed(number).empty()) {
    FUZZ_CHECK(result.empty(), "blank '" + Printable(number) + "' gave '" + Printable(result) + "'");
    return;
  }
  auto separator = number.find(' ');
  if (separator == std::string::npos) separator = number.find('/');
  if (separator == std::string::npos) separator = number.find('-');
  if (separator == std::string::npos) {
    FUZZ_CHECK(result == number, "'" + Printable(number) + "' gave '" + Printable(result) + "'");
    return;
  }
  const std::string tail = "\t" + number.substr(separator + 1);
  FUZZ_CHECK(result.size() >= tail.size() && result.compare(result.size() - tail.size(),
                                                            tail.size(), tail) == 0,
             "'" + Printable(number) + "' gave '" + Printable(result) + "'");
}

void CheckDefaultPrefix(const cCanonicalTelephone& phone, const std::string& area,
                        const std::string& result) {
  const std::string digits = Digits(area);
  if (!digits.starts_with("00") && digits.starts_with("0")) {
    const std::string expected = "+49(" + (phone.Suspress ? digits.substr(1) : digits) + ")";
    FUZZ_CHECK(result == expected, "national '" + Printable(area) + "' gave '" +
                                       Printable(result) + "', expected " + expected);
    return;
  }
  if (!digits.starts_with("00")) return;
  std::string code;
  for (size_t length = 4; length >= 1 && code.empty(); --length) {
    const std::string candidate = digits.substr(2, length);
    if (KnownCodes().count(candidate) != 0) code = candidate;
  }
  const std::string expected = code.empty() ? digits : "+" + code + "(" + digits.substr(2 + code.size()) + ")";
  FUZZ_CHECK(result == expected, "foreign '" + Printable(area) + "' gave '" + Printable(result) +
                                     "', expected " + expected);
}

void CheckPrefixFormat(cCanonicalTelephone& phone, const std::string& area, bool defaults) {
  std::string argument = area;
  const std::string result = phone.GetCanonicalPrefixFormat(argument);
  FUZZ_CHECK(argument == result, "argument not rewritten for '" + Printable(area) + "'");
  std::string again = area;
  FUZZ_CHECK(phone.GetCanonicalPrefixFormat(again) == result,
             "second call differs for '" + Printable(area) + "'");

  if (!area.empty() && area.front() == '+') {
    const std::string trimmed = Trimmed(area);
    const bool closes = area.find('(') != std::string::npos &&
                        (trimmed.empty() || trimmed.back() != ')');
    FUZZ_CHECK(result == (closes ? trimmed + ")" : area),
               "display form '" + Printable(area) + "' gave '" + Printable(result) + "'");
    return;
  }
  if (result.find('(') == std::string::npos) {
    FUZZ_CHECK(AllDigits(result), "'" + Printable(area) + "' gave '" + Printable(result) + "'");
  } else {
    FUZZ_CHECK(result.front() == '+' && result.back() == ')',
               "'" + Printable(area) + "' gave '" + Printable(result) + "'");
  }
  if (defaults) CheckDefaultPrefix(phone, area, result);
}

}  // namespace
}  // namespace fonwerk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace fonwerk::fuzz;
  std::vector<std::string> fields = SplitFields(data, size, 5);
  fonwerk::cCanonicalTelephone& phone = ScratchInstall::Normal().phone();
  const uint8_t flags = FlagByte(fields[0], 0);
  const bool defaults = (flags & 2) != 0;
  phone.Suspress = (flags & 1) != 0;
  for (std::string* field : {&fields[1], &fields[2], &fields[3]}) {
    if (field->size() > 4) field->resize(4);
  }
  phone.Plus = defaults ? "00" : fields[1];
  phone.code = defaults ? "49" : fields[2];
  phone.VAZ = defaults ? "0" : fields[3];
  std::string& number = fields[4];
  if (number.size() > 512) number.resize(512);

  CheckDial(phone, number);
  CheckTelefonFormat(phone, number);
  CheckPrefixFormat(phone, number, defaults);
  return 0;
}
