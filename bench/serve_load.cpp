// fonwerk-serve-load: a load of concurrent keep-alive clients on the lookup
// service, with the latency of every request.
//
//   fonwerk-serve-load --port P --values FILE [--clients 8] [--rate 5000]
//                      [--duration 15] [--host 127.0.0.1] [--path /lookup?number=]
//                      [--expect-matches] [--idle N] [--half-sent M]
//
// FILE holds one query value a line, already URL-encoded. Each client has one
// connection and asks for the values in turn, each client starting at another
// place in the list.
//
// With --rate R (lookups per second over all clients) every client sends its
// requests on a fixed schedule, as calls arrive at a telephone system: request
// k of client i is due at start + (k * clients + i) / R. The latency of a
// request counts from the moment it was due, so a client that falls behind
// (because an earlier answer came late) is charged the waiting too. With
// --rate 0 every client sends its next request as soon as the answer is in:
// that measures the throughput the service can give.
//
// With --idle N and --half-sent M, N more connections stay open without a
// request and M more hold half a request (the request line and one header
// field, never the blank line) for the whole run, as careless or hostile
// clients would; one the service closes (after its time limits) is opened
// again at once. They are opened before the measured clients start.
//
// Prints one line:
//   FONWERK median_us=M p90_us=N p99_us=P max_us=X requests=Q seconds=S failures=F over_1s=O
// A failure is a request without an answer or with a status other than 200
// (with --expect-matches also a 200 without a match: the values are stored
// numbers); over_1s counts the requests whose latency was over one second.
// Exit status: 0 done, 1 failed to run, 64 bad arguments.

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string path = "/lookup?number=";
  std::string values_file;
  int clients = 8;
  double rate = 5000;
  double duration = 15;
  bool expect_matches = false;
  int idle = 0;
  int half_sent = 0;
};

struct ClientResult {
  std::vector<int64_t> latencies_us;
  int64_t failures = 0;
};

std::vector<std::string> ReadValues(const std::string& file) {
  std::ifstream in(file);
  if (!in) throw std::runtime_error("cannot read " + file);
  std::vector<std::string> values;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) values.push_back(line);
  }
  if (values.empty()) throw std::runtime_error(file + " holds no values");
  return values;
}

void RunClient(const Options& options, const std::vector<std::string>& values, int index,
               Clock::time_point start, ClientResult& result) {
  httplib::Client client(options.host, options.port);
  client.set_keep_alive(true);
  client.set_tcp_nodelay(true);
  client.set_connection_timeout(5, 0);
  client.set_read_timeout(10, 0);
  const Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(options.duration));
  const std::chrono::duration<double> interval(options.rate > 0 ? options.clients / options.rate
                                                                : 0.0);
  const std::chrono::duration<double> offset(options.rate > 0 ? index / options.rate : 0.0);
  std::size_t next =
      (values.size() * static_cast<std::size_t>(index)) / static_cast<std::size_t>(options.clients);
  result.latencies_us.reserve(1 << 16);
  for (int64_t k = 0;; ++k) {
    Clock::time_point due = Clock::now();
    if (options.rate > 0) {
      due = start + std::chrono::duration_cast<Clock::duration>(offset + k * interval);
      if (due >= end) break;
      std::this_thread::sleep_until(due);
    } else if (due >= end) {
      break;
    }
    const std::string& value = values[next];
    next = (next + 1) % values.size();
    const httplib::Result answer = client.Get(options.path + value);
    const Clock::time_point done = Clock::now();
    if (!answer || answer->status != 200 ||
        (options.expect_matches && answer->body.find("\"matches\":[]") != std::string::npos)) {
      ++result.failures;
    }
    result.latencies_us.push_back(
        std::chrono::duration_cast<std::chrono::microseconds>(done - due).count());
  }
}

// The idle and half-sent connections of --idle and --half-sent, kept open
// by a thread of their own until destroyed.
class Pests {
 public:
  explicit Pests(const Options& options) : options_(options) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
      limit.rlim_cur = limit.rlim_max;
      ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    for (int i = 0; i < options.idle + options.half_sent; ++i) fds_.push_back(Open(i));
    thread_ = std::thread([this] { Keep(); });
  }
  ~Pests() {
    done_ = true;
    thread_.join();
    for (const int fd : fds_) ::close(fd);
  }

 private:
  bool HalfSent(std::size_t i) const { return static_cast<int>(i) >= options_.idle; }

  int Open(std::size_t i) const {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(options_.port));
    ::inet_pton(AF_INET, options_.host.c_str(), &address.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error("cannot open connection " + std::to_string(i));
    }
    if (HalfSent(i)) {
      const std::string half = "GET " + options_.path + "0 HTTP/1.1\r\nHost: pest\r\n";
      ::send(fd, half.data(), half.size(), MSG_NOSIGNAL);
    }
    return fd;
  }

  // Opens anew every connection the service closed.
  void Keep() {
    while (!done_) {
      for (std::size_t i = 0; i < fds_.size(); ++i) {
        char byte;
        const ssize_t got = ::recv(fds_[i], &byte, 1, MSG_DONTWAIT | MSG_PEEK);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
          ::close(fds_[i]);
          fds_[i] = Open(i);
        }
      }
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  }

  const Options& options_;
  std::vector<int> fds_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

int64_t Percentile(const std::vector<int64_t>& sorted, double share) {
  if (sorted.empty()) return 0;
  const std::size_t at =
      std::min(sorted.size() - 1, static_cast<std::size_t>(share * sorted.size()));
  return sorted[at];
}

int Run(const Options& options) {
  const std::vector<std::string> values = ReadValues(options.values_file);
  const Pests pests(options);
  std::vector<ClientResult> results(static_cast<std::size_t>(options.clients));
  const Clock::time_point start = Clock::now() + std::chrono::milliseconds(20);
  std::vector<std::thread> threads;
  for (int i = 0; i < options.clients; ++i) {
    threads.emplace_back(RunClient, std::cref(options), std::cref(values), i, start,
                         std::ref(results[static_cast<std::size_t>(i)]));
  }
  for (std::thread& thread : threads) thread.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  std::vector<int64_t> all;
  int64_t failures = 0;
  for (const ClientResult& result : results) {
    all.insert(all.end(), result.latencies_us.begin(), result.latencies_us.end());
    failures += result.failures;
  }
  std::sort(all.begin(), all.end());
  const auto over_1s = all.end() - std::upper_bound(all.begin(), all.end(), int64_t{1000000});
  std::printf("FONWERK median_us=%lld p90_us=%lld p99_us=%lld max_us=%lld requests=%zu "
              "seconds=%.3f failures=%lld over_1s=%lld\n",
              static_cast<long long>(Percentile(all, 0.50)),
              static_cast<long long>(Percentile(all, 0.90)),
              static_cast<long long>(Percentile(all, 0.99)),
              static_cast<long long>(all.empty() ? 0 : all.back()), all.size(), seconds,
              static_cast<long long>(failures), static_cast<long long>(over_1s));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app{"Concurrent keep-alive clients on the lookup service, with their latencies"};
  app.add_option("--host", options.host, "the service's address");
  app.add_option("--port", options.port, "the service's port")->required();
  app.add_option("--path", options.path, "the request path before each value");
  app.add_option("--values", options.values_file, "one URL-encoded value a line")->required();
  app.add_option("--clients", options.clients, "concurrent clients, one connection each")
      ->check(CLI::Range(1, 256));
  app.add_option("--rate", options.rate,
                 "lookups per second over all clients; 0: as fast as answered")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--duration", options.duration, "seconds")->check(CLI::PositiveNumber);
  app.add_flag("--expect-matches", options.expect_matches,
               "count an answer without a match as failed");
  app.add_option("--idle", options.idle, "connections kept open without a request")
      ->check(CLI::Range(0, 20000));
  app.add_option("--half-sent", options.half_sent, "connections holding half a request")
      ->check(CLI::Range(0, 20000));
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? 0 : 64;
  }
  try {
    return Run(options);
  } catch (const std::exception& error) {
    std::cerr << "fonwerk-serve-load: " << error.what() << "\n";
    return 1;
  }
}
