// cCanonicalTelephone::FonwerkTable: rebuilds TAPI from AD in one pass.
//
// Every step reports its own failure to the user (MsgInfo) and the run goes on
// with the next step; a contact whose harvesting fails is reported, counted and
// passed over. The rebuild runs in one transaction on its own connection (which
// the component library's stores share), so readers keep the old table until
// the new one is complete, and a rebuild that dies or cannot finish its walk
// leaves the old table as it was.

#include <cstdio>
#include <exception>
#include <limits>

#include "batch/mod_fonwerk.h"
#include "canonical/canonical_telephone.h"
#include "canonical/require.h"
#include "services/ado.h"
#include "services/component_factory.h"
#include "services/errors.h"
#include "services/platform.h"
#include "services/table_rebuild.h"

namespace fonwerk {

namespace {

constexpr const char* kCountQuery = "Select count(*) from ad";
constexpr const char* kContactQuery = "Select * From AD order by kennung";
constexpr const char* kTruncate = "Truncate Table TAPI";

// The contact's row number in the log: zero-padded to at least eight digits.
std::string RowNumber(int32_t count) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%08d", count);
  return buffer;
}

std::string KeyText(const Variant& value) {
  if (value.IsNull() || value.IsEmpty()) return {};
  const std::string key = value.ToText();
  const size_t first = key.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return key.substr(first, key.find_last_not_of(' ') - first + 1);
}

bool ConnectionLost(const std::exception& error) {
  const auto* db_error = dynamic_cast<const DbError*>(&error);
  return db_error != nullptr && db_error->connection_lost();
}

// One call of FonwerkTable: its connection, recordset and progress bar.
class RebuildRun {
 public:
  RebuildRun(cCanonicalTelephone& owner, std::shared_ptr<com::IUtil> util,
             const std::string& connect_string, int32_t& failed_contacts,
             int32_t& reported_failures, bool& committed)
      : owner_(owner),
        util_(std::move(util)),
        connect_string_(connect_string),
        failed_contacts_(failed_contacts),
        reported_failures_(reported_failures),
        committed_(committed) {}

  void Run() {
    Step([&] { modFonwerk::WriteLog("++++ FonwerkTable ++++"); });
    Step([&] { OpenConnection(); });
    Step([&] {
      contacts_ = std::make_shared<ado::Recordset>();
      progress_ = com::ComponentFactory::Instance().Create<com::IProgress>(com::progid::kProgress);
    });
    Step([&] { Require(progress_).Show(Translate("Erstelle TAPI-Tabelle neu") + "...", true); });
    Step([&] { Require(contacts_).Open(kCountQuery, connection_); });
    Step([&] { modFonwerk::WriteLog("Count|" + contacts_->Fields(0).Value().ToText()); });
    Step([&] { Require(progress_).Max(contacts_->Fields(0).Value()); });
    Step([&] { Require(contacts_).Close(); });
    Step([&] { Require(contacts_).Open(kContactQuery, connection_); });
    Step([&] { modFonwerk::WriteLog(kTruncate); });
    // Rows written beside the old ones would double the table: a failed
    // truncation (or a transaction that could not be begun) ends the rebuild
    // before anything is written.
    const bool emptied = in_transaction_ && Step([&] {
      tapi_ = ado::BeginTableRebuild(connection_, "TAPI", kTruncate, [&](const std::string& line) {
        Step([&] { modFonwerk::WriteLog(line); });
      });
    });
    const bool walked = emptied && Walk();
    Step([&] { Require(contacts_).Close(); });
    Finish(walked);
    progress_.reset();
  }

 private:
  void OpenConnection() {
    connection_.SetConnectionString(connect_string_);
    connection_.SetCursorLocation(ado::CursorLocation::kServer);
    connection_.Open();
    connection_.BeginTrans();
    in_transaction_ = true;
  }

  // Walks the contacts. Returns true when every contact was handed over; a walk
  // that cannot go on (the end test or the move fails, or the database went
  // away) is reported once and ends the loop.
  bool Walk() {
    com::RecordsetRef& rs = contacts_;
    int32_t count = 0;
    while (true) {
      bool at_end = true;
      if (!Step([&] { at_end = Require(rs).Eof(); })) return false;
      if (at_end) return true;

      Step([&] {
        modFonwerk::WriteLog("AD|" + RowNumber(count) + "|" + KeyText(rs->Fields("Kennung").Value()) +
                             "|");
      });
      bool lost = false;
      if (!Step([&] { owner_.SaveTapiNumbers(rs, false, true); }, &lost)) {
        ++failed_contacts_;
        // Some failures make the database end the whole transaction (SQLite
        // rolls back by itself on a full disk or an I/O error): what follows
        // would no longer belong to the rebuild.
        if (lost || !TransactionAlive()) return false;
      }
      if (!ReportDeferredFailures()) return false;
      Step([&] {
        if (count == std::numeric_limits<int32_t>::max()) throw Error(errnum::kOverflow, "Überlauf");
        ++count;
      });
      Step([&] { Require(progress_).Progress(count); });
      platform::DoEvents();
      if (!Step([&] { rs->MoveNext(); })) return false;
    }
  }

  // Stores of other contacts may fail later than their own turn (the provider
  // may pipeline them): each such failure is reported as that contact's.
  // Returns false when the database went away.
  bool ReportDeferredFailures() {
    try {
      for (const ado::StoreFailure& failure : connection_.TakeStoreFailures()) {
        ++failed_contacts_;
        Report("AD_DSN " + failure.tag + ": " + failure.description);
      }
      return true;
    } catch (const std::exception& error) {
      Report(error.what());
      return false;
    }
  }

  bool TransactionAlive() {
    try {
      return connection_.session().InTransaction();
    } catch (const std::exception&) {
      return false;
    }
  }

  // Commits a complete walk; anything else keeps the old table.
  void Finish(bool walked) {
    if (!in_transaction_) return;
    if (!walked) {
      if (TransactionAlive()) Step([&] { connection_.RollbackTrans(); });
      return;
    }
    const bool flushed = Step([&] { connection_.FlushStores(); });
    if (!ReportDeferredFailures() || !flushed) {
      Step([&] { connection_.RollbackTrans(); });
      return;
    }
    if (!Step([&] { tapi_->Complete(); })) {
      if (TransactionAlive()) Step([&] { connection_.RollbackTrans(); });
      return;
    }
    committed_ = Step([&] { connection_.CommitTrans(); });
  }

  std::string Translate(const std::string& text) {
    auto language_pack = Require(util_).LanguagePack();
    return Require(language_pack).TranslateString(text);
  }

  // The failure handler: shows the failure and lets the run go on. A failure
  // inside the handler itself leaves FonwerkTable.
  void Report(const std::string& description) {
    ++reported_failures_;
    const std::string message = Translate("Fehler beim Aufbau aufgetreten.") + " " + description;
    Require(util_).MsgInfo(message);
  }

  // Runs one step; returns false when it failed (and was reported).
  template <class Action>
  bool Step(Action&& action, bool* connection_lost = nullptr) {
    try {
      action();
      return true;
    } catch (const std::exception& error) {
      if (connection_lost != nullptr) *connection_lost = ConnectionLost(error);
      Report(error.what());
      return false;
    }
  }

  cCanonicalTelephone& owner_;
  std::shared_ptr<com::IUtil> util_;
  const std::string& connect_string_;
  int32_t& failed_contacts_;
  int32_t& reported_failures_;
  bool& committed_;
  ado::Connection connection_;
  bool in_transaction_ = false;
  std::unique_ptr<ado::TableRebuild> tapi_;  // after connection_: ends before it
  com::RecordsetRef contacts_;
  std::shared_ptr<com::IProgress> progress_;
};

}  // namespace

void cCanonicalTelephone::FonwerkTable() {
  m_lngFailedContacts = 0;
  m_lngReportedFailures = 0;
  m_bRebuildCommitted = false;
  RebuildRun run(*this, m_oUtil, m_strConnect, m_lngFailedContacts, m_lngReportedFailures,
                 m_bRebuildCommitted);
  run.Run();
}

}  // namespace fonwerk
