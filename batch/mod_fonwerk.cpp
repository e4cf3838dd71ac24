// modFonwerk: start-up sequence, run log and hand-over of the batch program.

#include "batch/mod_fonwerk.h"

#include <ctime>

#include "canonical/canonical_telephone.h"
#include "services/component_factory.h"
#include "services/connection_string.h"
#include "services/platform.h"

namespace fonwerk::modFonwerk {

std::string gstrPath;
std::string gstrConnect;
std::string gstrLogFile;
std::shared_ptr<com::IDBUtil> goDBUtil;
std::shared_ptr<com::IUtil> goUtil;
std::shared_ptr<cCanonicalTelephone> goCanonical;

namespace {

constexpr const char* kIniSuffix = "/SQL/SQL.INI";
constexpr int32_t kConnectFlags = 4802719;
constexpr uint32_t kHKeyLocalMachine = 0x80000002u;
constexpr const char* kStartLine = "*********************** START ***********************";
constexpr const char* kFinishLine = "*********************** FERTIG ***********************";

int32_t StopBox(const std::string& text) {
  return platform::MsgBox(text, platform::kMbIconStop, "Fonwerk");
}

// Deletes the log of an earlier run; the new log starts with the next line.
void PrepareRunLog() {
  gstrLogFile = platform::JoinLogPath(platform::ExecutableFolder(), "Fonwerk.log");
  if (platform::FileExists(gstrLogFile)) platform::DeleteFileForced(gstrLogFile);
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
    const int32_t style = platform::kMbOkCancel | platform::kMbIconQuestion | platform::kMbDefButton2;
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
// success: it names the failed contacts, or says that the old table was kept
// when the new one could not be completed, and ends with exit status 2.
int FinalReport(const cCanonicalTelephone& canonical) {
  if (!canonical.RebuildReportedFailures()) {
    platform::MsgBox("Tapi wurde neu aufgebaut.", platform::kMbOk);
    return platform::kExitOk;
  }
  constexpr int32_t kMbIconExclamation = 48;
  const std::string failed = "Fehlgeschlagene Kontakte: " +
                             std::to_string(canonical.RebuildFailedContacts());
  if (canonical.RebuildCommitted()) {
    platform::MsgBox("Tapi wurde mit Fehlern neu aufgebaut. " + failed, kMbIconExclamation);
  } else {
    platform::MsgBox("Tapi wurde nicht neu aufgebaut, die bisherige Tabelle bleibt erhalten. " +
                         failed,
                     kMbIconExclamation);
  }
  return platform::kExitWithFailures;
}

int HandOver() {
  goCanonical = std::make_shared<cCanonicalTelephone>();
  goCanonical->Init(gstrConnect);
  goCanonical->FonwerkTable();
  WriteLog(kFinishLine);
  return FinalReport(*goCanonical);
}

}  // namespace

int Main(const std::string& command_line) {
  auto& factory = com::ComponentFactory::Instance();
  goDBUtil = factory.Create<com::IDBUtil>(com::progid::kDBUtil);
  goUtil = factory.Create<com::IUtil>(com::progid::kUtil);

  PrepareRunLog();
  WriteLog(kStartLine);

  ChoosePath(command_line);
  CheckFolder();
  CheckIni();
  if (gstrPath.empty()) return platform::kExitStopped;

  gstrConnect = goDBUtil->GetConnectString(gstrPath + kIniSuffix, kConnectFlags).ToText();
  // The log is a plain file beside the program: it never shows the password.
  WriteLog("ConnectionString|" + ConnectionString::MaskPassword(gstrConnect));
  return HandOver();
}

std::string GetRegistryPath() {
  auto registry = com::ComponentFactory::Instance().Create<com::IRegistry>(com::progid::kRegistry);
  registry->SetHKey(kHKeyLocalMachine);
  registry->SetSection("Software\\Korvana");
  return registry->GetStrKey("Path", "").ToText();
}

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
  platform::AppendLine(gstrLogFile, line);
}

}  // namespace fonwerk::modFonwerk
