#pragma once
// `fonwerkctl serve`: the lookup service over HTTP or HTTPS
// (ctl/http_server.h), answering with LookupService (ctl/lookup_service.h)
// and GET /metrics (ctl/metrics.h) until SIGTERM or SIGINT; SIGHUP reloads.

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

// Runs the service for `request` (listen address, token file, sessions, TLS
// files, access log) on the opened installation, whose configuration the
// lookups use. Logs "fonwerkctl serve: listening on http://HOST:PORT/" (or
// https) on `err` once the port is bound, and database failures as they
// happen, each line time-stamped unless JOURNAL_STREAM is set. SIGHUP reads
// SQL.INI and the settings anew and reopens the sessions; a replaced or
// removed SQLite file reopens them within about a second. Returns
// kExitMatched after SIGTERM or SIGINT, once the requests in flight are
// answered. Throws Error when the secret cannot be loaded, when a host other
// than loopback is asked for without a secret, when the port cannot be bound
// or the TLS files cannot be used, or the access log cannot be written.
int Serve(const Request& request, Installation& installation, std::ostream& err);

}  // namespace fonwerk::ctl
