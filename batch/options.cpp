#include "batch/options.h"

#include <optional>
#include <string_view>

namespace fonwerk::modFonwerk {
namespace {

// The value of an option given as "--name VALUE" or "--name=VALUE" at
// argv[next], or nullopt when argv[next] is not that option. `next` moves
// past what was read; a missing value is "" (the caller reports it).
std::optional<std::string> OptionValue(int argc, const char* const* argv, int& next,
                                       std::string_view name) {
  const std::string_view word = argv[next];
  if (word == name) {
    if (next + 1 >= argc) {
      ++next;
      return std::string();
    }
    next += 2;
    return std::string(argv[next - 1]);
  }
  if (word.size() > name.size() && word.substr(0, name.size()) == name &&
      word[name.size()] == '=') {
    ++next;
    return std::string(word.substr(name.size() + 1));
  }
  return std::nullopt;
}

// Whole seconds, 0 to 30 days; nullopt for anything else.
std::optional<int> Seconds(const std::string& text) {
  constexpr int kLongest = 30 * 24 * 3600;
  if (text.empty() || text.size() > 7 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const int value = std::stoi(text);
  return value <= kLongest ? std::optional<int>(value) : std::nullopt;
}

}  // namespace

BatchOptions ParseBatchOptions(int argc, const char* const* argv) {
  BatchOptions options;
  int next = 1;
  while (next < argc) {
    const std::string_view word = argv[next];
    if (word == "--") {
      ++next;
      break;
    }
    if (word == "--help" || (word == "-h" && next == 1 && argc == 2)) {
      options.action = BatchOptions::Action::kHelp;
      return options;
    }
    if (word == "--version") {
      options.action = BatchOptions::Action::kVersion;
      return options;
    }
    if (word == "--log") {
      if (next + 1 >= argc || argv[next + 1][0] == '\0') {
        options.action = BatchOptions::Action::kUsageError;
        options.error = "--log braucht den Pfad der Protokolldatei";
        return options;
      }
      options.log_path = argv[next + 1];
      next += 2;
      continue;
    }
    if (word.rfind("--log=", 0) == 0) {
      if (word.size() == 6) {
        options.action = BatchOptions::Action::kUsageError;
        options.error = "--log braucht den Pfad der Protokolldatei";
        return options;
      }
      options.log_path = std::string(word.substr(6));
      ++next;
      continue;
    }
    if (auto value = OptionValue(argc, argv, next, "--wait-readers")) {
      const std::optional<int> seconds = Seconds(*value);
      if (!seconds) {
        options.action = BatchOptions::Action::kUsageError;
        options.error = "--wait-readers braucht eine Zahl von Sekunden (0 bis 2592000)";
        return options;
      }
      options.wait_readers = *seconds;
      continue;
    }
    if (word.rfind("--", 0) == 0) {
      options.action = BatchOptions::Action::kUsageError;
      options.error = "unbekannte Option '" + std::string(word) + "'";
      return options;
    }
    break;
  }
  for (int i = next; i < argc; ++i) {
    if (i > next) options.command_line.push_back(' ');
    options.command_line += argv[i];
  }
  return options;
}

std::string BatchUsage() {
  return R"(Usage: fonwerk [--log PATH] [INSTALLATION]
   or: fonwerk --help | --version

Rebuilds the telephone lookup table TAPI of a Korvana installation from its
contact table AD: one row per telephone line, fax number and e-mail address,
numbers reduced to digits in canonical form.

INSTALLATION is the installation folder (the words given are joined with single
blanks and taken literally). Without it, the folder comes from the registry
file and fonwerk asks "Tapi neu aufbauen?" on the terminal first; ja, j, yes,
y or ok confirm, anything else (or no input) cancels.

Options come before INSTALLATION; another word that starts with "--" there is
an unknown option. A folder whose name starts with "--" is given as ./--name
(or after "--").

  --log PATH   write the run log to PATH instead of beside the program
  --wait-readers SECONDS
               PostgreSQL: how long the new table waits to take the place of
               TAPI while other sessions (a report, a dump) hold it; lookups
               are answered from the old table meanwhile. Then the rebuild
               gives up, keeps the old table and ends with 3 (default 600)
  --help       show this text
  --version    show the version
  --           ends the options: the rest is INSTALLATION

Files:
  INSTALLATION/SQL/SQL.INI   names the database, section [Database]:
                               Provider=SQLite
                               Data Source=korvana.db   (relative to the SQL folder)
                             or Provider=PostgreSQL with Host, Port, Database,
                             User ID, Password (keep such a file at mode 0600).
  Registry file              $KORVANA_REGISTRY, else /etc/korvana/registry.ini:
                               [HKEY_LOCAL_MACHINE\Software\Korvana]
                               Path=/srv/korvana

Run log (Fonwerk.log, replaced at every start): the file named by --log, else
by the environment variable FONWERK_LOG, else Fonwerk.log beside the program.
When the program's folder is not writable the log goes to
$XDG_STATE_HOME/fonwerk/Fonwerk.log (default ~/.local/state/fonwerk/), and a
line on standard error says so. An installed program (one with
../share/fonwerk beside its folder) logs there from the start. A log that a running rebuild holds is never
touched: the later run logs to a file of its own and names it. Only a log of an
earlier run or an empty file is replaced: any other file in the log's place (a
database, SQL.INI, a link, a device) is refused with status 64, untouched.

Only one rebuild of an installation runs at a time (SQLite: an flock on the
file <database>.lock; PostgreSQL: an advisory lock).

Exit status:
  0   the lookup table was rebuilt completely
  1   the run stopped at a check (no path, folder or SQL.INI missing), the
      confirmation was refused, or a rebuild of the installation is running
  2   the table was rebuilt, but some contacts failed (their rows are missing)
  3   a run-time error, or the rebuild could not be done and the old table
      was kept (database cannot be opened, a column is missing, the rebuild
      failed as a whole and was rolled back)
  64  the command line is wrong, or the log's file is no run log of fonwerk
)";
}

}  // namespace fonwerk::modFonwerk
