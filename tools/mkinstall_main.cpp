// fonwerk-mkinstall: creates a Korvana installation folder that Fonwerk can run on.
//
//   fonwerk-mkinstall --sqlite DIR [--demo] [--land DEU] [--force] [--watch]
//   fonwerk-mkinstall --postgres "Host=..;Port=..;Database=..;User ID=..;Password=.." DIR
//                     [--demo] [--land DEU] [--force] [--watch]
//
// Exit status: 0 created (and --help, --version), 1 refused or failed (the
// reason on standard error), 64 a malformed command line, including a --land
// that is not in the country list (nothing is created then).

#include <CLI/CLI.hpp>
#include <algorithm>
#include <stdexcept>
#include <vector>
#include <filesystem>
#include <iostream>
#include <string>

#include "base/errors.h"
#include "base/text.h"
#include "db/connection_string.h"
#include "tools/install.h"

namespace {

namespace fs = std::filesystem;
using fonwerk::ConnectionString;

constexpr const char* kProgram = "fonwerk-mkinstall";
#ifndef FONWERK_VERSION
#error "FONWERK_VERSION must give the project's version"
#endif
constexpr const char* kVersion = "fonwerk-mkinstall " FONWERK_VERSION;
constexpr int kExitUsage = 64;
constexpr const char* kFooter =
    "A SQL.INI holding a password is written with mode 0600 (owner only).\n"
    "An existing database or SQL/SQL.INI is refused unless --force is given.\n"
    "Exit status: 0 created, 1 refused or failed, 64 bad arguments.";

// A command line that cannot be run.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One line "fonwerk-mkinstall: <message> (see ... --help)" on standard error; status 64.
int UsageFailure(std::string message) {
  for (char& c : message) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::cerr << kProgram << ": " << message << " (see " << kProgram << " --help)\n";
  return kExitUsage;
}

// The own country must be one of the country list: a code the list does not
// know would make every rebuild fall back to Germany without a word.
void CheckLand(const std::string& land) {
  const std::vector<std::string> known =
      fonwerk::install::CountryShortCodes(fonwerk::install::DefaultSqlDir());
  if (std::find(known.begin(), known.end(), land) != known.end()) return;
  std::string hint;
  for (const std::string& code : known) {
    if (fonwerk::text::EqualsNoCase(code, land)) hint = " (did you mean " + code + "?)";
  }
  if (hint.empty()) {
    hint = " (known: ";
    for (size_t i = 0; i < known.size(); ++i) hint += (i > 0 ? ", " : "") + known[i];
    hint += ")";
  }
  throw UsageError("--land " + land + " is not in the country list" + hint);
}

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
  app.name(kProgram);
  app.footer(kFooter);
  app.set_version_flag("--version", kVersion, "print the program's name and version, then exit");

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
  app.add_option("--land", options.land,
                 "short code of the own country (table STD), one of the country list")
      ->capture_default_str();
  app.add_flag("--no-countries", no_countries, "leave the country list empty");
  app.add_flag("--force", options.force, "replace an existing database and SQL/SQL.INI");
  app.add_flag("--watch", options.watch,
               "install the change capture on AD (see fonwerkctl watch --enable)");
  try {
    app.parse(argc, argv);
    if (!sqlite && postgres.empty()) throw UsageError("give --sqlite or --postgres CONNECTION");
    CheckLand(options.land);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help, std::cout, std::cerr);
  } catch (const CLI::CallForVersion&) {
    std::cout << kVersion << "\n";
    return 0;
  } catch (const CLI::ParseError& error) {
    return UsageFailure(error.what());
  } catch (const UsageError& error) {
    return UsageFailure(error.what());
  } catch (const std::exception& error) {
    std::cerr << kProgram << ": " << error.what() << "\n";
    return 1;
  }
  options.countries = !no_countries;
  try {
    return Run(sqlite, postgres, dir, options);
  } catch (const std::exception& e) {
    std::cerr << kProgram << ": " << e.what() << "\n";
    return 1;
  }
}
