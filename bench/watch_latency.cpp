// fonwerk-watch-latency: how long a change committed to AD takes to reach
// the answers of `fonwerkctl serve --watch`.
//
//   fonwerk-watch-latency --connect CONNECTION --port P --keys FILE
//                         [--changes 200] [--gap-ms 100] [--timeout-ms 10000]
//
// FILE holds contact keys (AD.DSN), one a line. Change i gives the contact of
// key i (in turn) a telephone number no other contact has (UPDATE AD SET
// TELEFON = ..., committed on its own), and from the moment the commit
// returned asks the service for that number every millisecond until the
// answer names the contact. Between changes it waits --gap-ms.
//
// Prints one line:
//   FONWERK changes=N median_ms=M p90_ms=P9 p99_ms=P max_ms=X failures=F
// A failure is a change the service did not answer within --timeout-ms.
// Exit status: 0 done, 1 failed to run, 64 bad arguments.

#include <httplib.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "bench/pg_conn.h"
#include "bench/sqlite_db.h"
#include "db/connection_string.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace fonwerk;

struct Options {
  std::string connect;
  int port = 0;
  std::string keys_file;
  int changes = 200;
  int gap_ms = 100;
  int timeout_ms = 10000;
};

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

// Runs one statement on AD, committed on its own.
class Database {
 public:
  explicit Database(const std::string& connect) {
    const ConnectionString params = ConnectionString::Parse(connect);
    if (params.Get("Provider").value_or("") == "SQLite") {
      sqlite_ = std::make_unique<bench::sqlite::Database>(params.Get("Data Source").value_or(""));
      sqlite3_busy_timeout(sqlite_->get(), 5000);
    } else {
      pg_ = bench::pg::Connect(connect);
    }
  }
  void Exec(const std::string& sql) {
    if (sqlite_) {
      sqlite_->Exec(sql);
    } else {
      bench::pg::Exec(pg_.get(), sql);
    }
  }

 private:
  std::unique_ptr<bench::sqlite::Database> sqlite_;
  bench::pg::ConnPtr pg_;
};

std::vector<std::string> ReadKeys(const std::string& file) {
  std::ifstream in(file);
  if (!in) throw std::runtime_error("cannot read " + file);
  std::vector<std::string> keys;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) keys.push_back(line);
  }
  if (keys.empty()) throw std::runtime_error("no keys in " + file);
  return keys;
}

double Percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

int Run(const Options& options) {
  const std::vector<std::string> keys = ReadKeys(options.keys_file);
  Database database(options.connect);
  httplib::Client client("127.0.0.1", options.port);
  client.set_keep_alive(true);
  // Numbers of this run only: 0998, the process id, the change's number.
  const std::string run = std::to_string(::getpid() % 100000);
  std::vector<double> latencies;
  int failures = 0;
  for (int i = 0; i < options.changes; ++i) {
    const std::string& key = keys[static_cast<std::size_t>(i) % keys.size()];
    char number[32];
    std::snprintf(number, sizeof number, "0998%05d%05d", std::stoi(run), i);
    database.Exec("UPDATE AD SET TELEFON = " + Quoted(number) + " WHERE DSN = " + Quoted(key));
    const Clock::time_point committed = Clock::now();
    const std::string target = std::string("/lookup?number=") + number;
    const std::string expected = "\"dsn\":\"" + key + "\"";
    bool found = false;
    while (Clock::now() - committed < std::chrono::milliseconds(options.timeout_ms)) {
      const httplib::Result answer = client.Get(target.c_str());
      if (answer && answer->status == 200 && answer->body.find(expected) != std::string::npos) {
        found = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (found) {
      latencies.push_back(
          std::chrono::duration<double, std::milli>(Clock::now() - committed).count());
    } else {
      ++failures;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(options.gap_ms));
  }
  std::printf("FONWERK changes=%d median_ms=%.2f p90_ms=%.2f p99_ms=%.2f max_ms=%.2f failures=%d\n",
              options.changes, Percentile(latencies, 0.5), Percentile(latencies, 0.9),
              Percentile(latencies, 0.99), Percentile(latencies, 1.0), failures);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Latency of a change of AD until serve --watch answers with it."};
  Options options;
  app.add_option("--connect", options.connect, "connection string of the database")->required();
  app.add_option("--port", options.port, "port of the service on 127.0.0.1")->required();
  app.add_option("--keys", options.keys_file, "file of contact keys, one a line")->required();
  app.add_option("--changes", options.changes, "number of changes")->check(CLI::PositiveNumber);
  app.add_option("--gap-ms", options.gap_ms, "pause between changes")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--timeout-ms", options.timeout_ms, "longest wait for one change")
      ->check(CLI::PositiveNumber);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 64;
  }
  try {
    return Run(options);
  } catch (const std::exception& error) {
    std::cerr << "fonwerk-watch-latency: " << error.what() << "\n";
    return 1;
  }
}
