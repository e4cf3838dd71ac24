#pragma once
// Reverse lookup: the contacts behind an incoming telephone number or e-mail
// address, found in TAPI through its indexes on NUMMER.

#include <string>
#include <vector>

#include "com/components.h"
#include "phone/canonical_telephone.h"

namespace fonwerk::ctl {

struct Installation;

// One TAPI row found, with its contact's name and company ("" when the
// contact row is missing).
struct Match {
  std::string ad_dsn;
  std::string name;     // IDX_NAME, and "/" IDX_NAME2 when that is not empty
  std::string company;  // IDX_FIRMA
  std::string nummer;
  std::string bemerkung;
  std::string kennung;  // AD.Kennung
  std::string type;     // TAPI.contactTypeDsn
};

// The number in the form the harvesting stores, as the incoming rule reads it
// (ReadIncoming, phone/incoming_number.h); "" when it names no number (an
// address, a withheld caller, text without digits).
std::string NormaliseIncoming(const std::string& number, const cCanonicalTelephone& settings,
                              com::IUtil& util);

// Readies an open installation for lookups, once: reads the width of
// TAPI.NUMMER and, on PostgreSQL, has the session plan for small answers
// (no parallel workers, no JIT). Lookup() calls it; a caller may do it early.
void ReadyForLookups(Installation& installation);

// `digits` itself, then its prefixes from the longest down to six digits; no
// prefix is longer than `longest_stored` (the width of TAPI.NUMMER).
// Empty for empty `digits`; `digits` alone when it is shorter than seven.
std::vector<std::string> NumberCandidates(const std::string& digits, std::size_t longest_stored);

// A query whose `?` placeholders take `params`, in order. The text depends
// only on the shape of the search, so the session prepares it once.
struct LookupQuery {
  std::string sql;
  std::vector<Variant> params;
};

// The rows whose NUMMER is one of `candidates` (NUMMER IN (?, ...)), joined
// with AD. REQUIRES: candidates not empty.
LookupQuery NumberQuery(const std::vector<std::string>& candidates);

// The switchboards written "-0" (DIN 5008) that `digits` may be the number or
// a direct line of: each prefix of `digits` from the longest (all of it) down
// to six digits with a "0" behind it, no longer than `longest_stored`; those
// that are themselves a prefix of `digits` are NumberCandidates' and left out.
std::vector<std::string> SwitchboardCandidates(const std::string& digits,
                                               std::size_t longest_stored);

// Of the rows read for NumberCandidates and SwitchboardCandidates of
// `digits`: those of the longest NUMMER that is `digits` or a prefix of it,
// else those of the longest switchboard.
std::vector<Match> NumberMatches(const std::string& digits, std::vector<Match> rows);

// How an address is compared with NUMMER without regard to the case of
// ASCII letters, in a way an index on NUMMER can serve.
enum class AddressCompare {
  kCollateNoCase,  // NUMMER = address COLLATE NOCASE (SQLite: the NOCASE index on NUMMER)
  kLowerOfAddresses,  // lower(NUMMER) = lower(address) among the rows holding "@"
                      // (PostgreSQL: the partial index on lower(NUMMER))
};
// The e-mail rows whose NUMMER matches `address`, joined with AD.
LookupQuery AddressQuery(const std::string& address, AddressCompare compare);

// Of `rows`, those whose NUMMER is the longest one among them.
std::vector<Match> LongestMatches(const std::vector<Match>& rows);

// The matches for `argument`, read by ReadIncoming: for an address every
// e-mail row equal to it without regard to the case of ASCII letters; for a
// number the rows equal to its stored form, else those of the longest stored
// prefix of at least six digits, else those of the longest switchboard
// written "-0" (NumberMatches), telephone rows before fax rows, otherwise in
// the order of AD_DSN and TAPI.DSN. One query either way; nothing is asked
// when the argument names no one. Throws on failure.
std::vector<Match> Lookup(const std::string& argument, Installation& installation);

// "AD_DSN\tname\tcompany\tNUMMER\tBEMERKUNG"; tabs and line breaks inside a
// value become blanks, so that every match stays one line.
std::string FormatMatch(const Match& match);

}  // namespace fonwerk::ctl
