// JSON answers of the reverse lookup, written with nlohmann::json.

#include "ctl/lookup_json.h"

#include <nlohmann/json.hpp>

#include "phone/canonical_telephone.h"

namespace fonwerk::ctl {
namespace {

// Objects keep their keys in the documented order.
using json = nlohmann::ordered_json;

std::string Dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string TypeOf(const std::string& key) {
  return cCanonicalTelephone().GetContactTypeDsn(key).text();
}

}  // namespace

std::string MatchKind(const std::string& contact_type_dsn) {
  static const std::string kFax = TypeOf("FAX");
  static const std::string kEmail = TypeOf("EMAIL");
  static const std::vector<std::string> kLines = {TypeOf("1"), TypeOf("2"), TypeOf("3"),
                                                  TypeOf("4"), TypeOf("5")};
  if (contact_type_dsn == kFax) return "fax";
  if (contact_type_dsn == kEmail) return "email";
  for (const std::string& line : kLines) {
    if (contact_type_dsn == line) return "telefon";
  }
  return "sonstig";
}

std::string LookupJson(const std::string& number, const std::vector<Match>& matches) {
  json list = json::array();
  for (const Match& match : matches) {
    list.push_back({{"dsn", match.ad_dsn},
                    {"kennung", match.kennung},
                    {"name", match.name},
                    {"firma", match.company},
                    {"nummer", match.nummer},
                    {"bemerkung", match.bemerkung},
                    {"type", MatchKind(match.type)}});
  }
  return Dump(json{{"number", number}, {"matches", std::move(list)}});
}

std::string ErrorJson(const std::string& message) { return Dump(json{{"error", message}}); }

std::string HealthJson(const std::optional<std::string>& error) {
  if (!error) return Dump(json{{"status", "ok"}});
  return Dump(json{{"status", "unavailable"}, {"error", *error}});
}

}  // namespace fonwerk::ctl
