#pragma once
// `fonwerkctl watch`: installs or removes the change capture on AD, or keeps
// TAPI current with a Follower (ctl/follower.h) until SIGTERM or SIGINT.

#include <iosfwd>

#include "ctl/installation.h"
#include "ctl/request.h"

namespace fonwerk::ctl {

// --enable and --disable print one line on `out` and return kExitMatched;
// while a rebuild of the installation runs they change nothing and return
// kExitStopped with one line on `err`. Following returns kExitMatched once a
// signal stopped it. Throws Error when the follower cannot start (a column of
// the harvesting is missing, a statement is rejected).
int Watch(const Request& request, Installation& installation, std::ostream& out, std::ostream& err);

}  // namespace fonwerk::ctl
