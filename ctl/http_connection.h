#pragma once
// One connection of the lookup service's HTTP server (ctl/http_server.h),
// plain or TLS: reads requests with Beast's parser under the time and size
// limits, hands them to the worker pool, writes the answers in order.
// Everything here runs on the server's single I/O thread, but for the
// handler, which runs on the pool.

#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <type_traits>

#include "ctl/http_server.h"

namespace fonwerk::ctl::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using Clock = std::chrono::steady_clock;
using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

class ConnectionBase {
 public:
  virtual ~ConnectionBase() = default;
  // Shutdown: closes the connection now when it waits for a request, else
  // after the answer to the request in hand.
  virtual void Stop() = 0;
};

// What every connection shares: the server's loop, pool and options.
struct Core {
  asio::io_context& io;
  asio::thread_pool& pool;
  const ServerOptions& options;
  bool stopping = false;
  std::set<ConnectionBase*> live;  // I/O thread only
  std::atomic<std::size_t> count{0};
};

// The JSON answer of a request the server refuses itself.
HttpAnswer Refusal(int status);

// The HTTP status for a failure of Beast's parser; 0: close without an
// answer (the client went away or sent nothing). `request_line_read` tells a
// long request line (414) from a long header (431).
int StatusForParseError(const beast::error_code& error, bool request_line_read);

// The API key a request carries: header X-API-Key, else Authorization: Bearer.
std::optional<std::string> ApiKey(const bhttp::request<bhttp::string_body>& request);

template <class Stream>
class Connection : public ConnectionBase, public std::enable_shared_from_this<Connection<Stream>> {
 public:
  Connection(Core& core, Stream stream, std::string client)
      : core_(core), stream_(std::move(stream)), client_(std::move(client)) {
    core_.live.insert(this);
    ++core_.count;
  }
  ~Connection() override {
    core_.live.erase(this);
    --core_.count;
  }

  void Start() {
    if constexpr (std::is_same_v<Stream, TlsStream>) {
      Lowest().expires_after(limits().header_time);
      stream_.async_handshake(asio::ssl::stream_base::server,
                              [self = this->shared_from_this()](const beast::error_code& error) {
                                if (error) return self->Close();
                                self->WaitForRequest();
                              });
    } else {
      WaitForRequest();
    }
  }

  void Stop() override {
    if (!busy_) Close();
  }

 private:
  static constexpr std::size_t kReadChunk = 4096;

  const Limits& limits() const { return core_.options.limits; }
  beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }

  // Between requests: waits (at most the idle time) for a request's first byte.
  void WaitForRequest() {
    if (core_.stopping) return Close();
    if (buffer_.size() > 0) return ReadHeader();
    Lowest().expires_after(limits().idle_time);
    stream_.async_read_some(
        buffer_.prepare(kReadChunk),
        [self = this->shared_from_this()](const beast::error_code& error, std::size_t got) {
          if (error) return self->Close();
          self->buffer_.commit(got);
          self->ReadHeader();
        });
  }

  void ReadHeader() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(limits().header_bytes));
    parser_->body_limit(limits().body_bytes);
    Lowest().expires_after(limits().header_time);
    bhttp::async_read_header(
        stream_, buffer_, *parser_,
        [self = this->shared_from_this()](const beast::error_code& error, std::size_t) {
          if (error) return self->Refuse(error);
          if (self->parser_->is_done()) return self->Dispatch();
          self->Lowest().expires_after(self->limits().body_time);
          bhttp::async_read(self->stream_, self->buffer_, *self->parser_,
                            [self](const beast::error_code& failure, std::size_t) {
                              if (failure) return self->Refuse(failure);
                              self->Dispatch();
                            });
        });
  }

  void Refuse(const beast::error_code& error) {
    // The parser takes the request line as soon as it is complete.
    const int status = StatusForParseError(error, parser_ && !parser_->get().target().empty());
    if (status == 0) return Close();
    if (parser_ && parser_->is_header_done()) Remember(parser_->get());
    Respond(Refusal(status), true);
  }

  void Remember(const bhttp::request<bhttp::string_body>& request) {
    method_ = std::string(request.method_string());
    target_ = std::string(request.target());
    version_ = request.version();
    keep_alive_ = request.keep_alive();
    head_ = request.method() == bhttp::verb::head;
  }

  void Dispatch() {
    const bhttp::request<bhttp::string_body>& request = parser_->get();
    Remember(request);
    started_ = Clock::now();
    if (request.method() != bhttp::verb::get && request.method() != bhttp::verb::head) {
      return Respond(Refusal(405), true);
    }
    auto split = SplitTarget(target_);
    if (!split) return Respond(Refusal(400), true);
    HttpRequest asked{method_, std::move(split->first), std::move(split->second), ApiKey(request)};
    path_ = asked.path;
    busy_ = true;
    asio::post(core_.pool, [self = this->shared_from_this(), asked = std::move(asked),
                            work = asio::make_work_guard(core_.io)]() mutable {
      HttpAnswer answer = self->core_.options.handler(asked);
      asio::post(self->core_.io, [self, answer = std::move(answer)]() mutable {
        self->Respond(std::move(answer), false);
      });
      work.reset();
    });
  }

  void Respond(HttpAnswer answer, bool refused) {
    busy_ = true;
    refused_ = refused;
    status_ = answer.status;
    if (started_ == Clock::time_point{}) started_ = Clock::now();
    response_ = {};
    response_.version(version_);
    response_.result(static_cast<unsigned>(answer.status));
    response_.set(bhttp::field::content_type, answer.content_type);
    response_.set(bhttp::field::cache_control, "no-store");
    if (answer.status == 405) response_.set(bhttp::field::allow, "GET, HEAD");
    response_.keep_alive(keep_alive_ && !refused && !core_.stopping);
    if (head_) {
      response_.content_length(answer.body.size());
    } else {
      response_.body() = std::move(answer.body);
      response_.prepare_payload();
    }
    Lowest().expires_after(limits().write_time);
    bhttp::async_write(stream_, response_,
                       [self = this->shared_from_this()](const beast::error_code& error,
                                                         std::size_t) { self->Written(error); });
  }

  void Written(const beast::error_code& error) {
    busy_ = false;
    if (core_.options.answered) {
      core_.options.answered(
          Exchange{client_, method_, WithoutToken(target_), path_, status_,
                   std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started_)});
    }
    const bool keep = !error && response_.keep_alive();
    const bool refused = refused_;
    method_.clear();
    target_.clear();
    path_.clear();
    head_ = false;
    started_ = {};
    if (refused && !error) return Linger();
    if (!keep) return Close();
    WaitForRequest();
  }

  // After a refusal: ends the sending side and reads what the client still
  // sends (a body too large) for a moment, so that closing does not reset the
  // connection before the client has read the answer.
  void Linger() {
    beast::error_code ignored;
    Lowest().socket().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    Lowest().expires_after(std::chrono::seconds(2));
    Drain();
  }

  void Drain() {
    Lowest().async_read_some(
        asio::buffer(scratch_),
        [self = this->shared_from_this()](const beast::error_code& error, std::size_t got) {
          self->drained_ += got;
          if (error || self->drained_ > 1024 * 1024) return self->Close();
          self->Drain();
        });
  }

  void Close() {
    beast::error_code ignored;
    Lowest().socket().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    Lowest().close();
  }

  Core& core_;
  Stream stream_;
  std::string client_;
  beast::flat_buffer buffer_;
  std::optional<bhttp::request_parser<bhttp::string_body>> parser_;
  bhttp::response<bhttp::string_body> response_;
  std::string method_;
  std::string target_;
  std::string path_;
  unsigned version_ = 11;
  bool keep_alive_ = false;
  bool head_ = false;
  bool busy_ = false;
  bool refused_ = false;
  int status_ = 0;
  Clock::time_point started_{};
  char scratch_[4096];
  std::size_t drained_ = 0;
};

}  // namespace fonwerk::ctl::http
