// fonwerk-mkinstall: creates a Korvana installation folder that Fonwerk can run on.
//
//   fonwerk-mkinstall --sqlite DIR [--demo] [--land DEU] [--force]
//   fonwerk-mkinstall --postgres "Host=..;Port=..;Database=..;User ID=..;Password=.." DIR
//                     [--demo] [--land DEU] [--force]
//
// Exit status: 0 created, 1 refused or failed (the reason on standard error),
// CLI11's codes for a malformed command line.

#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <string>

#include "services/connection_string.h"
#include "services/errors.h"
#include "tools/install.h"

namespace {

namespace fs = std::filesystem;
using fonwerk::ConnectionString;

// Accepts the PostgreSQL connection string with or without its Provider key.
std::string PostgresConnectString(const std::string& text) {
  const ConnectionString params = ConnectionString::Parse(text);
  if (!params.Get("Provider")) return "Provider=PostgreSQL;" + text;
  return text;
}

int Run(bool sqlite, const std::string& postgres, const fs::path& dir,
        const fonwerk::install::Options& options) {
  std::string connect_string;
  if (sqlite) {
    connect_string = fonwerk::install::InstallSqlite(dir, options);
  } else {
    connect_string =
        fonwerk::install::InstallPostgres(dir, PostgresConnectString(postgres), options);
  }
  const fs::path root = fs::absolute(dir).lexically_normal();
  std::cout << "Installation created: " << root.string() << "\n"
            << "  SQL.INI:  " << (root / "SQL" / "SQL.INI").string() << "\n"
            << "  Database: " << ConnectionString::MaskPassword(connect_string) << "\n"
            << "Rebuild its phone lookup table with: fonwerk " << root.string() << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Creates a Korvana installation folder (SQL/SQL.INI and the product database)."};
  app.name("fonwerk-mkinstall");

  bool sqlite = false;
  std::string postgres;
  std::string dir;
  bool no_countries = false;
  fonwerk::install::Options options;

  auto* sqlite_flag = app.add_flag("--sqlite", sqlite, "SQLite database in DIR/SQL/korvana.db");
  auto* postgres_option = app.add_option(
      "--postgres", postgres,
      "PostgreSQL connection string: Host=..;Port=..;Database=..;User ID=..;Password=..");
  sqlite_flag->excludes(postgres_option);
  app.add_option("DIR", dir, "installation folder (created when missing)")->required();
  app.add_flag("--demo", options.demo, "load the demo contacts");
  app.add_option("--land", options.land, "short code of the own country (table STD)")
      ->capture_default_str();
  app.add_flag("--no-countries", no_countries, "leave the country list empty");
  app.add_flag("--force", options.force, "replace an existing database");
  CLI11_PARSE(app, argc, argv);

  if (!sqlite && postgres.empty()) {
    std::cerr << "fonwerk-mkinstall: give --sqlite or --postgres CONNECTION\n";
    return 1;
  }
  options.countries = !no_countries;
  try {
    return Run(sqlite, postgres, dir, options);
  } catch (const std::exception& e) {
    std::cerr << "fonwerk-mkinstall: " << e.what() << "\n";
    return 1;
  }
}
