// cCanonicalTelephone: search conditions on TAPI.NUMMER for callers that
// compose their own statements. Pure text; no member and no database is used.

#include <string>

#include "phone/canonical_telephone.h"

namespace fonwerk {
namespace {

// Every single quote doubled; nothing else changes, so "%" and "_" keep their
// meaning as wildcards.
std::string DoubleQuotes(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    escaped += c;
    if (c == '\'') escaped += '\'';
  }
  return escaped;
}

std::string LikeCondition(const std::string& pattern) {
  return " (TAPI.NUMMER Like '" + pattern + "') ";
}

}  // namespace

// Stored values that begin with the number.
Variant cCanonicalTelephone::sql_WhereLikePhoneNumber(const std::string& strPhoneNumber) const {
  return Variant(LikeCondition(DoubleQuotes(strPhoneNumber) + "%"));
}

// Stored values that contain the address.
Variant cCanonicalTelephone::sql_WhereLikeEMail(const std::string& strEmail) const {
  return Variant(LikeCondition("%" + DoubleQuotes(strEmail) + "%"));
}

}  // namespace fonwerk
