// Fuzz target: the lookup service's answer to the parameters of one request
// (path, two query parameters, the API key), with real lookups on a SQLite
// installation that holds a few TAPI rows.
//
// Input: <flags> 0x1F <path> 0x1F <name 1> 0x1F <value 1> 0x1F <name 2>
//        0x1F <value 2> 0x1F <API key>
// Flag bits: 0 the service has the secret "s3cret"; 1 the API key is sent as
// query parameter token instead of header X-API-Key; 2 no API key is sent.
// Paths and names are cut to 64 bytes, values to 512.
// Properties:
//  - the answer is never a failure (500, 503) and its body is a JSON object;
//  - with the secret, a request without the exact key is refused with 401,
//    and one with it is not;
//  - paths other than /lookup and /health give 404;
//  - /lookup answers 200 exactly when RequestedNumber finds a number, with
//    "number" that text with a "+" sent unencoded read back (when it is
//    UTF-8) and "matches" an array of objects with the seven string members;
//    what ReadIncoming reads decides the matches: none when it names nobody;
//    for a number they store its stored form, a prefix of at least six
//    digits of it, or such a prefix with a "0" behind it (a switchboard
//    written -0); for an address they equal it without regard to ASCII case.
//    Else 400 with an "error" text;
//  - /health answers 200 {"status": "ok"}.

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "com/ado.h"
#include "com/util.h"
#include "ctl/lookup_service.h"
#include "fuzz/fuzz_support.h"
#include "phone/incoming_number.h"

namespace fonwerk::fuzz {
namespace {

using nlohmann::json;

constexpr const char* kSecret = "s3cret";
constexpr const char* kMembers[] = {"dsn",       "nummer",  "name", "firma",
                                    "bemerkung", "kennung", "type"};

// Contacts and TAPI rows the lookups can find; written once.
void AddRows(const std::string& connect) {
  ado::Connection db;
  db.SetConnectionString(connect);
  db.Open();
  db.Execute("DELETE FROM TAPI");
  db.Execute("DELETE FROM AD");
  db.Execute(
      "INSERT INTO AD (DSN, Kennung, IDX_NAME, IDX_FIRMA) VALUES "
      "('K1', 'M1', 'Meier', 'Meier GmbH'), ('K2', NULL, 'Schulz', NULL)");
  db.Execute(
      "INSERT INTO TAPI (DSN, AD_DSN, NUMMER, BEMERKUNG, contactTypeDsn) VALUES "
      "('T1', 'K1', '089123456', 'Zentrale', '{1FEB2033-7850-44A0-919C-75BCC50F99B8}'), "
      "('T2', 'K1', '08912345699', 'Fax', '{BC415F18-FB6F-4BAB-AF8F-8F4513302F96}'), "
      "('T3', 'K2', 'Max.Meier@Example.com', NULL, '{C451E716-7025-4EE9-8579-E2D0C6E26888}'), "
      "('T4', 'K9', '0043123456', NULL, 'x'), "
      "('T5', 'K2', '089234560', 'Zentrale', '{1FEB2033-7850-44A0-919C-75BCC50F99B8}')");
}

struct Service {
  ctl::LookupWorkers workers;
  ctl::LookupService open;
  ctl::LookupService guarded;

  Service()
      : workers(ScratchInstall::Normal().connect(), Settings(), 1),
        open(workers, ""),
        guarded(workers, kSecret) {
    AddRows(ScratchInstall::Normal().connect());
  }

  static const cCanonicalTelephone& Settings() {
    cCanonicalTelephone& phone = ScratchInstall::Normal().phone();
    phone.Plus = "00";
    phone.code = "49";
    phone.VAZ = "0";
    phone.Suspress = true;
    return phone;
  }
};

Service& TheService() {
  static Service service;
  return service;
}

bool IsUtf8(const std::string& text) {
  try {
    (void)json(text).dump();
    return true;
  } catch (const json::exception&) {
    return false;
  }
}

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

void CheckMatch(const json& match, const std::string& number) {
  FUZZ_CHECK(match.is_object(), match.dump());
  for (const char* member : kMembers) {
    FUZZ_CHECK(match.contains(member) && match[member].is_string(),
               std::string("member ") + member + " in " + match.dump());
  }
  const std::string nummer = match["nummer"].get<std::string>();
  com::cUtil util;
  const IncomingNumber incoming = ReadIncoming(number, TheService().Settings(), util);
  FUZZ_CHECK(incoming.kind != IncomingNumber::Kind::kNone,
             "a match for " + Printable(number) + ", which names nobody");
  if (incoming.kind == IncomingNumber::Kind::kAddress) {
    FUZZ_CHECK(LowerAscii(nummer) == LowerAscii(incoming.value), "address " + Printable(nummer));
    return;
  }
  const std::string& stored = incoming.value;
  const bool direct = nummer == stored || (nummer.size() >= 6 && stored.starts_with(nummer));
  const bool switchboard = nummer.size() >= 7 && nummer.back() == '0' &&
                           stored.starts_with(nummer.substr(0, nummer.size() - 1));
  FUZZ_CHECK(direct || switchboard, "number " + nummer + " for stored form " + stored);
}

void CheckLookup(const ctl::ServiceResponse& response, const json& body,
                 const std::multimap<std::string, std::string>& params) {
  const std::optional<std::string> requested = ctl::RequestedNumber(params);
  if (!requested) {
    FUZZ_CHECK(response.status == 400, "status " + std::to_string(response.status));
    FUZZ_CHECK(body.contains("error") && body["error"].is_string(), response.body);
    return;
  }
  FUZZ_CHECK(response.status == 200,
             "status " + std::to_string(response.status) + " " + Printable(response.body));
  const std::string number = WithUnencodedPlus(*requested);
  FUZZ_CHECK(body["number"].is_string(), response.body);
  if (IsUtf8(number)) FUZZ_CHECK(body["number"].get<std::string>() == number, response.body);
  FUZZ_CHECK(body["matches"].is_array(), response.body);
  for (const json& match : body["matches"]) CheckMatch(match, number);
}

void Check(const std::vector<std::string>& fields) {
  const uint8_t flags = FlagByte(fields[0], 0);
  const bool with_secret = (flags & 1) != 0;
  const bool key_as_token = (flags & 2) != 0;
  const bool no_key = (flags & 4) != 0;

  ctl::ServiceRequest request;
  request.path = fields[1].substr(0, 64);
  request.params.emplace(fields[2].substr(0, 64), fields[3].substr(0, 512));
  request.params.emplace(fields[4].substr(0, 64), fields[5].substr(0, 512));
  const std::string key = fields[6].substr(0, 64);
  if (!no_key) {
    if (key_as_token) {
      request.params.emplace("token", key);
    } else {
      request.api_key = key;
    }
  }

  Service& service = TheService();
  const ctl::ServiceResponse response =
      (with_secret ? service.guarded : service.open).Handle(request);
  FUZZ_CHECK(response.status != 500 && response.status != 503, Printable(response.body));
  json body;
  try {
    body = json::parse(response.body);
  } catch (const json::exception& error) {
    Fail("body is not JSON", Printable(response.body) + ": " + error.what());
  }
  FUZZ_CHECK(body.is_object(), Printable(response.body));

  if (with_secret) {
    // The key that counts: the header, else the first token parameter.
    std::optional<std::string> presented = request.api_key;
    if (!presented) {
      const auto token = request.params.lower_bound("token");
      if (token != request.params.end() && token->first == "token") presented = token->second;
    }
    const bool authorised = presented && *presented == kSecret;
    FUZZ_CHECK((response.status == 401) == !authorised,
               "status " + std::to_string(response.status) + " with key " + Printable(key));
    if (!authorised) return;
  }
  if (request.path == "/lookup") {
    CheckLookup(response, body, request.params);
  } else if (request.path == "/health") {
    const json ok = {{"status", "ok"}};
    FUZZ_CHECK(response.status == 200 && body == ok, response.body);
  } else {
    FUZZ_CHECK(response.status == 404, "status " + std::to_string(response.status));
  }
}

}  // namespace
}  // namespace fonwerk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fonwerk::fuzz::Check(fonwerk::fuzz::SplitFields(data, size, 7));
  return 0;
}
