// TapiSync: the differential refresh of TAPI, of some contacts or of all.
//
// The whole table is walked in one of two ways:
//  - by fingerprints, while TAPI_SYNC_STATE says that only Fonwerk's own
//    differential refreshes wrote TAPI since the fingerprints were taken: AD
//    is read once, each contact's fingerprint compared with the stored one,
//    and only the contacts that differ (or are new, or gone) are refreshed;
//  - by comparing everything: AD is read and harvested once, keeping per
//    contact a digest of its rows (the sum of their hashes and their count),
//    then TAPI is read once and its rows subtracted from their contact's
//    digest; the contacts left with a difference are refreshed, and those
//    whose rows agree have only their fingerprint stored where it is missing
//    or different.
// Neither reads TAPI in the order of its contacts, which would need an index
// on AD_DSN or a sort.

#include "phone/tapi_sync.h"

#include <algorithm>
#include <unordered_set>

#include "com/ado.h"
#include "phone/harvest_columns.h"
#include "phone/tapi_sync_parts.h"

namespace fonwerk {

using tapisync::HashKey;
using tapisync::HashRow;
using tapisync::TextOf;

namespace {

constexpr const char* kContactsQuery = "SELECT DSN, TELEFON, FAX, EMAIL, WEITEMAIL FROM AD";
// Keys of contacts gone from AD kept at most for one refresh pass; more are
// collected in further passes (walk by fingerprints) or deleted by one
// statement each for TAPI and TAPI_SYNC (comparing everything).
constexpr size_t kMaxGoneKeys = 100000;

enum Flags : uint32_t {
  kAmbiguous = 1,          // another contact's key has the same hash
  kFingerprintStored = 2,  // TAPI_SYNC holds the contact's current fingerprint
  kMatched = 4,            // (stored fingerprints) the contact is in AD
};

// A contact in the comparison of everything.
struct Digest {
  uint64_t key_hash = 0;
  uint64_t rows = 0;  // sum of the row hashes derived, less those found in TAPI
  uint64_t fingerprint = 0;
  uint32_t count = 0;  // rows derived, less those found in TAPI
  uint32_t flags = 0;
};

// A stored fingerprint in the walk by fingerprints.
struct Known {
  uint64_t key_hash = 0;
  uint64_t fingerprint = 0;
  uint32_t flags = 0;
};

// Entries found by the hash of their key: sorted by it, with the position of
// the first entry of every bucket of its leading bits (about one entry per
// bucket), so that a search touches one or two cache lines rather than the
// twenty of a binary search.
template <class Entry>
class KeyIndex {
 public:
  // Sorts `entries` and marks those whose hash another entry shares.
  explicit KeyIndex(std::vector<Entry>& entries) : entries_(entries) {
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.key_hash < b.key_hash; });
    for (size_t i = 1; i < entries.size(); ++i) {
      if (entries[i].key_hash == entries[i - 1].key_hash) {
        entries[i].flags |= kAmbiguous;
        entries[i - 1].flags |= kAmbiguous;
      }
    }
    int bits = 1;
    while (bits < 30 && (size_t{1} << bits) < entries.size()) ++bits;
    shift_ = 64 - bits;
    starts_.assign((size_t{1} << bits) + 1, 0);
    for (const Entry& entry : entries) ++starts_[(entry.key_hash >> shift_) + 1];
    for (size_t i = 1; i < starts_.size(); ++i) starts_[i] += starts_[i - 1];
  }

  // The entry of `key_hash` (the first of a group that shares it), or null.
  Entry* Find(uint64_t key_hash) {
    const size_t bucket = key_hash >> shift_;
    for (uint32_t i = starts_[bucket]; i < starts_[bucket + 1]; ++i) {
      if (entries_[i].key_hash == key_hash) return &entries_[i];
    }
    return nullptr;
  }

 private:
  std::vector<Entry>& entries_;
  int shift_ = 63;
  std::vector<uint32_t> starts_;
};

// While a whole table is walked, SQLite's page cache of the session is kept
// small: the walk reads each page once, and its memory goes to the
// per-contact entries.
class SmallPageCache {
 public:
  explicit SmallPageCache(ado::Connection& connection) : connection_(connection) {
    if (connection.session().ProviderName() != "SQLite") return;
    ado::Recordset rs;
    rs.Open("PRAGMA cache_size", connection, ado::CursorType::kStatic);
    saved_ = rs.Fields(0).Value().ToText();
    rs.Close();
    connection.Execute("PRAGMA cache_size=-8192");
  }
  ~SmallPageCache() {
    try {
      if (!saved_.empty()) connection_.Execute("PRAGMA cache_size=" + saved_);
    } catch (const std::exception&) {
      // The session is gone; so is its cache.
    }
  }
  SmallPageCache(const SmallPageCache&) = delete;
  SmallPageCache& operator=(const SmallPageCache&) = delete;

 private:
  ado::Connection& connection_;
  std::string saved_;
};

int64_t CountOf(ado::Connection& connection, const std::string& table) {
  ado::Recordset rs;
  rs.Open("SELECT count(*) FROM " + table, connection, ado::CursorType::kStatic);
  const int64_t count = rs.Fields(0).Value().ToInteger();
  rs.Close();
  return count;
}

}  // namespace

TapiSyncResult& TapiSyncResult::operator+=(const TapiSyncResult& other) {
  compared += other.compared;
  changed += other.changed;
  inserted += other.inserted;
  deleted += other.deleted;
  full = full || other.full;
  written = written || other.written;
  failed.insert(failed.end(), other.failed.begin(), other.failed.end());
  return *this;
}

struct TapiSync::Parts {
  Parts(cCanonicalTelephone& p, ado::Connection& c) : phone(p), connection(c), tables(c) {}

  tapisync::ContactRefresher Refresher() {
    return tapisync::ContactRefresher(phone, connection, tables, widths, indexed);
  }
  TapiSyncResult WalkByFingerprints();
  TapiSyncResult CompareEverything();
  void AddGone(tapisync::ContactRefresher& refresher, std::vector<Known>& known,
               KeyIndex<Known>& index);
  void DeleteAllGone(TapiSyncResult& result);

  cCanonicalTelephone& phone;
  ado::Connection& connection;
  tapisync::SideTables tables;
  TapiWidths widths;
  bool indexed = false;
  bool prepared = false;
  bool created = false;  // the side tables were created in this transaction
};

TapiSync::TapiSync(cCanonicalTelephone& phone, ado::Connection& connection)
    : parts_(std::make_unique<Parts>(phone, connection)) {}

TapiSync::~TapiSync() = default;

void TapiSync::Prepare(bool create_tables) {
  RequireHarvestColumns(parts_->connection.session());
  parts_->created = parts_->tables.Ensure(create_tables);
  parts_->widths = parts_->phone.TapiColumnWidths();
  parts_->indexed = parts_->tables.TapiIndexedByContact();
  parts_->prepared = true;
}

TapiSyncResult TapiSync::RefreshContacts(const std::vector<std::string>& keys, bool rewrite) {
  if (!parts_->prepared) Prepare();
  const std::string stored = parts_->tables.StoredMarker();
  const bool trusted = !stored.empty() && stored == parts_->tables.CurrentMarker();
  tapisync::ContactRefresher refresher = parts_->Refresher();
  refresher.SetRewrite(rewrite);
  for (const std::string& key : keys) refresher.Add(key);
  refresher.Flush();
  TapiSyncResult result = refresher.result();
  if (trusted && result.written) {
    const std::string now = parts_->tables.CurrentMarker();
    if (now != stored) parts_->tables.StoreMarker(now);
  }
  result.written = result.written || parts_->created;
  return result;
}

TapiSyncResult TapiSync::SyncTable(bool full) {
  if (!parts_->prepared) Prepare();
  if (!parts_->tables.present()) parts_->created = parts_->tables.Ensure(true);
  const std::string stored = parts_->tables.StoredMarker();
  const bool trusted = !full && !stored.empty() && stored == parts_->tables.CurrentMarker();
  TapiSyncResult result;
  {
    SmallPageCache cache(parts_->connection);
    result = trusted ? parts_->WalkByFingerprints() : parts_->CompareEverything();
  }
  result.full = !trusted;
  const std::string now = parts_->tables.CurrentMarker();
  if (now != stored) {
    parts_->tables.StoreMarker(now);
    result.written = true;
  }
  result.written = result.written || parts_->created;
  return result;
}

TapiSyncResult TapiSync::Parts::WalkByFingerprints() {
  std::vector<Known> known;
  known.reserve(static_cast<size_t>(CountOf(connection, "TAPI_SYNC")));
  std::string converted;
  {
    ado::Recordset rs;
    rs.Open("SELECT AD_DSN, FINGERPRINT FROM TAPI_SYNC", connection);
    for (; !rs.Eof(); rs.MoveNext()) {
      known.push_back({HashKey(TextOf(rs.Fields(0).Value(), converted)),
                       static_cast<uint64_t>(rs.Fields(1).Value().ToInteger()), 0});
    }
    rs.Close();
  }
  KeyIndex<Known> index(known);

  tapisync::ContactRefresher refresher = Refresher();
  tapisync::Fingerprinter fingerprinter(phone, widths);
  int64_t contacts = 0;
  ado::Recordset rs;
  rs.Open(kContactsQuery, connection);
  for (; !rs.Eof(); rs.MoveNext()) {
    ++contacts;
    const std::string_view key = TextOf(rs.Fields(0).Value(), converted);
    const uint64_t fingerprint = fingerprinter.Of(rs);
    Known* entry = index.Find(HashKey(key));
    if (entry != nullptr) {
      entry->flags |= kMatched;
      if ((entry->flags & kAmbiguous) == 0 && entry->fingerprint == fingerprint) continue;
    }
    refresher.Add(std::string(key));
  }
  rs.Close();
  refresher.Flush();
  const int64_t refreshed = refresher.result().compared;
  AddGone(refresher, known, index);
  TapiSyncResult result = refresher.result();
  result.compared = contacts + (result.compared - refreshed);
  return result;
}

// Refreshes the contacts whose fingerprint is stored and that AD no longer
// holds (and those whose key hash is shared, to be sure), in passes of at
// most kMaxGoneKeys: a refreshed contact leaves TAPI_SYNC, which is not
// changed while it is read.
void TapiSync::Parts::AddGone(tapisync::ContactRefresher& refresher, std::vector<Known>& known,
                              KeyIndex<Known>& index) {
  const bool any = std::any_of(known.begin(), known.end(), [](const Known& k) {
    return (k.flags & (kMatched | kAmbiguous)) != kMatched;
  });
  if (!any) return;
  std::unordered_set<std::string> done;
  std::string converted;
  while (true) {
    std::vector<std::string> gone;
    ado::Recordset rs;
    rs.Open("SELECT AD_DSN FROM TAPI_SYNC", connection);
    for (; !rs.Eof() && gone.size() < kMaxGoneKeys; rs.MoveNext()) {
      const std::string_view key = TextOf(rs.Fields(0).Value(), converted);
      const Known* entry = index.Find(HashKey(key));
      if (entry == nullptr || (entry->flags & (kMatched | kAmbiguous)) == kMatched) continue;
      if (done.insert(std::string(key)).second) gone.emplace_back(key);
    }
    rs.Close();
    if (gone.empty()) return;
    for (std::string& key : gone) refresher.Add(std::move(key));
    refresher.Flush();
  }
}

TapiSyncResult TapiSync::Parts::CompareEverything() {
  std::vector<Digest> contacts;
  // A little room for contacts added while AD is read.
  contacts.reserve(static_cast<size_t>(CountOf(connection, "AD") * 101 / 100 + 16));
  std::string converted;
  std::vector<TapiRow> rows;
  tapisync::Fingerprinter fingerprinter(phone, widths);
  {
    ado::Recordset rs;
    rs.Open(kContactsQuery, connection);
    for (; !rs.Eof(); rs.MoveNext()) {
      Digest& digest = contacts.emplace_back();
      digest.key_hash = HashKey(TextOf(rs.Fields(0).Value(), converted));
      digest.fingerprint = fingerprinter.Of(rs);
      phone.HarvestTapiRows(rs, widths, rows);
      for (const TapiRow& row : rows) {
        digest.rows += HashRow(row.nummer, row.has_bemerkung ? row.bemerkung : "", row.type);
      }
      digest.count = static_cast<uint32_t>(rows.size());
    }
    rs.Close();
  }
  KeyIndex<Digest> index(contacts);

  // Keys that are not AD's: fingerprints of contacts gone, and rows of TAPI
  // whose contact is gone.
  std::unordered_set<std::string> gone;
  bool more_gone = false;
  auto add_gone = [&](std::string_view key) {
    if (gone.size() < kMaxGoneKeys) {
      gone.emplace(key);
    } else if (gone.count(std::string(key)) == 0) {
      more_gone = true;
    }
  };
  if (!created) {  // a table created in this transaction is empty (and unseen by a stream)
    ado::Recordset rs;
    rs.Open("SELECT AD_DSN, FINGERPRINT FROM TAPI_SYNC", connection);
    for (; !rs.Eof(); rs.MoveNext()) {
      const std::string_view key = TextOf(rs.Fields(0).Value(), converted);
      Digest* digest = index.Find(HashKey(key));
      if (digest == nullptr) {
        add_gone(key);
      } else if (static_cast<uint64_t>(rs.Fields(1).Value().ToInteger()) == digest->fingerprint) {
        digest->flags |= kFingerprintStored;
      }
    }
    rs.Close();
  }
  {
    ado::Recordset rs;
    rs.Open("SELECT AD_DSN, NUMMER, BEMERKUNG, contactTypeDsn FROM TAPI", connection);
    std::string nummer, bemerkung, type;  // values that are not texts, as text
    // A contact's rows mostly lie together (a rebuild or a refresh writes
    // them one after the other): the row before's contact is tried first.
    std::string last_key;
    Digest* last = nullptr;
    for (; !rs.Eof(); rs.MoveNext()) {
      const std::string_view key = TextOf(rs.Fields(0).Value(), converted);
      Digest* digest = last != nullptr && key == last_key ? last : index.Find(HashKey(key));
      if (digest != last && digest != nullptr) last_key.assign(key);
      last = digest;
      if (digest == nullptr) {
        add_gone(key);
        continue;
      }
      if ((digest->flags & kAmbiguous) != 0) continue;  // refreshed by its key below
      digest->rows -=
          HashRow(TextOf(rs.Fields(1).Value(), nummer), TextOf(rs.Fields(2).Value(), bemerkung),
                  TextOf(rs.Fields(3).Value(), type));
      --digest->count;
    }
    rs.Close();
  }

  tapisync::ContactRefresher refresher = Refresher();
  auto differs = [](const Digest& d) {
    return d.rows != 0 || d.count != 0 || (d.flags & kAmbiguous) != 0;
  };
  const bool any = std::any_of(contacts.begin(), contacts.end(), [&](const Digest& d) {
    return differs(d) || (d.flags & kFingerprintStored) == 0;
  });
  if (any) {
    std::vector<std::pair<std::string, uint64_t>> fingerprints;
    ado::Recordset rs;
    rs.Open("SELECT DSN FROM AD", connection);
    for (; !rs.Eof(); rs.MoveNext()) {
      const std::string_view key = TextOf(rs.Fields(0).Value(), converted);
      const Digest* digest = index.Find(HashKey(key));
      if (digest == nullptr) continue;  // new since the first read: the next refresh's
      if (differs(*digest)) {
        refresher.Add(std::string(key));
      } else if ((digest->flags & kFingerprintStored) == 0) {
        fingerprints.emplace_back(key, digest->fingerprint);
        if (fingerprints.size() >= 2000) {
          tables.UpsertFingerprints(fingerprints);
          refresher.result().written = true;
          fingerprints.clear();
        }
      }
    }
    rs.Close();
    if (!fingerprints.empty()) {
      tables.UpsertFingerprints(fingerprints);
      refresher.result().written = true;
    }
  }
  for (const std::string& key : gone) refresher.Add(key);
  refresher.Flush();
  TapiSyncResult result = refresher.result();
  const int64_t refreshed_gone = static_cast<int64_t>(gone.size());
  result.compared = static_cast<int64_t>(contacts.size()) + refreshed_gone;
  if (more_gone) DeleteAllGone(result);
  return result;
}

// More contacts are gone from AD than were kept: their rows and
// fingerprints go by one statement each.
void TapiSync::Parts::DeleteAllGone(TapiSyncResult& result) {
  constexpr const char* kGoneRows =
      " WHERE NOT EXISTS (SELECT 1 FROM AD WHERE AD.DSN = TAPI.AD_DSN)";
  ado::Recordset rs;
  rs.Open(std::string("SELECT count(*), count(DISTINCT AD_DSN) FROM TAPI") + kGoneRows, connection,
          ado::CursorType::kStatic);
  const int64_t rows = rs.Fields(0).Value().ToInteger();
  const int64_t keys = rs.Fields(1).Value().ToInteger();
  rs.Close();
  connection.Execute(std::string("DELETE FROM TAPI") + kGoneRows);
  connection.Execute(
      "DELETE FROM TAPI_SYNC WHERE NOT EXISTS (SELECT 1 FROM AD WHERE AD.DSN = TAPI_SYNC.AD_DSN)");
  result.deleted += rows;
  result.changed += keys;
  result.written = true;
}

}  // namespace fonwerk
