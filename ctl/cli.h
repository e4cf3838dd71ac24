#pragma once
// fonwerkctl's command line: parsing into a Request, and the whole run.

#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>

#include "ctl/request.h"

namespace fonwerk::ctl {

// A command line that cannot be run; the message is one line.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses a truth value: true/false, yes/no, 1/0/-1, any case.
// Throws UsageError naming `what` otherwise.
bool ParseFlag(const std::string& text, const std::string& what);

// Whether a digit setting may be empty: the international access prefix and
// the own country code may not; a trunk prefix may (countries without one).
enum class DigitRule { kOneOrMore, kNoneOrMore };

// Returns `value` when it is digits only (and not empty, for kOneOrMore).
// Throws UsageError naming `what` and the value otherwise.
std::string CheckDigits(const std::string& value, const std::string& what, DigitRule rule);

// Parses one `config set` argument KEY=VALUE (keys Active, Plus, VAZ,
// Suspress, any case; Plus and VAZ checked by CheckDigits). Throws UsageError
// for anything else.
Setting ParseSetting(const std::string& argument);

// The result of parsing: a request to run, or the exit status of a run that
// ends here (help or version printed on `out`: 0; a usage error printed on `err`: 64).
struct Parsed {
  std::optional<Request> request;
  int exit_status = kExitMatched;
};
Parsed ParseCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// The command's name as typed: "serve", "lookup", ... The run names itself
// "fonwerkctl <name>" to the database server (ProgramName).
const char* CommandName(Command command);

// Parses the command line and runs the command against the installation.
// Returns the exit status; failures are reported on `err` as
// "fonwerkctl: <message>" and give kExitError. Never throws.
int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace fonwerk::ctl
