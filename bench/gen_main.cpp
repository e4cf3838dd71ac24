// fonwerk-gen: fills table AD with synthetic contacts for benchmarks.
//
//   fonwerk-gen --dir DIR [--postgres CONNECTION] [--count N] [--seed S]
//       creates (or replaces) the installation in DIR, with a SQLite database
//       in DIR/SQL/korvana.db or the PostgreSQL database CONNECTION names,
//       and fills AD with N contacts
//   fonwerk-gen --connect CONNECTION [--count N] [--seed S]
//       adds N contacts to AD of an existing database
//
// Prints the connection string (password masked) and the time taken.
// Exit status: 0 done, 1 failed (the reason on standard error).

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#include "bench/contact_store.h"
#include "db/connection_string.h"
#include "tools/install.h"

namespace {

using fonwerk::ConnectionString;

std::string Install(const std::string& dir, const std::string& postgres) {
  fonwerk::install::Options options;
  options.force = true;
  if (postgres.empty()) return fonwerk::install::InstallSqlite(dir, options);
  std::string connect = postgres;
  if (!ConnectionString::Parse(connect).Get("Provider")) connect = "Provider=PostgreSQL;" + connect;
  return fonwerk::install::InstallPostgres(dir, connect, options);
}

int Run(const std::string& dir, const std::string& postgres, std::string connect, uint64_t count,
        uint64_t seed) {
  const auto start = std::chrono::steady_clock::now();
  if (!dir.empty()) connect = Install(dir, postgres);
  fonwerk::bench::FillContacts(connect, count, seed);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%s\n%llu contacts in %.2f s\n", ConnectionString::MaskPassword(connect).c_str(),
              static_cast<unsigned long long>(count), seconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Fills table AD of a Korvana database with synthetic contacts."};
  app.name("fonwerk-gen");
  std::string dir;
  std::string postgres;
  std::string connect;
  uint64_t count = 10000;
  uint64_t seed = 20240611;
  auto* dir_option = app.add_option("--dir", dir, "installation folder to create (replaced)");
  app.add_option("--postgres", postgres, "PostgreSQL database for --dir (replaced)")
      ->needs(dir_option);
  app.add_option("--connect", connect, "connection string of an existing database to add to")
      ->excludes(dir_option);
  app.add_option("--count", count, "number of contacts")->capture_default_str();
  app.add_option("--seed", seed, "seed of the contact sequence")->capture_default_str();
  CLI11_PARSE(app, argc, argv);

  if (dir.empty() && connect.empty()) {
    std::cerr << "fonwerk-gen: give --dir DIR or --connect CONNECTION\n";
    return 1;
  }
  try {
    return Run(dir, postgres, connect, count, seed);
  } catch (const std::exception& e) {
    std::cerr << "fonwerk-gen: " << e.what() << "\n";
    return 1;
  }
}
