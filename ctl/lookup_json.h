#pragma once
// The JSON form of a reverse lookup's answer, shared by `fonwerkctl lookup
// --json` and the lookup service:
//
//   {"number": N, "matches": [{"dsn": ..., "kennung": ..., "name": ...,
//     "firma": ..., "nummer": ..., "bemerkung": ..., "type": ...}, ...]}
//
// N is the text that was asked for. "dsn" is the contact's key (AD_DSN),
// "type" the kind of the TAPI row (see MatchKind). Every value is a string;
// a missing contact row gives "" for its columns. Bytes that are not UTF-8
// become U+FFFD, so the text is always valid JSON.

#include <optional>
#include <string>
#include <vector>

#include "ctl/reverse_lookup.h"

namespace fonwerk::ctl {

// "telefon" for the identifiers of the telephone lines, "fax", "email", and
// "sonstig" for an identifier the harvesting does not write.
std::string MatchKind(const std::string& contact_type_dsn);

// The answer object as one line of JSON (no line break).
std::string LookupJson(const std::string& number, const std::vector<Match>& matches);

// {"error": message} as one line of JSON.
std::string ErrorJson(const std::string& message);

// {"status": "ok"} without an error, else {"status": "unavailable", "error": error}.
std::string HealthJson(const std::optional<std::string>& error);

}  // namespace fonwerk::ctl
