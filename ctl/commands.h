#pragma once
// The commands of fonwerkctl, run against an opened installation.

#include <iosfwd>

#include "ctl/installation.h"
#include "ctl/request.h"

namespace fonwerk::ctl {

// Runs `request` and returns the exit status (kExitMatched, kExitNoMatch).
// Results go to `out`, the row number of `phones --row` and messages to `err`.
// Throws on failure (the caller reports it and exits with kExitError).
int Execute(const Request& request, Installation& installation, std::ostream& out,
            std::ostream& err);

// The five configuration lines "name=value" (Enabled, Plus, code, VAZ, Suspress).
void PrintConfiguration(const cCanonicalTelephone& phone, std::ostream& out);

}  // namespace fonwerk::ctl
