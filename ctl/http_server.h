#pragma once
// The lookup service's HTTP server: event-driven (Boost.Beast on Asio), one
// I/O thread for every connection, the answers computed on a pool of worker
// threads (one per database session), so that a slow or idle client holds a
// socket and a little memory, never a worker.
//
// What the server itself answers, and then closes the connection:
//   400 a malformed request; 405 a method other than GET and HEAD;
//   413 a body over Limits::body_bytes (any method, announced or chunked);
//   414 a request line over Limits::header_bytes; 431 a longer header.
// Everything else goes to the handler. Requests on one connection are
// answered in the order they came (pipelining), one at a time. A client that
// takes longer than the limits to send its header or body, or stays idle
// between requests, is disconnected. At Limits::connections open
// connections, a new one is closed at once.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "ctl/serve.h"

namespace fonwerk::ctl {

struct Limits {
  std::size_t header_bytes = 8192;  // request line and header fields
  std::size_t body_bytes = 4096;
  std::chrono::milliseconds header_time{5000};  // from the first byte of a request
  std::chrono::milliseconds body_time{5000};
  std::chrono::milliseconds idle_time{30000};  // between requests on a kept-alive connection
  std::chrono::milliseconds write_time{10000};
  std::size_t connections = 8192;
};

// One request as the handler sees it.
struct HttpRequest {
  std::string method;                              // GET or HEAD
  std::string path;                                // decoded, without the query
  std::multimap<std::string, std::string> params;  // decoded query parameters
  std::optional<std::string> api_key;              // header X-API-Key, else Authorization: Bearer
};

struct HttpAnswer {
  int status = 200;
  std::string body;
  std::string content_type = "application/json; charset=utf-8";
};

// What the server tells after each answer was sent (or failed to be sent).
struct Exchange {
  std::string client;  // address:port
  std::string method;
  std::string target;  // as sent, with the parameter token left out
  std::string path;    // decoded path; empty for a request refused unparsed
  int status = 0;
  std::chrono::microseconds took{0};  // from the complete request to the answer sent
};

// Certificate chain and private key (PEM files) for HTTPS.
struct TlsFiles {
  std::string certificate;
  std::string key;
};

struct ServerOptions {
  ListenAddress address;
  std::optional<TlsFiles> tls;
  std::size_t workers = 4;  // threads that run the handler
  Limits limits;
  // Runs on a worker thread; must not throw.
  std::function<HttpAnswer(const HttpRequest&)> handler;
  // Runs on the I/O thread after every answer; must not throw. May be empty.
  std::function<void(const Exchange&)> answered;
  // Runs on a worker thread about once a second (file checks, log flushing). May be empty.
  std::function<void()> every_second;
  // Runs on a worker thread on SIGHUP. May be empty.
  std::function<void()> reload;
};

class HttpServer {
 public:
  // Binds the address (and loads the TLS files). Throws Error when the port
  // cannot be bound or the certificate or key cannot be used.
  explicit HttpServer(ServerOptions options);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  int port() const;

  // Serves until SIGTERM or SIGINT, then answers the requests in flight,
  // closes every connection and returns. SIGHUP calls options.reload.
  void Run();

  // Open connections now; for the metrics. Thread-safe.
  std::size_t open_connections() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// Splits a request target into its decoded path and query parameters ("+"
// in the query is a blank). nullopt when the target is not an origin form
// ("/...") or its query cannot be split. A malformed escape stays as it is.
std::optional<std::pair<std::string, std::multimap<std::string, std::string>>> SplitTarget(
    const std::string& target);

// `target` without its parameter named token (the secret), for logs.
std::string WithoutToken(const std::string& target);

// Raises the soft limit of open files to the hard one; returns the limit now in force.
std::size_t RaiseOpenFileLimit();

}  // namespace fonwerk::ctl
