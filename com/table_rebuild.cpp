#include "com/table_rebuild.h"

#include <thread>

#include "base/errors.h"
#include "db/table_replacement.h"

namespace fonwerk::ado {
namespace {

class InPlaceRebuild final : public TableRebuild {
 public:
  bool Replaces() const override { return false; }
  void Complete(const std::function<void()>& /*before_swap*/) override {}
};

std::string JoinedHolders(TableRebuild& rebuild) {
  std::string joined;
  for (const std::string& holder : rebuild.TableHolders()) {
    joined += (joined.empty() ? "" : ", ") + holder;
  }
  return joined.empty() ? "andere Sitzungen" : joined;
}

void TakeSwapLock(TableRebuild& rebuild, const SwapWait& wait) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point give_up = Clock::now() + wait.limit;
  bool told = false;
  while (!rebuild.TryLockTable(wait.attempt)) {
    if (!told) {
      told = true;
      if (wait.notice) wait.notice(JoinedHolders(rebuild));
    }
    if (Clock::now() + wait.pause >= give_up) {
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait.limit).count();
      throw DbError(DbError::Kind::kStatement,
                    "Die bisherige Tabelle wird nach " + std::to_string(seconds) +
                        " s noch gehalten von " + JoinedHolders(rebuild) +
                        "; der Aufbau wird zurückgenommen (--wait-readers).",
                    "55P03");
    }
    std::this_thread::sleep_for(wait.pause);
  }
}

}  // namespace

void CompleteTableRebuild(TableRebuild& rebuild, const SwapWait& wait) {
  rebuild.Complete([&] { TakeSwapLock(rebuild, wait); });
}

std::unique_ptr<TableRebuild> BeginTableRebuild(Connection& connection, const std::string& table,
                                                const std::string& empty_sql,
                                                const RebuildLog& log) {
  const std::shared_ptr<Session> session = connection.shared_session();
  if (!session) connection.session();  // throws the closed-connection error
  if (!session->InTransaction()) {
    throw DbError(DbError::Kind::kUsage, "The rebuild of " + table + " needs an open transaction");
  }
  const std::string provider = session->ProviderName();
  rebuild::Replacement replacement;
  if (provider == "SQLite") {
    replacement = rebuild::BeginSqliteReplacement(session, table);
  } else if (provider == "PostgreSQL") {
    replacement = rebuild::BeginPostgresReplacement(session, table);
  } else {
    replacement.in_place_reason = "the provider " + provider + " cannot replace a table";
  }
  if (replacement.rebuild) return std::move(replacement.rebuild);
  if (log) log("Rebuild in place|" + replacement.in_place_reason);
  connection.Execute(empty_sql);
  return std::make_unique<InPlaceRebuild>();
}

}  // namespace fonwerk::ado
