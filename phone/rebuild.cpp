// cCanonicalTelephone::FonwerkTable: rebuilds TAPI from AD in one pass.
//
// Every failure is reported to the user (MsgInfo) and logged. The database, AD
// and TAPI are checked before TAPI is emptied; a contact whose harvesting
// fails is reported, counted and passed over. The rebuild runs in one transaction on its own connection (which
// the component library's stores share), so readers keep the old table until
// the new one is complete, and a rebuild that dies or cannot finish its walk
// leaves the old table as it was.

#include <cstdio>
#include <exception>
#include <iterator>
#include <limits>
#include <optional>
#include <vector>

#include "base/errors.h"
#include "base/text.h"
#include "com/ado.h"
#include "com/component_factory.h"
#include "com/table_rebuild.h"
#include "db/connection_string.h"
#include "phone/canonical_telephone.h"
#include "phone/harvest_columns.h"
#include "phone/require.h"
#include "platform/platform.h"

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
  return std::string(text::TrimBlanks(value.ToText()));
}

// A provider's message on one line: a line break and the indentation after it become one blank.
std::string OneLine(const std::string& text) {
  std::string line;
  line.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n' && text[i] != '\r') {
      line.push_back(text[i]);
      continue;
    }
    while (i + 1 < text.size() && (text[i + 1] == '\t' || text[i + 1] == ' ' ||
                                   text[i + 1] == '\n' || text[i + 1] == '\r')) {
      ++i;
    }
    if (i + 1 < text.size()) line.push_back(' ');
  }
  return line;
}

bool ConnectionLost(const std::exception& error) {
  const auto* db_error = dynamic_cast<const DbError*>(&error);
  return db_error != nullptr && db_error->connection_lost();
}

// Throws naming the first column of `required` that `table` lacks.
void RequireColumns(const std::string& table, const std::vector<ado::ColumnInfo>& columns,
                    const std::vector<std::string>& required) {
  std::vector<std::string> present;
  for (const ado::ColumnInfo& column : columns) present.push_back(column.name);
  const std::string missing = FirstMissingColumn(present, required);
  if (!missing.empty()) {
    throw Error(errnum::kItemNotFound, "Die Tabelle " + table + " hat keine Spalte " + missing + ".");
  }
}

// One call of FonwerkTable: its connection, recordset and progress bar.
//
// The steps up to the truncation are checks: the first that fails is reported
// once, nothing is written and the old table stays. After the truncation a
// failure of one contact is reported and the walk goes on; a failure that is
// not about one contact's data (the database went away, every contact with
// numbers fails) rolls the whole rebuild back.
class RebuildRun {
 public:
  RebuildRun(cCanonicalTelephone& owner, std::shared_ptr<com::IUtil> util,
             platform::LogSink log, const std::string& connect_string,
             std::chrono::seconds reader_wait, int32_t& failed_contacts,
             int32_t& reported_failures, bool& committed)
      : owner_(owner),
        util_(std::move(util)),
        log_(std::move(log)),
        connect_string_(connect_string),
        reader_wait_(reader_wait),
        failed_contacts_(failed_contacts),
        reported_failures_(reported_failures),
        committed_(committed) {}

  void Run() {
    Step([&] { WriteLog("++++ FonwerkTable ++++"); });
    Check([&] { OpenConnection(); });
    contacts_ = std::make_shared<ado::Recordset>();
    if (!aborted_) {
      Step([&] {
        progress_ = com::ComponentFactory::Instance().Create<com::IProgress>(com::progid::kProgress);
      });
    }
    ProgressStep([&] { progress_->Show(Translate("Erstelle TAPI-Tabelle neu") + "...", true); });
    Check([&] { OnDatabase([&] { contacts_->Open(kCountQuery, connection_); }); });
    if (!aborted_) {
      Step([&] { WriteLog("Count|" + contacts_->Fields(0).Value().ToText()); });
      ProgressStep([&] { progress_->Max(contacts_->Fields(0).Value()); });
    }
    Check([&] { contacts_->Close(); });
    Check([&] { CheckColumns(); });
    Check([&] { OnDatabase([&] { contacts_->Open(ContactQuery(), connection_); }); });
    if (!aborted_) Step([&] { WriteLog(kTruncate); });
    // Rows written beside the old ones would double the table: a failed
    // truncation ends the rebuild before anything is written. The new rows
    // go into a new table that replaces TAPI at the commit, or, where TAPI
    // cannot be replaced faithfully, into TAPI itself after emptying it.
    Check([&] {
      tapi_ = ado::BeginTableRebuild(connection_, "TAPI", kTruncate, [&](const std::string& line) {
        Step([&] { WriteLog(line); });
      });
    });
    const bool walked = !aborted_ && Walk();
    if (walked) {
      Step([&] { contacts_->Close(); });
    } else {
      Quietly([&] { contacts_->Close(); });
    }
    Finish(walked);
    progress_.reset();
  }

 private:
  void OpenConnection() {
    try {
      connection_.SetConnectionString(connect_string_);
      connection_.SetCursorLocation(ado::CursorLocation::kServer);
      connection_.Open();
      transaction_.emplace(connection_);
    } catch (const Error& error) {
      throw Error(error.number(), "Die Datenbank kann nicht geöffnet werden: " +
                                      NamingTheDatabase(error.description()));
    }
  }

  // Runs a statement on the database; its failure names the database (a
  // file that is no database is only found out at the first statement).
  template <class Action>
  void OnDatabase(Action&& action) {
    try {
      action();
    } catch (const DbError& error) {
      throw Error(error.number(), NamingTheDatabase(error.description()));
    }
  }

  // The provider's message, with the database named when it does not name it.
  std::string NamingTheDatabase(const std::string& message) const {
    const std::string name = DatabaseName();
    if (message.find(name.substr(1, name.find('\'', 1) - 1)) != std::string::npos) return message;
    return message + " (Datenbank " + name + ")";
  }

  // The database as a user knows it: the SQLite file, or database@host:port.
  std::string DatabaseName() const {
    try {
      const ConnectionString params = ConnectionString::Parse(connect_string_);
      if (auto file = params.Get("Data Source")) return "'" + *file + "'";
      std::string name = "'" + params.Get("Database").value_or("") + "'";
      if (auto host = params.Get("Host")) {
        name += " auf " + *host;
        if (auto port = params.Get("Port")) name += ":" + *port;
      }
      return name;
    } catch (const std::exception&) {
      return "'" + ConnectionString::MaskPassword(connect_string_) + "'";
    }
  }

  // The columns of `table` as the catalog describes them.
  std::vector<ado::ColumnInfo> TableColumns(const std::string& table) {
    try {
      return connection_.session().TableColumns(table);
    } catch (const DbError& error) {
      throw Error(error.number(), "Tabelle " + table + ": " + error.description());
    }
  }

  // AD must have every column the harvesting reads, TAPI every column it
  // writes. Checked before the contacts are queried, so that a missing
  // column is named rather than reported as the query's failure.
  void CheckColumns() {
    std::vector<std::string> contact_columns = HarvestedAdColumns();
    contact_columns.insert(contact_columns.begin() + 1, "Kennung");  // the log's key
    const std::vector<ado::ColumnInfo> ad = TableColumns("AD");
    RequireColumns("AD", ad, contact_columns);
    for (const ado::ColumnInfo& column : ad) {
      if (text::EqualsNoCase(column.name, "Kennung")) kennung_ = column.name;
    }
    RequireColumns("TAPI", TableColumns("TAPI"), WrittenTapiColumns());
  }

  // The contacts in the order of their Kennung. PostgreSQL folds the unquoted
  // name to lower case, which misses a column created quoted in mixed case:
  // that one is ordered by its quoted name.
  std::string ContactQuery() {
    const bool folded = text::AsciiLower(kennung_) == kennung_;
    if (folded || connection_.session().ProviderName() != "PostgreSQL") return kContactQuery;
    return std::string("Select * From AD order by ") + text::DoubleQuoted(kennung_);
  }

  // Walks the contacts. Returns true when every contact was handed over; a walk
  // that cannot go on (the end test or the move fails, or the database went
  // away) is reported once and ends the loop.
  bool Walk() {
    com::RecordsetRef& rs = contacts_;
    while (true) {
      bool at_end = true;
      if (!Step([&] { at_end = rs->Eof(); })) return false;
      if (at_end) return true;

      Step([&] {
        WriteLog("AD|" + RowNumber(count_) + "|" +
                             KeyText(rs->Fields("Kennung").Value()) + "|");
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
        if (count_ == std::numeric_limits<int32_t>::max()) throw Error(errnum::kOverflow, "Überlauf");
        ++count_;
      });
      ProgressStep([&] { progress_->Progress(count_); });
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

  // Commits a complete walk that put rows into the table or had no failed
  // contact; anything else keeps the old table. A commit that fails leaves the
  // rollback to the transaction's end.
  void Finish(bool walked) {
    if (!transaction_) return;
    if (walked && ReadyToCommit()) {
      committed_ = Step([&] { transaction_->Commit(); });
    } else {
      Quietly([&] { transaction_->Rollback(); });
    }
  }

  // After a complete walk: true when every store went through, the new table
  // is in place and, if contacts failed, rows of others reached it. Contacts
  // without numbers store nothing, so only the table tells whether every
  // contact with numbers failed: then the cause is not one contact's data.
  bool ReadyToCommit() {
    const bool flushed = Step([&] { connection_.FlushStores(); });
    if (!ReportDeferredFailures() || !flushed) return false;
    if (failed_contacts_ > 0) {
      bool empty = true;
      if (!Step([&] { empty = TableBeingFilledIsEmpty(); })) return false;
      if (empty) {
        Report(failed_contacts_ >= count_
                   ? "Alle " + std::to_string(count_) + " Kontakte sind fehlgeschlagen."
                   : "Alle " + std::to_string(failed_contacts_) +
                         " Kontakte mit Nummern sind fehlgeschlagen.");
        return false;
      }
    }
    return Step([&] { ado::CompleteTableRebuild(*tapi_, SwapWait()); });
  }

  // The swap waits in short attempts for the sessions that hold TAPI, so
  // that lookups arriving meanwhile are answered from the old table; what it
  // waits for is said once, on the terminal and in the log.
  ado::SwapWait SwapWait() {
    ado::SwapWait wait;
    wait.limit = reader_wait_;
    wait.notice = [this](const std::string& holders) {
      const std::string text =
          "TAPI wird gelesen von " + holders +
          "; die neue Tabelle wird eingesetzt, sobald sie frei ist (höchstens " +
          std::to_string(reader_wait_.count()) + " s).";
      Step([&] { Require(util_).MsgInfo(text); });
      Step([&] { WriteLog("Warten|" + text); });
    };
    return wait;
  }

  // The table that takes the new rows: the new table until Complete() puts it
  // in place of TAPI, or TAPI itself when the rebuild runs in place. Its name
  // is one the provider's statements take as it is.
  bool TableBeingFilledIsEmpty() {
    ado::Session& session = connection_.session();
    const std::string tapi = "TAPI";
    const std::string table = session.StoreTable(tapi);
    return !session.Query("SELECT 1 FROM " + table + " LIMIT 1", false)->Advance();
  }

  std::string Translate(const std::string& text) {
    auto language_pack = Require(util_).LanguagePack();
    return Require(language_pack).TranslateString(text);
  }

  // The failure handler: shows the failure, logs it and lets the run go on. A
  // failure inside the handler itself leaves FonwerkTable.
  void Report(const std::string& description) {
    ++reported_failures_;
    const std::string message =
        Translate("Fehler beim Aufbau aufgetreten.") + " " + OneLine(description);
    Require(util_).MsgInfo(message);
    LogFailure(message);
  }

  void WriteLog(const std::string& line) const {
    if (log_) log_(line);
  }

  // A failure shown to the user goes to the run log too; a log that cannot
  // take it changes nothing (the failure has been shown).
  void LogFailure(const std::string& message) const {
    try {
      WriteLog("Fehler|" + message);
    } catch (const std::exception&) {
    }
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

  // A step the rebuild cannot do without: after the first that fails, the
  // others are not tried (and so not reported again).
  template <class Action>
  void Check(Action&& action) {
    if (!aborted_ && !Step(action)) aborted_ = true;
  }

  // A step of the progress bar; without a bar (its creation failed and was
  // reported) there is nothing to do.
  template <class Action>
  void ProgressStep(Action&& action) {
    if (progress_ && !aborted_) Step(action);
  }

  // Cleaning up after the rebuild was given up: its failures follow from the
  // one reported already.
  template <class Action>
  static void Quietly(Action&& action) {
    try {
      action();
    } catch (const std::exception&) {
    }
  }

  cCanonicalTelephone& owner_;
  std::shared_ptr<com::IUtil> util_;
  platform::LogSink log_;
  const std::string& connect_string_;
  std::chrono::seconds reader_wait_;
  int32_t& failed_contacts_;
  int32_t& reported_failures_;
  bool& committed_;
  ado::Connection connection_;
  std::optional<ado::Transaction> transaction_;  // begun with the connection
  bool aborted_ = false;
  int32_t count_ = 0;
  std::string kennung_ = "Kennung";  // AD's column as the catalog names it
  std::unique_ptr<ado::TableRebuild> tapi_;  // after connection_: ends before it
  com::RecordsetRef contacts_;
  std::shared_ptr<com::IProgress> progress_;
};

}  // namespace

void cCanonicalTelephone::FonwerkTable() {
  m_lngFailedContacts = 0;
  m_lngReportedFailures = 0;
  m_bRebuildCommitted = false;
  RebuildRun run(*this, m_oUtil, m_oRunLog, m_strConnect, m_oReaderWait, m_lngFailedContacts,
                 m_lngReportedFailures, m_bRebuildCommitted);
  run.Run();
}

}  // namespace fonwerk
