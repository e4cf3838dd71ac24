// modFonwerk: start-up sequence, run log and hand-over of the batch program.

#include "batch/mod_fonwerk.h"

#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <ctime>
#include <exception>

#include "batch/options.h"
#include "com/component_factory.h"
#include "com/registry.h"
#include "db/connection_string.h"
#include "phone/canonical_telephone.h"
#include "phone/rebuild_lock.h"
#include "platform/platform.h"
#include "platform/run_log.h"

namespace fonwerk::modFonwerk {

std::string gstrPath;
std::string gstrConnect;
std::string gstrLogFile;
std::shared_ptr<com::IDBUtil> goDBUtil;
std::shared_ptr<com::IUtil> goUtil;
std::shared_ptr<cCanonicalTelephone> goCanonical;

namespace {

std::unique_ptr<platform::RunLogFile> goRunLog;  // the open log file of gstrLogFile
std::unique_ptr<RebuildLock> goRebuildLock;      // held until the process ends

constexpr const char* kIniSuffix = "/SQL/SQL.INI";
constexpr int32_t kConnectFlags = 4802719;
constexpr const char* kStartLine = platform::kRunLogStartLine;
constexpr const char* kFinishLine = "*********************** FERTIG ***********************";

int32_t StopBox(const std::string& text) {
  const int32_t answer = platform::MsgBox(text, platform::kMbIconStop, "Fonwerk");
  LogFailure(text);
  return answer;
}

void Print(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// The log file named on the command line or by FONWERK_LOG, if any.
std::optional<std::string> RequestedLog(const std::optional<std::string>& log_path) {
  if (log_path) return log_path;
  const char* from_environment = std::getenv("FONWERK_LOG");
  if (from_environment != nullptr && from_environment[0] != '\0') return from_environment;
  return std::nullopt;
}

// The log's default place: beside the program, or the state folder for an
// installed program (a file of its own in bin/ is no place for it).
std::string DefaultLog() {
  if (!platform::InstalledDataFolder().empty()) return {};
  return platform::JoinLogPath(platform::ExecutableFolder(), "Fonwerk.log");
}

// Replaces the log of an earlier run; the new log starts with the next line.
// A log that a running rebuild holds is not touched (this run logs elsewhere).
// False when the file in the log's place is no log: it is left as it is.
bool PrepareRunLog(const std::optional<std::string>& log_path) {
  platform::RunLogPlacement placement;
  try {
    placement = platform::PlaceRunLog(RequestedLog(log_path), DefaultLog());
  } catch (const platform::RunLogRefused& refused) {
    Print(stderr, "fonwerk: " + std::string(refused.what()) + "\n");
    return false;
  }
  goRunLog = std::move(placement.file);
  gstrLogFile = goRunLog->path();
  if (!placement.note.empty()) {
    const std::string line = platform::AppTitle() + ": " + placement.note + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }
  return true;
}

// Takes the installation's rebuild lock; false when another rebuild holds it.
bool LockInstallation() {
  goRebuildLock = std::make_unique<RebuildLock>();
  if (goRebuildLock->TryAcquire(gstrConnect) != RebuildLock::Outcome::kHeld) return true;
  StopBox("Tapi wird bereits neu aufgebaut: ein anderer Aufbau der Installation '" + gstrPath +
          "' läuft noch.");
  return false;
}

// The path comes from the command line, or from the registry with a confirmation.
void ChoosePath(const std::string& command_line) {
  if (!command_line.empty()) {
    gstrPath = command_line;
    WriteLog("Command|" + gstrPath);
    return;
  }
  gstrPath = GetRegistryPath();
  WriteLog("Registry|" + gstrPath);
  if (gstrPath.empty()) {
    StopBox("Kein Pfad angegeben. Commandlineparameter fehlt");
  } else if (platform::FolderExists(gstrPath)) {
    const int32_t style =
        platform::kMbOkCancel | platform::kMbIconQuestion | platform::kMbDefButton2;
    const int32_t answer =
        platform::MsgBox("Tapi neu aufbauen?\r\n\r\nIm Pfad: '" + gstrPath + "'", style, "Fonwerk");
    if (answer != platform::kIdOk) gstrPath.clear();
  }
  // A missing folder is reported by the folder check.
}

void CheckFolder() {
  if (gstrPath.empty() || platform::FolderExists(gstrPath)) return;
  StopBox("Pfad nicht gefunden '" + gstrPath + "'");
  gstrPath.clear();
}

void CheckIni() {
  if (gstrPath.empty() || platform::FileExists(gstrPath + kIniSuffix)) return;
  StopBox("Sql.ini nicht gefunden '" + gstrPath + kIniSuffix + "'");
  gstrPath.clear();
}

// The final message. A rebuild that reported failures is not announced as a
// success: it names the failed contacts (exit status 2), or says that the old
// table was kept when the new one could not be made (exit status 3).
int FinalReport(const cCanonicalTelephone& canonical) {
  if (!canonical.RebuildCommitted()) {
    std::string text = "Tapi wurde nicht neu aufgebaut, die bisherige Tabelle bleibt erhalten.";
    if (canonical.RebuildFailedContacts() > 0) {
      text += " Fehlgeschlagene Kontakte: " + std::to_string(canonical.RebuildFailedContacts());
    }
    StopBox(text);
    return platform::kExitNotRebuilt;
  }
  WriteLog(kFinishLine);
  if (!canonical.RebuildReportedFailures()) {
    platform::MsgBox("Tapi wurde neu aufgebaut.", platform::kMbOk);
    return platform::kExitOk;
  }
  constexpr int32_t kMbIconExclamation = 48;
  platform::MsgBox("Tapi wurde mit Fehlern neu aufgebaut. Fehlgeschlagene Kontakte: " +
                       std::to_string(canonical.RebuildFailedContacts()),
                   kMbIconExclamation);
  return platform::kExitWithFailures;
}

int HandOver(int wait_readers_seconds) {
  goCanonical = std::make_shared<cCanonicalTelephone>();
  goCanonical->SetRunLog(&WriteLog);
  goCanonical->SetReaderWait(std::chrono::seconds(wait_readers_seconds));
  goCanonical->Init(gstrConnect);
  goCanonical->FonwerkTable();
  // The rebuild has ended (committed or rolled back): the next may start.
  goRebuildLock->Release();
  return FinalReport(*goCanonical);
}

}  // namespace

int Main(const std::string& command_line, const std::optional<std::string>& log_path,
         int wait_readers_seconds) {
  auto& factory = com::ComponentFactory::Instance();
  goDBUtil = factory.Create<com::IDBUtil>(com::progid::kDBUtil);
  goUtil = factory.Create<com::IUtil>(com::progid::kUtil);

  if (!PrepareRunLog(log_path)) return platform::kExitUsage;
  WriteLog(kStartLine);

  ChoosePath(command_line);
  CheckFolder();
  CheckIni();
  if (gstrPath.empty()) return platform::kExitStopped;

  gstrConnect = goDBUtil->GetConnectString(gstrPath + kIniSuffix, kConnectFlags).ToText();
  // The log is a plain file beside the program: it never shows the password.
  WriteLog("ConnectionString|" + ConnectionString::MaskPassword(gstrConnect));
  if (!LockInstallation()) return platform::kExitStopped;
  return HandOver(wait_readers_seconds);
}

int Run(int argc, const char* const* argv) {
  SetProgramName("fonwerk");
  const BatchOptions options = ParseBatchOptions(argc, argv);
  switch (options.action) {
    case BatchOptions::Action::kHelp:
      Print(stdout, BatchUsage());
      return platform::kExitOk;
    case BatchOptions::Action::kVersion:
      Print(stdout, std::string("fonwerk ") + FONWERK_VERSION + "\n");
      return platform::kExitOk;
    case BatchOptions::Action::kUsageError:
      Print(stderr, "fonwerk: " + options.error +
                        "\nAufruf: fonwerk [--log PATH] [INSTALLATION] "
                        "(fonwerk --help zeigt mehr)\n");
      return platform::kExitUsage;
    case BatchOptions::Action::kRebuild:
      break;
  }
  return Main(options.command_line, options.log_path, options.wait_readers);
}

std::string GetRegistryPath() { return com::RegistryInstallPath(); }

void WriteLog(const std::string& strText) {
  if (gstrLogFile.empty()) return;
  // One rebuild writes a line per contact: format the time stamp once a second.
  static std::time_t stamped_second = -1;
  static std::string stamp;
  const std::time_t now = std::time(nullptr);
  if (now != stamped_second) {
    stamp = platform::NowStamp();
    stamped_second = now;
  }
  std::string line;
  line.reserve(stamp.size() + 2 + strText.size());
  line.append(stamp).append(": ").append(strText);
  // The run's log stays open; a log named by other means is opened on first use.
  if (!goRunLog || goRunLog->path() != gstrLogFile) {
    goRunLog = platform::RunLogFile::OpenForAppend(gstrLogFile);
  }
  goRunLog->Append(line);
}

void LogFailure(const std::string& message) {
  try {
    WriteLog("Fehler|" + message);
  } catch (const std::exception&) {
    // The failure was shown; a log that cannot take it changes nothing.
  }
}

}  // namespace fonwerk::modFonwerk
