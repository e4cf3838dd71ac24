#pragma once
// modFonwerk: the batch program's start-up, run log and hand-over.

#include <memory>
#include <optional>
#include <string>

#include "com/components.h"

namespace fonwerk {
class cCanonicalTelephone;
}

namespace fonwerk::modFonwerk {

// Module state; lives for the whole process.
extern std::string gstrPath;
extern std::string gstrConnect;
extern std::string gstrLogFile;  // empty until the run log is prepared
extern std::shared_ptr<com::IDBUtil> goDBUtil;
extern std::shared_ptr<com::IUtil> goUtil;
extern std::shared_ptr<cCanonicalTelephone> goCanonical;

// The process entry. `command_line` is the installation path as given (the
// words after the options, joined with blanks); `log_path` the log file named
// by --log (else FONWERK_LOG, else beside the program). Returns the exit
// status; a failure it does not handle escapes as fonwerk::Error (the caller
// reports it as a run-time error, exit status 3, and logs it with LogFailure).
int Main(const std::string& command_line, const std::optional<std::string>& log_path = std::nullopt,
         int wait_readers_seconds = 600);

// The whole program on argv: --help, --version, usage errors (exit 64), then Main.
int Run(int argc, const char* const* argv);

// The registry value "Path" of HKLM\Software\Korvana, or "".
std::string GetRegistryPath();

// Appends one time-stamped line to the run log. Throws when the log cannot be
// written. Does nothing while no run log is prepared (gstrLogFile empty), as
// in programs other than the batch program.
void WriteLog(const std::string& strText);

// Logs a failure shown to the user as "Fehler|<message>". A log that cannot
// be written is passed over: the failure has been shown already.
void LogFailure(const std::string& message);

}  // namespace fonwerk::modFonwerk
