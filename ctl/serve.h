#pragma once
// `fonwerkctl serve`: the lookup service over HTTP (cpp-httplib), answering
// with LookupService (ctl/lookup_service.h) until SIGTERM or SIGINT.

#include <iosfwd>
#include <string>

#include "ctl/installation.h"
#include "ctl/request.h"

namespace fonwerk::ctl {

// Where the service listens.
struct ListenAddress {
  std::string host;  // without brackets for IPv6
  int port = 0;      // 0: any free port (the one taken is logged)
};

// Parses HOST:PORT ("127.0.0.1:8080", "[::1]:8080", "localhost:0").
// Throws UsageError (ctl/cli.h) for anything else.
ListenAddress ParseListenAddress(const std::string& text);

// Runs the service for `request` (listen address, token file, sessions) on
// the opened installation, whose configuration the lookups use. Logs
// "fonwerkctl serve: listening on http://HOST:PORT/" on `err` once the port
// is bound, and database failures as they happen. Returns kExitMatched after
// SIGTERM or SIGINT, once the requests in flight are answered.
// Throws Error when the secret cannot be loaded, when a host other than
// loopback is asked for without a secret, or when the port cannot be bound.
int Serve(const Request& request, Installation& installation, std::ostream& err);

}  // namespace fonwerk::ctl
