// ContactRefresher: the differential refresh of a chunk of contacts.

#include <algorithm>
#include <exception>

#include "base/errors.h"
#include "com/ado.h"
#include "phone/tapi_sync_parts.h"

namespace fonwerk::tapisync {
namespace {

// Keys per statement of the IN lists, and contacts per chunk: with an index
// on TAPI.AD_DSN a chunk is read by the index; without one, every chunk
// costs a pass over TAPI, so the chunks are made large.
constexpr size_t kKeysPerStatement = 500;
constexpr size_t kIndexedChunk = 2000;
constexpr size_t kScanChunk = 50000;

// The values of `params` from `begin`, at most kKeysPerStatement of them.
std::vector<Variant> Slice(const std::vector<Variant>& params, size_t begin) {
  const size_t end = std::min(params.size(), begin + kKeysPerStatement);
  return {params.begin() + static_cast<std::ptrdiff_t>(begin),
          params.begin() + static_cast<std::ptrdiff_t>(end)};
}

// Whether a failure leaves the transaction usable for the other contacts.
bool ContactFailure(const std::exception& error, ado::Connection& connection) {
  const auto* db_error = dynamic_cast<const DbError*>(&error);
  if (db_error != nullptr && db_error->connection_lost()) return false;
  try {
    return connection.session().InTransaction();
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

ContactRefresher::ContactRefresher(cCanonicalTelephone& phone, ado::Connection& connection,
                                   SideTables& tables, const TapiWidths& widths, bool indexed)
    : phone_(phone),
      connection_(connection),
      tables_(tables),
      widths_(widths),
      fingerprinter_(phone, widths),
      indexed_(indexed),
      chunk_size_(indexed ? kIndexedChunk : kScanChunk) {}

void ContactRefresher::Add(std::string key) {
  if (positions_.count(key) > 0) return;
  positions_.emplace(key, chunk_.size());
  chunk_.emplace_back().key = std::move(key);
  if (chunk_.size() >= chunk_size_) RefreshChunk();
}

void ContactRefresher::Flush() { RefreshChunk(); }

ContactRefresher::Contact* ContactRefresher::Find(const std::string& key) {
  const auto found = positions_.find(key);
  return found == positions_.end() ? nullptr : &chunk_[found->second];
}

void ContactRefresher::RefreshChunk() {
  if (chunk_.empty()) return;
  std::vector<Variant> keys;
  keys.reserve(chunk_.size());
  for (const Contact& contact : chunk_) keys.emplace_back(contact.key);
  for (size_t begin = 0; begin < keys.size(); begin += kKeysPerStatement) {
    const std::vector<Variant> slice = Slice(keys, begin);
    ReadContacts(slice);
    ReadFingerprints(slice);
    if (indexed_) ReadTapiRows(&slice);
  }
  if (!indexed_) ReadTapiRows(nullptr);
  for (Contact& contact : chunk_) Compare(contact);
  WriteInserts();
  WriteDeletes();
  WriteFingerprints();
  result_.compared += static_cast<int64_t>(chunk_.size());
  chunk_.clear();
  positions_.clear();
}

void ContactRefresher::ReadContacts(const std::vector<Variant>& keys) {
  ado::Recordset rs;
  rs.Open("SELECT DSN, TELEFON, FAX, EMAIL, WEITEMAIL FROM AD WHERE DSN IN " +
              Placeholders(keys.size()),
          keys, connection_);
  std::string converted;
  for (; !rs.Eof(); rs.MoveNext()) {
    const Variant& dsn = rs.Fields(0).Value();
    Contact* contact = Find(std::string(TextOf(dsn, converted)));
    if (contact == nullptr) continue;
    phone_.HarvestTapiRows(rs, widths_, scratch_rows_);
    for (TapiRow& row : scratch_rows_) contact->derived.push_back(std::move(row));
    // Several AD rows with one key (a table without a key) share the key's rows.
    const uint64_t fingerprint = fingerprinter_.Of(rs);
    contact->fingerprint = contact->in_ad ? contact->fingerprint + fingerprint : fingerprint;
    if (!contact->in_ad) contact->ad_dsn = dsn;
    contact->in_ad = true;
  }
  rs.Close();
}

void ContactRefresher::ReadFingerprints(const std::vector<Variant>& keys) {
  if (!tables_.present()) return;
  ado::Recordset rs;
  rs.Open("SELECT AD_DSN, FINGERPRINT FROM TAPI_SYNC WHERE AD_DSN IN " + Placeholders(keys.size()),
          keys, connection_);
  std::string converted;
  for (; !rs.Eof(); rs.MoveNext()) {
    Contact* contact = Find(std::string(TextOf(rs.Fields(0).Value(), converted)));
    if (contact == nullptr) continue;
    contact->has_fingerprint = true;
    contact->stored_fingerprint = static_cast<uint64_t>(rs.Fields(1).Value().ToInteger());
  }
  rs.Close();
}

// The chunk's rows of TAPI: of the contacts `keys` by the index, or (null)
// in one pass over the table.
void ContactRefresher::ReadTapiRows(const std::vector<Variant>* keys) {
  const std::string columns = "SELECT AD_DSN, DSN, NUMMER, BEMERKUNG, contactTypeDsn FROM TAPI";
  ado::Recordset rs;
  if (keys != nullptr) {
    rs.Open(columns + " WHERE AD_DSN IN " + Placeholders(keys->size()), *keys, connection_);
  } else {
    rs.Open(columns, connection_);
  }
  std::string converted;
  std::string key;
  for (; !rs.Eof(); rs.MoveNext()) {
    key.assign(TextOf(rs.Fields(0).Value(), converted));
    AddStored(key, rs, 1);
  }
  rs.Close();
}

// Adds the TAPI row `rs` stands on (DSN, NUMMER, BEMERKUNG, contactTypeDsn
// from column `first` on) to the contact `key`, if it is one of the chunk's.
void ContactRefresher::AddStored(const std::string& key, ado::Recordset& rs, int first) {
  Contact* contact = Find(key);
  if (contact == nullptr) return;
  Stored& row = contact->stored.emplace_back();
  std::string converted;
  row.dsn = rs.Fields(first).Value();
  row.nummer.assign(TextOf(rs.Fields(first + 1).Value(), converted));
  row.bemerkung.assign(TextOf(rs.Fields(first + 2).Value(), converted));
  row.type.assign(TextOf(rs.Fields(first + 3).Value(), converted));
  row.hash = HashRow(row.nummer, row.bemerkung, row.type);
}

// Pairs derived rows with equal stored rows (as multisets); the unpaired
// derived rows are to be inserted, the unpaired stored rows deleted.
void ContactRefresher::Compare(Contact& contact) {
  using Keyed = std::pair<uint64_t, size_t>;
  std::vector<Keyed> derived;
  for (size_t i = 0; i < contact.derived.size(); ++i) {
    const TapiRow& row = contact.derived[i];
    derived.emplace_back(HashRow(row.nummer, row.has_bemerkung ? row.bemerkung : "", row.type), i);
  }
  std::vector<Keyed> stored;
  for (size_t i = 0; i < contact.stored.size(); ++i) stored.emplace_back(contact.stored[i].hash, i);
  std::sort(derived.begin(), derived.end());
  std::sort(stored.begin(), stored.end());

  auto same = [&](const Keyed& d, const Keyed& s) {
    if (rewrite_) return false;
    const TapiRow& row = contact.derived[d.second];
    const Stored& old = contact.stored[s.second];
    return d.first == s.first && row.nummer == old.nummer && row.type == old.type &&
           (row.has_bemerkung ? row.bemerkung : std::string()) == old.bemerkung;
  };
  size_t i = 0, j = 0;
  while (i < derived.size() || j < stored.size()) {
    if (i < derived.size() && j < stored.size() && same(derived[i], stored[j])) {
      ++i, ++j;
    } else if (j >= stored.size() || (i < derived.size() && derived[i].first <= stored[j].first)) {
      contact.insert.push_back(std::move(contact.derived[derived[i++].second]));
    } else {
      contact.remove.push_back(std::move(contact.stored[stored[j++].second].dsn));
    }
  }
  contact.derived.clear();
  contact.stored.clear();
}

void ContactRefresher::Fail(Contact& contact, const std::string& message) {
  if (contact.failed) return;
  contact.failed = true;
  result_.failed.push_back({contact.key, message});
}

// Each contact's new rows go in as one store, which fails on its own.
void ContactRefresher::WriteInserts() {
  for (Contact& contact : chunk_) {
    if (contact.insert.empty()) continue;
    try {
      phone_.WriteTapiRows(contact.ad_dsn, contact.insert);
      result_.written = true;
    } catch (const std::exception& error) {
      if (!ContactFailure(error, connection_)) throw;
      Fail(contact, error.what());
    }
  }
  connection_.FlushStores();
  for (const ado::StoreFailure& failure : connection_.TakeStoreFailures()) {
    Contact* contact = Find(failure.tag);
    if (contact == nullptr) throw Error(errnum::kProvider, failure.description);
    Fail(*contact, failure.description);
  }
}

// The outdated rows of the contacts whose new rows went in.
void ContactRefresher::WriteDeletes() {
  std::vector<Variant> dsns;
  for (Contact& contact : chunk_) {
    if (!contact.failed && (!contact.insert.empty() || !contact.remove.empty())) {
      ++result_.changed;
      result_.inserted += static_cast<int64_t>(contact.insert.size());
      result_.deleted += static_cast<int64_t>(contact.remove.size());
      dsns.insert(dsns.end(), contact.remove.begin(), contact.remove.end());
    }
  }
  for (size_t begin = 0; begin < dsns.size(); begin += kKeysPerStatement) {
    const std::vector<Variant> slice = Slice(dsns, begin);
    connection_.Execute("DELETE FROM TAPI WHERE DSN IN " + Placeholders(slice.size()), slice);
    result_.written = true;
  }
}

// Fingerprints of the contacts now up to date; a contact that failed loses
// its fingerprint, so that the next refresh compares it again.
void ContactRefresher::WriteFingerprints() {
  std::vector<std::pair<std::string, uint64_t>> upserts;
  std::vector<std::string> deletes;
  for (const Contact& contact : chunk_) {
    if (contact.in_ad && !contact.failed) {
      if (!contact.has_fingerprint || contact.stored_fingerprint != contact.fingerprint) {
        upserts.emplace_back(contact.key, contact.fingerprint);
      }
    } else if (contact.has_fingerprint) {
      deletes.push_back(contact.key);
    }
  }
  if ((upserts.empty() && deletes.empty()) || !tables_.present()) return;
  tables_.UpsertFingerprints(upserts);
  tables_.DeleteFingerprints(deletes);
  result_.written = true;
}

}  // namespace fonwerk::tapisync
