// fonwerkctl sync and refresh.

#include "ctl/sync.h"

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>

#include "base/errors.h"
#include "com/ado.h"
#include "phone/rebuild_lock.h"
#include "phone/tapi_sync.h"

namespace fonwerk::ctl {
namespace {

constexpr const char* kLockHeld =
    "the lookup table TAPI of this installation is being rebuilt or refreshed by another "
    "process (fonwerk, or fonwerkctl sync or refresh, holds its lock)";

std::string Seconds(double seconds) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.2f", seconds);
  return buffer;
}

void PrintSummary(const TapiSyncResult& result, double seconds, bool json, std::ostream& out) {
  if (json) {
    const nlohmann::json summary = {
        {"contacts_compared", result.compared},    {"contacts_changed", result.changed},
        {"rows_inserted", result.inserted},        {"rows_deleted", result.deleted},
        {"contacts_failed", result.failed.size()}, {"compared_with_tapi", result.full},
        {"seconds", std::stod(Seconds(seconds))},
    };
    out << summary.dump() << "\n";
    return;
  }
  out << "fonwerkctl sync: " << result.compared << " contacts compared"
      << (result.full ? " with TAPI" : "") << ", " << result.changed << " changed, "
      << result.inserted << " rows inserted, " << result.deleted << " rows deleted, "
      << result.failed.size() << " failed, " << Seconds(seconds) << " s\n";
}

}  // namespace

int Sync(const Request& request, Installation& installation, std::ostream& out, std::ostream& err) {
  const auto start = std::chrono::steady_clock::now();
  RebuildLock lock;
  if (lock.TryAcquire(installation.connect) == RebuildLock::Outcome::kHeld) {
    err << "fonwerkctl: " << kLockHeld << "; sync stopped, nothing was changed\n";
    return kExitNoMatch;
  }
  ado::Connection connection;
  connection.SetConnectionString(installation.connect);
  connection.Open();
  ado::Transaction transaction(connection);
  TapiSync sync(installation.phone, connection);
  sync.Prepare();
  const TapiSyncResult result = sync.SyncTable(request.full);
  // A run that changed nothing ends without a commit: it wrote nothing.
  if (result.written) {
    transaction.Commit();
  } else {
    transaction.Rollback();
  }
  for (const TapiSyncFailure& failure : result.failed) {
    err << "fonwerkctl: contact " << failure.key << " kept its old rows: " << failure.message
        << "\n";
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  PrintSummary(result, seconds, request.json, out);
  return result.failed.empty() ? kExitMatched : kExitSomeFailed;
}

int Refresh(const std::string& key, const Request& request, Installation& installation,
            std::ostream& out, std::ostream& err) {
  RebuildLock lock;
  const auto wait = std::chrono::milliseconds(static_cast<int64_t>(request.wait_seconds) * 1000);
  if (lock.Acquire(installation.connect, wait) == RebuildLock::Outcome::kHeld) {
    err << "fonwerkctl: " << kLockHeld << ", still after " << request.wait_seconds
        << " s; the contact " << key << " was not refreshed\n";
    return kExitNoMatch;
  }
  ado::Connection connection;
  connection.SetConnectionString(installation.connect);
  connection.Open();
  ado::Transaction transaction(connection);
  TapiSync sync(installation.phone, connection);
  // The tables are checked first, so that a missing column is reported as
  // such. An installation that never ran sync gets no side tables from refresh.
  sync.Prepare(false);
  const std::vector<Variant> params = {Variant(key)};
  ado::Recordset contact;
  contact.Open("SELECT DSN FROM AD WHERE DSN = ?", params, connection);
  const bool known = !contact.Eof();
  contact.Close();
  if (!known) {
    err << "fonwerkctl: no contact with the key " << key << "\n";
    return kExitNoMatch;  // the transaction rolls back with `transaction`
  }
  const TapiSyncResult result = sync.RefreshContacts({key}, true);
  if (!result.failed.empty()) throw Error(errnum::kProvider, result.failed.front().message);
  transaction.Commit();

  ado::Recordset count;
  count.Open("SELECT count(*) FROM TAPI WHERE AD_DSN = ?", params, connection);
  out << count.Fields(0).Value().ToInteger() << "\n";
  count.Close();
  return kExitMatched;
}

}  // namespace fonwerk::ctl
