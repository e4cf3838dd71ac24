#pragma once
// The parts of the differential refresh of TAPI (phone/tapi_sync.h): hashes,
// the side tables, and the refresh of a chunk of contacts.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/variant.h"
#include "phone/canonical_telephone.h"
#include "phone/tapi_sync.h"

namespace fonwerk::ado {
class Connection;
class Recordset;
}  // namespace fonwerk::ado

namespace fonwerk::tapisync {

// A value as the harvesting reads it: text as it is, Null and Empty as "",
// anything else converted.
std::string_view TextOf(const Variant& value, std::string& converted);

uint64_t HashKey(std::string_view key);
// The hash of one row's compared values (a Null BEMERKUNG is given as "").
// Rows are compared as multisets by the sum of their hashes and their count.
uint64_t HashRow(std::string_view nummer, std::string_view bemerkung, std::string_view type);

// The fingerprint of a contact: its harvested columns under the settings of
// `phone` and the widths of TAPI's columns.
class Fingerprinter {
 public:
  Fingerprinter(const cCanonicalTelephone& phone, const TapiWidths& widths);
  // REQUIRES: `contact` stands on a row, its columns 1 to 4 (from 0) are
  // TELEFON, FAX, EMAIL and WEITEMAIL.
  uint64_t Of(ado::Recordset& contact);

 private:
  uint64_t seed_;
  std::string buffer_;
  std::string converted_;
};

// "(?, ?, ...)" with `count` placeholders.
std::string Placeholders(size_t count);

// The side tables TAPI_SYNC and TAPI_SYNC_STATE, and what the refresh asks
// the catalog about TAPI.
class SideTables {
 public:
  explicit SideTables(ado::Connection& connection) : connection_(connection) {}

  // Creates the tables that are missing (with `create`); true when it
  // created one. Without `create`, missing tables leave the object without
  // them: the marker reads as "" and fingerprints are neither read nor written.
  bool Ensure(bool create);
  bool present() const { return present_; }
  // The marker stored in TAPI_SYNC_STATE ("" when there is none), and the
  // one TAPI has now: its smallest and largest DSN.
  std::string StoredMarker();
  std::string CurrentMarker();
  void StoreMarker(const std::string& marker);
  // Whether an index of TAPI begins with AD_DSN.
  bool TapiIndexedByContact();
  // Stores (key, fingerprint) pairs, replacing stored ones; deletes keys.
  void UpsertFingerprints(const std::vector<std::pair<std::string, uint64_t>>& rows);
  void DeleteFingerprints(const std::vector<std::string>& keys);

 private:
  bool Exists(const std::string& table);
  std::string FirstValue(const std::string& sql);

  ado::Connection& connection_;
  bool present_ = true;
};

// Refreshes contacts by difference, a chunk at a time: their AD rows, their
// fingerprints and their TAPI rows are read for the whole chunk (TAPI by its
// index on AD_DSN, or, without one, in one pass over the table), the rows
// compared per contact, and the difference written.
class ContactRefresher {
 public:
  ContactRefresher(cCanonicalTelephone& phone, ado::Connection& connection, SideTables& tables,
                   const TapiWidths& widths, bool indexed);

  // Queues a contact; a full chunk is refreshed at once. A key queued twice
  // in one chunk counts once.
  void Add(std::string key);
  // Refreshes what is queued.
  void Flush();
  // From now on every row of a contact is deleted and written anew.
  void SetRewrite(bool rewrite) { rewrite_ = rewrite; }
  TapiSyncResult& result() { return result_; }

 private:
  struct Stored {
    Variant dsn;
    uint64_t hash = 0;
    std::string nummer, bemerkung, type;
  };
  struct Contact {
    std::string key;
    Variant ad_dsn;
    bool in_ad = false;
    bool has_fingerprint = false;
    uint64_t fingerprint = 0;         // of its AD rows
    uint64_t stored_fingerprint = 0;  // in TAPI_SYNC
    std::vector<TapiRow> derived;
    std::vector<Stored> stored;
    std::vector<TapiRow> insert;
    std::vector<Variant> remove;  // DSN of rows to delete
    bool failed = false;
  };

  void RefreshChunk();
  void ReadContacts(const std::vector<Variant>& keys);
  void ReadFingerprints(const std::vector<Variant>& keys);
  void ReadTapiRows(const std::vector<Variant>* keys);
  void AddStored(const std::string& key, ado::Recordset& rs, int first);
  void Compare(Contact& contact);
  void WriteInserts();
  void WriteDeletes();
  void WriteFingerprints();
  void Fail(Contact& contact, const std::string& message);
  Contact* Find(const std::string& key);

  cCanonicalTelephone& phone_;
  ado::Connection& connection_;
  SideTables& tables_;
  TapiWidths widths_;
  Fingerprinter fingerprinter_;
  bool indexed_;
  bool rewrite_ = false;
  size_t chunk_size_;
  std::vector<Contact> chunk_;
  std::unordered_map<std::string, size_t> positions_;
  std::vector<TapiRow> scratch_rows_;
  TapiSyncResult result_;
};

}  // namespace fonwerk::tapisync
