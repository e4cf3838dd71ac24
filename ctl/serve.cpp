// `fonwerkctl serve`: parses nothing itself, but puts the parts together:
// the database sessions, the answers, the metrics, the logs and the server.

#include "ctl/serve.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <optional>
#include <ostream>

#include "base/errors.h"
#include "ctl/cli.h"
#include "ctl/database_file_watch.h"
#include "ctl/follower.h"
#include "ctl/http_server.h"
#include "ctl/lookup_service.h"
#include "ctl/lookup_workers.h"
#include "ctl/metrics.h"
#include "ctl/service_handler.h"
#include "ctl/service_log.h"
#include "ctl/service_secret.h"

namespace fonwerk::ctl {
namespace {

// Descriptors kept back from the connection cap: database sessions, logs, the listener.
constexpr std::size_t kReservedFiles = 64;

bool IsPort(const std::string& text) {
  return !text.empty() && text.size() <= 5 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
         std::stoi(text) <= 65535;
}

std::string UrlHost(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// What the follower inside the service tells the metrics.
class FollowerGauges : public FollowerReadings {
 public:
  explicit FollowerGauges(const FollowerThread& follower) : follower_(follower) {}
  double OldestUnappliedSeconds() const override {
    return follower_.Stats().oldest_unapplied_seconds;
  }
  std::uint64_t ChangesApplied() const override { return follower_.Stats().changes_applied; }

 private:
  const FollowerThread& follower_;
};

// The stop and reload signals blocked in the calling thread while it lives,
// so that a thread started meanwhile leaves them to the server.
class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t set;
    sigemptyset(&set);
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, number);
    pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t old_;
};

WorkerOptions WorkerOptionsOf(const Request& request, const Installation& installation) {
  return {std::chrono::milliseconds(request.budget_ms), installation.replica_connect};
}

// The parts of a running service, alive for as long as its server.
struct Service {
  Service(const Request& asked, Installation& installation, std::string secret, std::ostream& err)
      : request(asked),
        workers(installation.primary_connect, installation.phone,
                static_cast<std::size_t>(asked.sessions), WorkerOptionsOf(asked, installation)),
        service(workers, std::move(secret)),
        watch(installation.connect),
        handler(service, metrics) {
    if (asked.access_log) access_log.emplace(*asked.access_log);
    if (asked.serve_watch) {
      // The follower writes, so it works on [Database] even when lookups read a replica.
      const SignalsBlocked blocked;
      follower.emplace(installation.primary_connect, installation.phone, err,
                       FollowerOptions{{}, "fonwerkctl serve"});
      follower_gauges.emplace(*follower);
      metrics.AttachFollower(&*follower_gauges);
    }
  }

  ~Service() {
    // The follower finishes its batch in hand; the metrics no longer read it.
    metrics.AttachFollower(nullptr);
    follower.reset();
  }

  // SIGHUP: the installation's SQL.INI and settings read anew, every session
  // reopened; the requests in hand finish on their sessions. A failure keeps
  // the configuration in force.
  void Reload() {
    try {
      Installation fresh = OpenInstallation(request.install, true);
      ApplyOverrides(request.overrides, fresh.phone);
      workers.Reopen(fresh.primary_connect, fresh.replica_connect, fresh.phone);
      watch.Watch(fresh.connect);
      metrics.Reopened();
      if (access_log) access_log->Reopen();
      std::cerr << "fonwerkctl serve: configuration reloaded, sessions reopened" << std::endl;
    } catch (const std::exception& error) {
      std::cerr << "fonwerkctl serve: reloading failed, the configuration stays: " << error.what()
                << std::endl;
    }
  }

  // Once a second on a worker thread: a replaced or removed SQLite file
  // reopens the sessions (on a missing file they fail, and /health says so).
  void Check() {
    if (watch.Changed()) {
      workers.Reopen();
      metrics.Reopened();
      std::cerr << "fonwerkctl serve: the database file " << watch.path()
                << " was replaced or removed; sessions reopen" << std::endl;
    }
    if (access_log) access_log->Flush();
  }

  ServerOptions Options(const ListenAddress& address, std::size_t open_files) {
    ServerOptions options;
    options.address = address;
    if (request.tls_cert) options.tls = TlsFiles{*request.tls_cert, *request.tls_key};
    options.workers = workers.size();
    options.limits.connections =
        std::min(options.limits.connections,
                 open_files > 2 * kReservedFiles ? open_files - kReservedFiles : kReservedFiles);
    options.handler = [this](const HttpRequest& asked) { return handler(asked); };
    options.answered = [this](const Exchange& exchange) {
      metrics.Answered(exchange);
      if (access_log) access_log->Write(exchange);
    };
    options.every_second = [this] { Check(); };
    options.reload = [this] { Reload(); };
    return options;
  }

  const Request& request;
  LookupWorkers workers;
  LookupService service;
  DatabaseFileWatch watch;
  ServiceMetrics metrics;
  ServiceHandler handler;
  std::optional<AccessLog> access_log;
  std::optional<FollowerThread> follower;
  std::optional<FollowerGauges> follower_gauges;
};

int64_t CountTapiRows(LookupWorkers& workers) {
  int64_t rows = 0;
  workers.Run([&rows](Installation& worker) {
    auto recordset = worker.dal->GetRecordset(worker.connect, "SELECT count(*) FROM TAPI");
    rows = recordset->Fields(0).Value().ToInteger();
    recordset->Close();
  });
  return rows;
}

}  // namespace

ListenAddress ParseListenAddress(const std::string& text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || !IsPort(text.substr(colon + 1))) {
    throw UsageError("--listen takes HOST:PORT, not '" + text + "'");
  }
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (host.empty()) throw UsageError("--listen takes HOST:PORT, not '" + text + "'");
  return {host, std::stoi(text.substr(colon + 1))};
}

int Serve(const Request& request, Installation& installation, std::ostream& err) {
  const StampedLines stamped_err(err);
  std::optional<StampedLines> stamped_cerr;
  if (&err != &std::cerr) stamped_cerr.emplace(std::cerr);
  const ListenAddress address = ParseListenAddress(request.listen);
  const std::string secret = LoadSecret(request.token_file);
  const bool loopback = IsLoopbackHost(address.host);
  if (secret.empty() && !loopback) {
    throw Error(errnum::kPermissionDenied,
                "refusing to listen on " + address.host +
                    " without a shared secret: set FONWERK_TOKEN or give --token-file");
  }
  const bool tls = request.tls_cert.has_value();
  if (!loopback && !tls) {
    err << "fonwerkctl serve: warning: listening on " << address.host
        << " without TLS: the API key crosses the network in clear text; give --tls-cert and "
           "--tls-key"
        << std::endl;
  }
  // A reader of standard error that went away must not end the service.
  ::signal(SIGPIPE, SIG_IGN);
  const std::size_t open_files = RaiseOpenFileLimit();
  Service parts(request, installation, secret, err);
  HttpServer server(parts.Options(address, open_files));
  parts.metrics.SetGauges({[&parts] { return parts.workers.size(); },
                           [&parts] { return parts.workers.busy(); },
                           [&parts] { return parts.workers.reconnections(); },
                           [&parts] { return parts.workers.ReplicaFallbacks(); },
                           [&parts] { return parts.workers.Timeouts(); },
                           [&server] { return server.open_connections(); },
                           [&parts] { return CountTapiRows(parts.workers); }});
  err << "fonwerkctl serve: listening on " << (tls ? "https" : "http") << "://"
      << UrlHost(address.host) << ":" << server.port() << "/"
      << (secret.empty() ? "" : " (requests need the API key)") << std::endl;
  server.Run();
  err << "fonwerkctl serve: stopped" << std::endl;
  return kExitMatched;
}

}  // namespace fonwerk::ctl
