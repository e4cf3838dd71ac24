// Reverse lookup of incoming numbers and addresses in TAPI.
//
// Every search is an equality or a prefix range on NUMMER, so that the
// indexes on NUMMER serve it: no pattern with a leading wildcard and no
// function applied to NUMMER alone decides which rows are read.

#include "ctl/reverse_lookup.h"

#include <algorithm>

#include "base/errors.h"
#include "ctl/installation.h"
#include "phone/incoming_number.h"

namespace fonwerk::ctl {
namespace {

constexpr std::size_t kShortestPrefix = 6;

constexpr const char* kSelect =
    "SELECT TAPI.AD_DSN, AD.IDX_NAME, AD.IDX_NAME2, AD.IDX_FIRMA, TAPI.NUMMER, TAPI.BEMERKUNG, "
    "AD.Kennung, TAPI.contactTypeDsn "
    "FROM TAPI LEFT JOIN AD ON AD.DSN = TAPI.AD_DSN WHERE ";
constexpr const char* kOrder = " ORDER BY TAPI.AD_DSN, TAPI.DSN";

const std::string& EmailType() {
  static const std::string identifier = cCanonicalTelephone().GetContactTypeDsn("EMAIL").text();
  return identifier;
}

const std::string& FaxType() {
  static const std::string identifier = cCanonicalTelephone().GetContactTypeDsn("FAX").text();
  return identifier;
}

std::string OneLineValue(std::string value) {
  for (char& c : value) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  return value;
}

std::vector<Match> ReadMatches(Installation& installation, const LookupQuery& query) {
  com::IUtil& util = *installation.util;
  ado::Recordset rs;
  rs.Open(query.sql, query.params, *installation.connection);
  std::vector<Match> matches;
  while (!rs.Eof()) {
    Match match;
    match.ad_dsn = util.k(rs.Fields(0).Value());
    match.name = util.k(rs.Fields(1).Value());
    const std::string name2 = util.k(rs.Fields(2).Value());
    if (!name2.empty()) match.name += "/" + name2;
    match.company = util.k(rs.Fields(3).Value());
    match.nummer = util.k(rs.Fields(4).Value());
    match.bemerkung = util.k(rs.Fields(5).Value());
    match.kennung = util.k(rs.Fields(6).Value());
    match.type = util.k(rs.Fields(7).Value());
    matches.push_back(std::move(match));
    rs.MoveNext();
  }
  rs.Close();
  return matches;
}

// `address` in stored form (ReadIncoming).
std::vector<Match> LookupAddress(const std::string& address, Installation& installation) {
  ReadyForLookups(installation);
  const bool sqlite = installation.connection->session().ProviderName() == "SQLite";
  const AddressCompare compare =
      sqlite ? AddressCompare::kCollateNoCase : AddressCompare::kLowerOfAddresses;
  return ReadMatches(installation, AddressQuery(address, compare));
}

}  // namespace

std::string NormaliseIncoming(const std::string& number, const cCanonicalTelephone& settings,
                              com::IUtil& util) {
  IncomingNumber incoming = ReadIncoming(number, settings, util);
  return incoming.kind == IncomingNumber::Kind::kNumber ? std::move(incoming.value) : "";
}

// The number itself, then its prefixes from longest to the shortest allowed.
// No stored number is longer than `longest_stored` (the width of NUMMER), so
// longer prefixes cannot match and are not asked for: the query stays small
// however long the incoming number is.
std::vector<std::string> NumberCandidates(const std::string& digits, std::size_t longest_stored) {
  std::vector<std::string> candidates;
  if (digits.empty()) return candidates;
  candidates.push_back(digits);
  const std::size_t longest = std::min(digits.size() - 1, longest_stored);
  for (std::size_t length = longest; length >= kShortestPrefix; --length) {
    candidates.push_back(digits.substr(0, length));
  }
  return candidates;
}

// A switchboard written with "-0" (DIN 5008: "089 23456-0") is stored with
// that 0 behind its number; a direct line ("089 23456-17") and the number
// itself ("089 23456") are one 0 short of it. Prefixes keep the six-digit
// minimum, and a candidate that is a prefix of `digits` itself is left to
// NumberCandidates.
std::vector<std::string> SwitchboardCandidates(const std::string& digits,
                                               std::size_t longest_stored) {
  std::vector<std::string> candidates;
  if (longest_stored == 0) return candidates;
  const std::size_t longest = std::min(digits.size(), longest_stored - 1);
  for (std::size_t length = longest; length >= kShortestPrefix; --length) {
    if (length < digits.size() && digits[length] == '0') continue;
    candidates.push_back(digits.substr(0, length) + "0");
  }
  return candidates;
}

namespace {

// The declared width of TAPI.NUMMER, or a generous bound when it has none.
std::size_t DeclaredNummerWidth(Installation& installation) {
  constexpr std::size_t kUndeclaredWidth = 255;
  com::RecordsetRef tapi = installation.dal->OpenEmptyTable(installation.connect, "TAPI", 4);
  const int32_t width = tapi->Fields("NUMMER").DefinedSize();
  tapi->Close();
  return width > 0 ? static_cast<std::size_t>(width) : kUndeclaredWidth;
}

// A lookup reads a handful of rows through an index. Where the statistics
// expect many (an address that thousands of contacts share), PostgreSQL would
// start parallel workers or compile the plan, which takes 10 to 100 times
// longer than the query itself: the session asks for neither. It also keeps
// the one generic plan of each prepared lookup (an index search whatever the
// values) instead of planning every call anew, which costs more than running
// it. These are tunings only, so a server that refuses one is still used.
void PlanForSmallAnswers(Installation& installation) {
  for (const char* setting : {"SET max_parallel_workers_per_gather = 0", "SET jit = off",
                              "SET plan_cache_mode = force_generic_plan"}) {
    try {
      installation.connection->Execute(setting);
    } catch (const DbError&) {
    }
  }
}

std::size_t LongestStoredNumber(Installation& installation) {
  ReadyForLookups(installation);
  return installation.nummer_width;
}

}  // namespace

// Once per open installation, before its first lookup; a lookup service's
// sessions do it on their first request.
void ReadyForLookups(Installation& installation) {
  if (installation.nummer_width != 0) return;
  if (installation.connection->session().ProviderName() == "PostgreSQL") {
    PlanForSmallAnswers(installation);
  }
  installation.nummer_width = DeclaredNummerWidth(installation);
}

LookupQuery NumberQuery(const std::vector<std::string>& candidates) {
  LookupQuery query;
  std::string list;
  for (const std::string& candidate : candidates) {
    list += list.empty() ? "?" : ", ?";
    query.params.emplace_back(candidate);
  }
  query.sql = kSelect + std::string("TAPI.NUMMER IN (") + list + ")" + kOrder;
  return query;
}

LookupQuery AddressQuery(const std::string& address, AddressCompare compare) {
  LookupQuery query;
  query.params = {Variant(EmailType()), Variant(address)};
  std::string where = "TAPI.contactTypeDsn = ? AND ";
  if (compare == AddressCompare::kCollateNoCase) {
    where += "TAPI.NUMMER = ? COLLATE NOCASE";
  } else {
    // The address holds "@", so every row it can match does too: saying so
    // lets the server use the partial index on lower(NUMMER) of such rows.
    where += "TAPI.NUMMER LIKE '%@%' AND lower(TAPI.NUMMER) = lower(?)";
  }
  query.sql = kSelect + where + kOrder;
  return query;
}

std::vector<Match> LongestMatches(const std::vector<Match>& rows) {
  std::size_t longest = 0;
  for (const Match& row : rows) longest = std::max(longest, row.nummer.size());
  std::vector<Match> kept;
  for (const Match& row : rows) {
    if (row.nummer.size() == longest) kept.push_back(row);
  }
  return kept;
}

std::vector<Match> NumberMatches(const std::string& digits, std::vector<Match> rows) {
  std::vector<Match> direct;
  std::vector<Match> switchboard;
  for (Match& row : rows) {
    (digits.starts_with(row.nummer) ? direct : switchboard).push_back(std::move(row));
  }
  return LongestMatches(direct.empty() ? switchboard : direct);
}

namespace {

// The rows of `digits` (stored form), read in one query: the number itself
// and its prefixes, and the switchboards written "-0" it may belong to.
std::vector<Match> LookupNumber(const std::string& digits, Installation& installation) {
  const std::size_t longest_stored = LongestStoredNumber(installation);
  std::vector<std::string> candidates = NumberCandidates(digits, longest_stored);
  for (std::string& candidate : SwitchboardCandidates(digits, longest_stored)) {
    candidates.push_back(std::move(candidate));
  }
  if (candidates.empty()) return {};
  std::vector<Match> matches =
      NumberMatches(digits, ReadMatches(installation, NumberQuery(candidates)));
  // A call comes from a telephone rather than a fax machine.
  std::stable_sort(matches.begin(), matches.end(), [](const Match& a, const Match& b) {
    return a.type != FaxType() && b.type == FaxType();
  });
  return matches;
}

}  // namespace

std::vector<Match> Lookup(const std::string& argument, Installation& installation) {
  const IncomingNumber incoming = ReadIncoming(argument, installation.phone, *installation.util);
  switch (incoming.kind) {
    case IncomingNumber::Kind::kNumber:
      return LookupNumber(incoming.value, installation);
    case IncomingNumber::Kind::kAddress:
      return LookupAddress(incoming.value, installation);
    case IncomingNumber::Kind::kNone:
      break;
  }
  return {};
}

std::string FormatMatch(const Match& match) {
  return OneLineValue(match.ad_dsn) + "\t" + OneLineValue(match.name) + "\t" +
         OneLineValue(match.company) + "\t" + OneLineValue(match.nummer) + "\t" +
         OneLineValue(match.bemerkung);
}

}  // namespace fonwerk::ctl
