// The lookup service's HTTP server and its life: bind, serve, stop on a signal.

#include "ctl/serve.h"

#include <httplib.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <ostream>
#include <thread>

#include "base/errors.h"
#include "ctl/cli.h"
#include "ctl/follower.h"
#include "ctl/lookup_json.h"
#include "ctl/lookup_service.h"
#include "ctl/lookup_workers.h"
#include "ctl/service_secret.h"

namespace fonwerk::ctl {
namespace {

constexpr std::size_t kLongestBody = 4096;
constexpr std::size_t kKeepAliveRequests = 100000;
constexpr time_t kKeepAliveSeconds = 2;
constexpr time_t kReadTimeoutSeconds = 5;
constexpr std::size_t kLeastThreads = 16;

const char* kJson = "application/json; charset=utf-8";

bool IsPort(const std::string& text) {
  return !text.empty() && text.size() <= 5 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
         std::stoi(text) <= 65535;
}

std::string RefusalText(int status) {
  switch (status) {
    case 400:
      return "bad request";
    case 404:
      return "not found: use /lookup?number=N or /health";
    case 413:
      return "request body too large";
    case 414:
      return "request URI too long";
    default:
      return "refused with HTTP status " + std::to_string(status);
  }
}

void Answer(const ServiceResponse& answer, httplib::Response& res) {
  res.status = answer.status;
  res.set_content(answer.body, kJson);
}

ServiceRequest ToServiceRequest(const httplib::Request& req) {
  ServiceRequest request{req.path, req.params, std::nullopt};
  if (req.has_header("X-API-Key")) request.api_key = req.get_header_value("X-API-Key");
  return request;
}

// GET and HEAD requests are answered by the service; others fall through to
// the server's routing, which has no routes and so answers 404 (after reading
// any body within the payload limit).
void Route(httplib::Server& server, const LookupService& service) {
  server.set_pre_routing_handler([&service](const httplib::Request& req, httplib::Response& res) {
    if (req.method != "GET" && req.method != "HEAD")
      return httplib::Server::HandlerResponse::Unhandled;
    Answer(service.Handle(ToServiceRequest(req)), res);
    return httplib::Server::HandlerResponse::Handled;
  });
  // Refusals of the server itself (malformed request, URI or body too long,
  // no route) get a JSON body like the service's own.
  server.set_error_handler(
      httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        res.set_content(ErrorJson(RefusalText(res.status)), kJson);
        return httplib::Server::HandlerResponse::Handled;
      }));
}

void Configure(httplib::Server& server, std::size_t threads) {
  server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server.set_keep_alive_max_count(kKeepAliveRequests);
  server.set_keep_alive_timeout(kKeepAliveSeconds);
  server.set_read_timeout(kReadTimeoutSeconds, 0);
  server.set_write_timeout(kReadTimeoutSeconds, 0);
  server.set_payload_max_length(kLongestBody);
  server.set_tcp_nodelay(true);
  server.set_default_headers({{"Cache-Control", "no-store"}});
}

int Bind(httplib::Server& server, const ListenAddress& address) {
  if (address.port == 0) {
    const int port = server.bind_to_any_port(address.host);
    if (port > 0) return port;
  } else if (server.bind_to_port(address.host, address.port)) {
    return address.port;
  }
  throw Error(errnum::kPermissionDenied, "cannot listen on " + address.host + ":" +
                                             std::to_string(address.port) + ": " +
                                             std::strerror(errno));
}

std::string UrlHost(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// Blocks SIGTERM and SIGINT in this thread and every thread it starts later,
// so that only the watcher takes them; restores the old mask when destroyed.
class BlockedStopSignals {
 public:
  BlockedStopSignals() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set_, &old_);
  }
  ~BlockedStopSignals() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  const sigset_t& set() const { return set_; }

 private:
  sigset_t set_{};
  sigset_t old_{};
};

// Stops `server` when SIGTERM or SIGINT arrives, or when Finish() is called.
class StopWatcher {
 public:
  StopWatcher(httplib::Server& server, const sigset_t& signals)
      : thread_([this, &server, signals] { Watch(server, signals); }) {}
  ~StopWatcher() {
    done_ = true;
    thread_.join();
  }

 private:
  // A signal that comes before the server runs is kept until it does:
  // Server::stop does nothing to a server that is not running yet.
  void Watch(httplib::Server& server, sigset_t signals) {
    const timespec tick{0, 50 * 1000 * 1000};
    bool asked = false;
    while (!done_) {
      if (!asked) {
        asked = sigtimedwait(&signals, nullptr, &tick) > 0;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (asked && server.is_running()) {
        server.stop();
        return;
      }
    }
  }

  std::atomic<bool> done_{false};
  std::thread thread_;
};

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
  const ListenAddress address = ParseListenAddress(request.listen);
  const std::string secret = LoadSecret(request.token_file);
  if (secret.empty() && !IsLoopbackHost(address.host)) {
    throw Error(errnum::kPermissionDenied,
                "refusing to listen on " + address.host +
                    " without a shared secret: set FONWERK_TOKEN or give --token-file");
  }
  const std::size_t sessions = static_cast<std::size_t>(request.sessions);
  LookupWorkers workers(
      installation.primary_connect, installation.phone, sessions,
      {std::chrono::milliseconds(request.budget_ms), installation.replica_connect});
  const LookupService service(workers, secret);

  ::signal(SIGPIPE, SIG_IGN);
  const BlockedStopSignals blocked;
  httplib::Server server;
  Configure(server, std::max(kLeastThreads, 4 * sessions));
  Route(server, service);
  const int port = Bind(server, address);
  // Started after the stop signals are blocked: the follower's thread leaves them to StopWatcher.
  std::optional<FollowerThread> follower;
  if (request.serve_watch) follower.emplace(installation.primary_connect, installation.phone, err,
                                            FollowerOptions{{}, "fonwerkctl serve"});
  err << "fonwerkctl serve: listening on http://" << UrlHost(address.host) << ":" << port << "/"
      << (secret.empty() ? "" : " (requests need the API key)") << std::endl;
  {
    const StopWatcher watcher(server, blocked.set());
    server.listen_after_bind();
  }
  follower.reset();  // finishes its batch in hand
  err << "fonwerkctl serve: stopped" << std::endl;
  return kExitMatched;
}

}  // namespace fonwerk::ctl
