// fonwerk-baseline: rebuilds TAPI the least expensive way, as the yardstick
// for the real rebuild (see bench/baseline.h).
//
//   fonwerk-baseline --connect CONNECTION [--plus 00] [--code 49] [--vaz 0] [--suspress true]
//                    [--cache-mb 32] [--log FILE] [--savepoint-per-contact] [--rebuild-indexes]
//
// The last two are for analysis: they change what the baseline does, to
// measure one design choice of the rebuild at a time.
//
// The settings default to those of a fresh German installation; the SQLite
// page cache to the one the rebuild uses. --log writes the rebuild's
// per-contact log line, so that the comparison includes it. Prints one line
// "contacts=N rows=M seconds=S". Exit status: 0 done, 1 failed.

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#include "bench/baseline.h"

int main(int argc, char** argv) {
  CLI::App app{"Rebuilds TAPI with the least work, to measure the real rebuild against."};
  app.name("fonwerk-baseline");
  std::string connect;
  fonwerk::bench::HarvestSettings settings;
  app.add_option("--connect", connect, "connection string of the database")->required();
  app.add_option("--plus", settings.plus, "international access prefix")->capture_default_str();
  app.add_option("--code", settings.code, "own country's dialling code")->capture_default_str();
  app.add_option("--vaz", settings.vaz, "trunk prefix")->capture_default_str();
  app.add_option("--suspress", settings.suspress, "own-country numbers in national form")
      ->capture_default_str();
  fonwerk::bench::BaselineOptions options;
  app.add_option("--cache-mb", options.sqlite_cache_mb,
                 "SQLite page cache in MiB (0: SQLite's default)")
      ->capture_default_str();
  app.add_option("--log", options.log_path,
                 "append the rebuild's per-contact log line to FILE for every contact");
  app.add_flag("--savepoint-per-contact", options.savepoint_per_contact,
               "SQLite: one savepoint per contact (to measure its cost)");
  app.add_flag("--rebuild-indexes", options.rebuild_indexes,
               "drop TAPI's secondary indexes for the refill and build them after it");
  CLI11_PARSE(app, argc, argv);

  try {
    const auto start = std::chrono::steady_clock::now();
    const fonwerk::bench::BaselineResult result =
        fonwerk::bench::RunBaseline(connect, settings, options);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("contacts=%lld rows=%lld seconds=%.3f\n", result.contacts, result.rows, seconds);
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "fonwerk-baseline: " << e.what() << "\n";
    return 1;
  }
}
