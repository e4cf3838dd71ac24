// The lookup service's HTTP server: listening, accepting, signals, shutdown.

#include "ctl/http_server.h"

#include <signal.h>

#include <boost/algorithm/string/predicate.hpp>

#include "base/errors.h"
#include "ctl/http_connection.h"
#include "ctl/lookup_json.h"

namespace fonwerk::ctl {
namespace http {

HttpAnswer Refusal(int status) {
  std::string text;
  switch (status) {
    case 400:
      text = "bad request";
      break;
    case 405:
      text = "method not allowed: use GET or HEAD";
      break;
    case 413:
      text = "request body too large";
      break;
    case 414:
      text = "request URI too long";
      break;
    case 431:
      text = "request header fields too large";
      break;
    default:
      text = "refused with HTTP status " + std::to_string(status);
  }
  return {status, ErrorJson(text)};
}

int StatusForParseError(const beast::error_code& error, bool request_line_read) {
  if (error.category() != bhttp::make_error_code(bhttp::error::bad_target).category()) return 0;
  switch (static_cast<bhttp::error>(error.value())) {
    case bhttp::error::end_of_stream:
    case bhttp::error::partial_message:
      return 0;
    case bhttp::error::body_limit:
      return 413;
    case bhttp::error::header_limit:
      return request_line_read ? 431 : 414;
    default:
      return 400;
  }
}

std::optional<std::string> ApiKey(const bhttp::request<bhttp::string_body>& request) {
  const auto key = request.find("X-API-Key");
  if (key != request.end()) return std::string(key->value());
  const auto authorization = request.find(bhttp::field::authorization);
  if (authorization == request.end()) return std::nullopt;
  const std::string_view value(authorization->value().data(), authorization->value().size());
  constexpr std::string_view kBearer = "Bearer ";
  if (value.size() < kBearer.size() ||
      !boost::algorithm::iequals(value.substr(0, kBearer.size()), kBearer)) {
    return std::nullopt;
  }
  std::string_view token = value.substr(kBearer.size());
  while (!token.empty() && token.front() == ' ') token.remove_prefix(1);
  return std::string(token);
}

}  // namespace http

namespace {

using namespace http;  // NOLINT(google-build-using-namespace): the server's own parts
using asio::ip::tcp;

tcp::endpoint Endpoint(asio::io_context& io, const ListenAddress& address) {
  boost::system::error_code error;
  const asio::ip::address ip = asio::ip::make_address(address.host, error);
  if (!error) return {ip, static_cast<unsigned short>(address.port)};
  tcp::resolver resolver(io);
  const auto found = resolver.resolve(address.host, std::to_string(address.port), error);
  if (error || found.empty()) {
    throw Error(errnum::kPermissionDenied,
                "cannot listen on " + address.host + ": " + error.message());
  }
  return found.begin()->endpoint();
}

std::string Describe(const tcp::socket& socket) {
  boost::system::error_code error;
  const tcp::endpoint peer = socket.remote_endpoint(error);
  if (error) return "-";
  const std::string host = peer.address().to_string();
  return (peer.address().is_v6() ? "[" + host + "]" : host) + ":" + std::to_string(peer.port());
}

std::unique_ptr<asio::ssl::context> TlsContext(const TlsFiles& files) {
  auto context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
  context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                       asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                       asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
  boost::system::error_code error;
  context->use_certificate_chain_file(files.certificate, error);
  if (error) {
    throw Error(errnum::kInvalidArgument,
                "cannot use the TLS certificate " + files.certificate + ": " + error.message());
  }
  context->use_private_key_file(files.key, asio::ssl::context::pem, error);
  if (error) {
    throw Error(errnum::kInvalidArgument,
                "cannot use the TLS key " + files.key + ": " + error.message());
  }
  return context;
}

}  // namespace

class HttpServer::Impl {
 public:
  explicit Impl(ServerOptions options)
      : options_(std::move(options)),
        pool_(options_.workers),
        tls_(options_.tls ? TlsContext(*options_.tls) : nullptr),
        acceptor_(io_),
        signals_(io_, SIGTERM, SIGINT, SIGHUP),
        tick_(io_),
        retry_(io_),
        core_{io_, pool_, options_, false, {}, {0}} {
    const tcp::endpoint endpoint = Endpoint(io_, options_.address);
    boost::system::error_code error;
    acceptor_.open(endpoint.protocol(), error);
    if (!error) acceptor_.set_option(asio::socket_base::reuse_address(true), error);
    if (!error) acceptor_.bind(endpoint, error);
    if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
      throw Error(errnum::kPermissionDenied, "cannot listen on " + options_.address.host + ":" +
                                                 std::to_string(options_.address.port) + ": " +
                                                 error.message());
    }
  }

  ~Impl() {
    pool_.stop();
    pool_.join();
  }

  int port() const { return acceptor_.local_endpoint().port(); }
  std::size_t open_connections() const { return core_.count.load(); }

  void Run() {
    Accept();
    WaitForSignal();
    Tick();
    io_.run();
    pool_.join();
  }

 private:
  void Accept() {
    acceptor_.async_accept(io_, [this](const boost::system::error_code& error, tcp::socket socket) {
      if (error == asio::error::operation_aborted || core_.stopping) return;
      if (error) {
        // Out of descriptors or the like: try again shortly rather than spin.
        retry_.expires_after(std::chrono::milliseconds(100));
        retry_.async_wait([this](const boost::system::error_code& waited) {
          if (!waited) Accept();
        });
        return;
      }
      Open(std::move(socket));
      Accept();
    });
  }

  void Open(tcp::socket socket) {
    if (core_.count.load() >= options_.limits.connections) return;  // closed as it goes
    boost::system::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    std::string client = Describe(socket);
    if (tls_) {
      std::make_shared<Connection<TlsStream>>(
          core_, TlsStream(beast::tcp_stream(std::move(socket)), *tls_), std::move(client))
          ->Start();
    } else {
      std::make_shared<Connection<PlainStream>>(core_, beast::tcp_stream(std::move(socket)),
                                                std::move(client))
          ->Start();
    }
  }

  void WaitForSignal() {
    signals_.async_wait([this](const boost::system::error_code& error, int signal_number) {
      if (error) return;
      if (signal_number != SIGHUP) return Stop();
      if (options_.reload) asio::post(pool_, options_.reload);
      WaitForSignal();
    });
  }

  void Tick() {
    tick_.expires_after(std::chrono::seconds(1));
    tick_.async_wait([this](const boost::system::error_code& error) {
      if (error || core_.stopping) return;
      // On the pool: what it does may wait (the session pool's lock).
      if (options_.every_second) asio::post(pool_, options_.every_second);
      Tick();
    });
  }

  void Stop() {
    core_.stopping = true;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    signals_.cancel(ignored);
    tick_.cancel();
    retry_.cancel();
    // Stop() may end a connection, which leaves the set: walk a copy.
    const std::set<ConnectionBase*> live = core_.live;
    for (ConnectionBase* connection : live) {
      if (core_.live.count(connection) != 0) connection->Stop();
    }
  }

  ServerOptions options_;
  asio::io_context io_{1};
  asio::thread_pool pool_;
  std::unique_ptr<asio::ssl::context> tls_;
  tcp::acceptor acceptor_;
  asio::signal_set signals_;
  asio::steady_timer tick_;
  asio::steady_timer retry_;
  Core core_;
};

HttpServer::HttpServer(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
HttpServer::~HttpServer() = default;
int HttpServer::port() const { return impl_->port(); }
void HttpServer::Run() { impl_->Run(); }
std::size_t HttpServer::open_connections() const { return impl_->open_connections(); }

}  // namespace fonwerk::ctl
