// cCanonicalTelephone: the dialling form and the display forms of a number.
//
// The dialling form never fails (each step that fails is passed over); the
// two display forms let every failure out and leave the caller's variable
// with whatever had been stored in it so far.

#include <string>
#include <string_view>
#include <unordered_set>

#include "base/text.h"
#include "phone/canonical_telephone.h"
#include "phone/require.h"

namespace fonwerk {
namespace {

// The part of `text` from the 1-based `position` on ("" past the end).
std::string From(const std::string& text, std::string::size_type position) {
  return position - 1 < text.size() ? text.substr(position - 1) : std::string();
}

bool StartsWith(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

// BEG's answer as a truth value; a Null answer counts as False.
bool BeginsWith(com::IUtil& util, const std::string& text, const std::string& start) {
  const Variant answer = util.BEG(text, start);
  return !answer.IsNull() && answer.ToBool();
}

// A country code as the set keeps it: the text without its leading zeros, so
// that 0043 and 43 are the same code and 420 stays 420.
std::string WithoutLeadingZeros(const std::string& text) {
  const auto first = text.find_first_not_of('0');
  return first == std::string::npos ? std::string() : text.substr(first);
}

}  // namespace

std::string cCanonicalTelephone::GetCanonicalDialNumer(std::string& strNumber) {
  // Step 1 decides whether step 2 runs. When the test itself fails, the
  // replacement of step 1 is made anyway and step 2 is skipped. Without a
  // known own code there is no own-country prefix to recognise: "+" alone
  // would match every international number and turn "+43 1" into "0431"
  // (the harvesting treats an empty code the same way).
  bool bOwnCountry = !code.empty();
  if (bOwnCountry) {
    try {
      bOwnCountry = BeginsWith(Require(m_oUtil), strNumber, "+" + code);
    } catch (const std::exception&) {
    }
  }
  if (bOwnCountry) {
    strNumber = text::ReplaceAll(strNumber, "+" + code, VAZ);
  } else {
    bool bForeign = true;
    try {
      bForeign = BeginsWith(Require(m_oUtil), strNumber, "+");
    } catch (const std::exception&) {
    }
    if (bForeign) strNumber = text::ReplaceAll(strNumber, "+", Plus);
  }
  try {
    strNumber = Require(m_oUtil).nur_zahlen(strNumber);
  } catch (const std::exception&) {
  }
  return strNumber;
}

std::string cCanonicalTelephone::GetCanonicalTelefonFormat(std::string& strValue) {
  if (text::TrimBlanks(strValue).empty()) return {};
  // A blank anywhere wins over an earlier "/" or "-".
  auto separator = strValue.find(' ');
  if (separator == std::string::npos) separator = strValue.find('/');
  if (separator == std::string::npos) separator = strValue.find('-');
  if (separator == std::string::npos) return strValue;

  std::string strArea(text::TrimBlanks(std::string_view(strValue).substr(0, separator)));
  const std::string strSubscriber = strValue.substr(separator + 1);
  return GetCanonicalPrefixFormat(strArea) + "\t" + strSubscriber;
}

std::string cCanonicalTelephone::GetCanonicalPrefixFormat(std::string& strPrefix) {
  // A text that starts with "+" is taken as already written in display form.
  if (strPrefix.empty() || strPrefix.front() != '+') {
    com::IUtil& util = Require(m_oUtil);
    strPrefix = util.nur_zahlen(strPrefix);
    // An empty Plus would begin every text; it is taken as marking nothing.
    const bool bForeign = !Plus.empty() && BeginsWith(util, strPrefix, Plus);
    if (!bForeign) {
      // National area part: only one that begins with the trunk prefix is
      // rewritten. Suspress drops the trunk prefix inside the brackets.
      if (!VAZ.empty() && StartsWith(strPrefix, VAZ)) {
        const std::string strArea = Suspress ? From(strPrefix, VAZ.size() + 1) : strPrefix;
        strPrefix = "+" + code + "(" + strArea + ")";
      }
    } else {
      // Foreign area part: the longest known country code (four digits down
      // to one) right behind the international access prefix.
      std::unordered_set<std::string> known;
      ado::Recordset& rsLand = Require(m_rsLand);
      rsLand.SetFilter(Variant(int32_t{0}));
      if (!rsLand.Eof()) rsLand.MoveFirst();
      while (!rsLand.Eof()) {
        known.insert(WithoutLeadingZeros(util.k(rsLand.Fields(3).Value())));
        rsLand.MoveNext();
      }
      std::string strCountry;
      for (std::string::size_type length = 4; length >= 1; --length) {
        const std::string candidate = From(strPrefix, Plus.size() + 1).substr(0, length);
        if (known.count(candidate) != 0) {
          strCountry = candidate;
          break;
        }
      }
      if (!strCountry.empty()) {
        strPrefix =
            "+" + strCountry + "(" + From(strPrefix, Plus.size() + strCountry.size() + 1) + ")";
      }
    }
  }
  // An opened bracket is closed.
  if (strPrefix.find('(') != std::string::npos) {
    const std::string strTrimmed(text::TrimBlanks(strPrefix));
    if (strTrimmed.empty() || strTrimmed.back() != ')') strPrefix = strTrimmed + ")";
  }
  return strPrefix;
}

}  // namespace fonwerk
