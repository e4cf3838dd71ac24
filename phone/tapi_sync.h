#pragma once
// Differential refresh of TAPI: only the rows that differ from what the
// harvesting derives from AD are written.
//
// API
//   TapiSync sync(phone, connection);   // phone: Init done on connection's string
//   sync.Prepare();                     // checks AD/TAPI, creates the side tables if missing
//   TapiSyncResult r = sync.RefreshContacts(keys);  // the rows of these contacts
//   TapiSyncResult r = sync.SyncTable(full);        // the whole table
//
// Transactions and locks
//   - The caller opens `connection` on the installation's connection string
//     (so that it shares the pooled session with `phone`'s component objects),
//     holds the installation's RebuildLock (phone/rebuild_lock.h) for as long
//     as it writes, and begins the transaction before Prepare(). The calls
//     write inside that transaction; the caller commits when
//     `TapiSyncResult::written` (and may roll back otherwise: nothing changed),
//     or rolls back when a call throws.
//   - A contact whose rows the database rejects is reported in `failed` and
//     keeps its old rows (its new rows go in before its outdated rows are
//     deleted, each contact's rows as one store that fails on its own). Any
//     other failure throws; the transaction must then be rolled back.
//
// What is compared
//   Per contact, the multiset of (NUMMER, BEMERKUNG, contactTypeDsn) of its
//   rows in TAPI with the rows SaveTapiNumbers derives (cCanonicalTelephone::
//   HarvestTapiRows, the same code path). BEMERKUNG Null and '' are equal.
//   Rows that match keep their DSN; rows no longer derived are deleted; the
//   missing ones are inserted with new keys. A contact gone from AD loses its
//   rows.
//
// Side tables (created by Prepare when missing; a rebuild by fonwerk leaves
// them alone):
//   TAPI_SYNC (AD_DSN, FINGERPRINT): per contact a 64-bit hash of the columns
//     the harvesting reads (TELEFON, FAX, EMAIL, WEITEMAIL) and of everything
//     else its result depends on (Plus, code, VAZ, Suspress, the widths of
//     TAPI.NUMMER and TAPI.BEMERKUNG, the version of the harvesting rules), as
//     of the last time its rows were written or verified.
//   TAPI_SYNC_STATE (NAME, VALUE): the row 'tapi' holds the smallest and the
//     largest TAPI.DSN as of the last write or verification. A rebuild gives
//     every row a new key, so a different value means TAPI was written by
//     someone else, and the fingerprints are not trusted until everything
//     has been compared once.
//
// SyncTable(false) passes over the contacts whose fingerprint is unchanged
// while the state row is current; otherwise (and with full) it compares every
// contact with the rows TAPI holds. Memory: 32 bytes per contact for a full
// comparison, 16 per contact otherwise, plus one chunk of contacts.
//
// RefreshContacts keeps the state row current only when it was current
// before the call: after a rebuild the next SyncTable still compares
// everything.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace fonwerk::ado {
class Connection;
}

namespace fonwerk {

class cCanonicalTelephone;

struct TapiSyncFailure {
  std::string key;      // AD_DSN of the contact
  std::string message;  // the database's message
};

struct TapiSyncResult {
  int64_t compared = 0;  // contacts looked at (all of AD, plus contacts gone from it)
  int64_t changed = 0;   // contacts whose TAPI rows were changed
  int64_t inserted = 0;  // TAPI rows inserted
  int64_t deleted = 0;   // TAPI rows deleted
  bool full = false;     // every contact was compared with TAPI's rows
  bool written = false;  // anything was written (TAPI, the side tables)
  std::vector<TapiSyncFailure> failed;  // contacts left as they were

  TapiSyncResult& operator+=(const TapiSyncResult& other);
};

class TapiSync {
 public:
  TapiSync(cCanonicalTelephone& phone, ado::Connection& connection);
  ~TapiSync();
  TapiSync(const TapiSync&) = delete;
  TapiSync& operator=(const TapiSync&) = delete;

  // Checks that AD and TAPI have the columns of the harvesting (throws Error
  // naming table and column, as refresh and the rebuild do) and creates the
  // side tables when they are missing. Call once, inside the transaction.
  // Without `create_tables`, missing side tables are left missing and
  // RefreshContacts keeps no fingerprints (SyncTable creates them anyway).
  void Prepare(bool create_tables = true);

  // Brings the TAPI rows of the contacts `keys` (AD.DSN values as text) up
  // to date by difference. Keys of contacts that AD no longer holds lose
  // their rows. Duplicate keys are handled once. With `rewrite`, every row
  // of these contacts is deleted and written anew (with new keys), as
  // `fonwerkctl refresh` does.
  TapiSyncResult RefreshContacts(const std::vector<std::string>& keys, bool rewrite = false);

  // Brings the whole table up to date by difference; see above.
  TapiSyncResult SyncTable(bool full);

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace fonwerk
