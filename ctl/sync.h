#pragma once
// fonwerkctl sync and refresh: the commands that write TAPI, under the
// installation's one-writer lock (the one fonwerk's rebuild takes).

#include <iosfwd>
#include <string>

#include "ctl/installation.h"
#include "ctl/request.h"

namespace fonwerk::ctl {

// Brings TAPI up to date by difference (TapiSync::SyncTable) in one
// transaction and prints one summary line, or one JSON object with
// `request.json`. Returns 0, 2 when contacts failed (each named on `err`;
// their rows were left as they were), 1 when another process holds the lock
// (the run stops at once). Throws on failure: nothing was changed.
int Sync(const Request& request, Installation& installation, std::ostream& out, std::ostream& err);

// Deletes and writes anew the TAPI rows of the contact `key` in one
// transaction, after waiting up to `request.wait_seconds` for the lock;
// prints how many rows the contact has now. Returns 0, 1 (unknown contact,
// or the lock stayed held). Throws on failure: nothing was changed.
int Refresh(const std::string& key, const Request& request, Installation& installation,
            std::ostream& out, std::ostream& err);

}  // namespace fonwerk::ctl
