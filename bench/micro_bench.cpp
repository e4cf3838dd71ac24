// Micro-benchmarks of the text rules of cCanonicalTelephone, on a throwaway
// SQLite installation holding generated contacts:
//  - harvesting of one contact (SaveTapiNumbers), with the rows stored in a
//    transaction that is rolled back, and with the store left out (a cDal
//    whose UpdateRecordSet drops the rows), beside the baseline's compact rules;
//  - GetCanonicalTelefonFormat and GetCanonicalDialNumer over numbers in the
//    notations the contacts use;
//  - GetPhone on one contact whose telephone field has many lines.
//
// The harvesting benchmarks also report rows/contact (rows handed to
// UpdateRecordSet) and allocs/contact (operator new calls of the whole
// process per contact; SQLite's and libpq's own malloc calls are not in it).
//
//   micro_bench [--benchmark_filter=REGEX] [other Google Benchmark flags]

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "bench/contact_generator.h"
#include "bench/contact_store.h"
#include "bench/harvest.h"
#include "com/ado.h"
#include "com/component_factory.h"
#include "com/dal.h"
#include "phone/canonical_telephone.h"
#include "tools/install.h"

// Every allocation of the process through operator new, for allocs/contact.
// (Single-threaded benchmarks: a plain counter is enough.)
namespace {
uint64_t g_allocations = 0;
}  // namespace

// Not inlined: GCC would otherwise see malloc and free meet across the
// replaced operators and warn about a mismatch that is none.
__attribute__((noinline)) void* operator new(std::size_t size) {
  ++g_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace fonwerk::bench {
namespace {

namespace fs = std::filesystem;

constexpr int kContacts = 1000;
constexpr uint64_t kSeed = 42;

// Rows handed to UpdateRecordSet by the harvesting, for the rows/contact counter.
int64_t g_rows_stored = 0;

// cDal whose store drops the rows: what is left is the harvesting itself.
// The rows' storage goes back to the table recordsets, as after a store that
// does not keep the rows (cDal::UpdateRecordSet on SQLite).
class DroppingDal : public com::cDal {
 public:
  void UpdateRecordSet(const std::string&, com::RecordsetRef& rs) override {
    ado::RowBatch batch = rs->TakeAddedRows();
    rs->Close();
    g_rows_stored += static_cast<int64_t>(batch.rows.size());
    ado::RecycleRows(batch.rows);
  }
};

// cDal that counts the rows before storing them.
class CountingDal : public com::cDal {
 public:
  void UpdateRecordSet(const std::string& connect, com::RecordsetRef& rs) override {
    g_rows_stored += rs->AddedRowCount();
    com::cDal::UpdateRecordSet(connect, rs);
  }
};

// The installation every benchmark uses; made once in main().
struct Fixture {
  fs::path dir;
  std::string connect;
  std::string long_field_dsn;
};
Fixture* g_fixture = nullptr;

const std::vector<std::string>& Numbers() {
  static const std::vector<std::string> numbers = {
      "+49 89 123456",   "089/123456",    "(089) 12 34 56",     "0043 1 234567", "+43 (1) 234567",
      "+1 212 555 0100", "0221 442691-2", "+49-911-5913363-18", "030 1234567",   "+420 2 28426"};
  return numbers;
}

std::unique_ptr<cCanonicalTelephone> InitializedPhone() {
  auto phone = std::make_unique<cCanonicalTelephone>();
  phone->Init(g_fixture->connect);
  return phone;
}

// The generated contacts only: the contacts with long telephone fields that
// the GetPhone benchmark reads (10,000 lines and more) would otherwise make up
// most of the rows harvested and say nothing about a contact of the rebuild.
// (Walking "SELECT * FROM AD" as a whole is kept as .../AllRows, for
// comparison with earlier figures.)
constexpr const char* kGeneratedContacts = "SELECT * FROM AD WHERE DSN NOT LIKE '{LONG-FIELD-%'";
constexpr const char* kAllContacts = "SELECT * FROM AD";

// Walks the contacts round and round, one SaveTapiNumbers per iteration.
void SetHarvestCounters(benchmark::State& state, uint64_t allocations_before) {
  const auto contacts = static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations());
  state.counters["rows/contact"] = static_cast<double>(g_rows_stored) / contacts;
  state.counters["allocs/contact"] =
      static_cast<double>(g_allocations - allocations_before) / contacts;
}

void HarvestContacts(benchmark::State& state, cCanonicalTelephone& phone, const char* query) {
  auto dal = com::ComponentFactory::Instance().Create<com::IDal>(com::progid::kDal);
  com::RecordsetRef contacts = dal->GetRecordset(g_fixture->connect, query);
  g_rows_stored = 0;
  const uint64_t allocations = g_allocations;
  for (auto _ : state) {
    if (contacts->Eof()) contacts->MoveFirst();
    phone.SaveTapiNumbers(contacts, false, true);
    contacts->MoveNext();
  }
  SetHarvestCounters(state, allocations);
}

void HarvestWithoutStore(benchmark::State& state, const char* query) {
  auto guard = com::ComponentFactory::Instance().Override(
      com::progid::kDal, [] { return std::make_shared<DroppingDal>(); });
  auto phone = InitializedPhone();
  HarvestContacts(state, *phone, query);
}

void BM_HarvestOneContact_NoStore(benchmark::State& state) {
  HarvestWithoutStore(state, kGeneratedContacts);
}
BENCHMARK(BM_HarvestOneContact_NoStore);

void BM_HarvestOneContact_NoStore_AllRows(benchmark::State& state) {
  HarvestWithoutStore(state, kAllContacts);
}
BENCHMARK(BM_HarvestOneContact_NoStore_AllRows);

// The rebuild's way through the contacts: "Select * From AD" on a
// forward-only recordset of the rebuild's own connection, the Kennung of every
// contact read for the log line, the rows dropped. The recordset is opened
// again (outside the timing) when it reaches its end.
void BM_HarvestOneContact_Streamed(benchmark::State& state) {
  auto guard = com::ComponentFactory::Instance().Override(
      com::progid::kDal, [] { return std::make_shared<DroppingDal>(); });
  auto phone = InitializedPhone();
  ado::Connection connection;
  connection.SetConnectionString(g_fixture->connect);
  connection.Open();
  auto open = [&] {
    auto rs = std::make_shared<ado::Recordset>();
    rs->Open(std::string(kGeneratedContacts) + " ORDER BY Kennung", connection);
    return rs;
  };
  com::RecordsetRef contacts = open();
  g_rows_stored = 0;
  const uint64_t allocations = g_allocations;
  uint64_t reopen_allocations = 0;
  for (auto _ : state) {
    if (contacts->Eof()) {
      state.PauseTiming();
      const uint64_t before = g_allocations;
      contacts.reset();
      contacts = open();
      reopen_allocations += g_allocations - before;
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(contacts->Fields("Kennung").Value());
    phone->SaveTapiNumbers(contacts, false, true);
    contacts->MoveNext();
  }
  SetHarvestCounters(state, allocations + reopen_allocations);
}
BENCHMARK(BM_HarvestOneContact_Streamed);

// With the store, inside a transaction that is rolled back at the end (as the
// rebuild stores inside its own).
void BM_HarvestOneContact_Stored(benchmark::State& state) {
  auto guard = com::ComponentFactory::Instance().Override(
      com::progid::kDal, [] { return std::make_shared<CountingDal>(); });
  auto phone = InitializedPhone();
  ado::Connection connection;  // the pooled session the class's stores share
  connection.SetConnectionString(g_fixture->connect);
  connection.Open();
  connection.BeginTrans();
  HarvestContacts(state, *phone, kGeneratedContacts);
  connection.RollbackTrans();
}
BENCHMARK(BM_HarvestOneContact_Stored);

// The baseline's compact rules on the same contacts, for comparison.
void BM_HarvestOneContact_BaselineRules(benchmark::State& state) {
  ContactGenerator generator(kSeed);
  std::vector<Contact> contacts;
  for (int i = 0; i < kContacts; ++i) contacts.push_back(generator.Next());
  HarvestSettings settings;
  settings.nummer_width = settings.bemerkung_width = 255;
  Harvester harvester(settings);
  size_t next = 0;
  g_rows_stored = 0;
  const uint64_t allocations = g_allocations;
  for (auto _ : state) {
    const Contact& c = contacts[next++ % contacts.size()];
    harvester.Harvest(c.telefon.value_or(""), c.fax.value_or(""), c.email.value_or(""),
                      c.weitemail.value_or(""), [&](const HarvestedRow& row) {
                        benchmark::DoNotOptimize(row.nummer.data());
                        ++g_rows_stored;
                      });
  }
  SetHarvestCounters(state, allocations);
}
BENCHMARK(BM_HarvestOneContact_BaselineRules);

// One call of `format` per iteration, on the sample numbers in turn.
template <typename Format>
void FormatEachNumber(benchmark::State& state, Format format) {
  auto phone = InitializedPhone();
  size_t next = 0;
  for (auto _ : state) {
    std::string number = Numbers()[next++ % Numbers().size()];
    benchmark::DoNotOptimize(format(*phone, number));
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_GetCanonicalTelefonFormat(benchmark::State& state) {
  FormatEachNumber(state, [](cCanonicalTelephone& phone, std::string& number) {
    return phone.GetCanonicalTelefonFormat(number);
  });
}
BENCHMARK(BM_GetCanonicalTelefonFormat);

void BM_GetCanonicalDialNumer(benchmark::State& state) {
  FormatEachNumber(state, [](cCanonicalTelephone& phone, std::string& number) {
    return phone.GetCanonicalDialNumer(number);
  });
}
BENCHMARK(BM_GetCanonicalDialNumer);

// GetPhone on the contact whose TELEFON has state.range(0) lines.
void BM_GetPhone_LongField(benchmark::State& state) {
  auto phone = InitializedPhone();
  const std::string dsn = g_fixture->long_field_dsn + std::to_string(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(phone->GetPhone(dsn));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));  // lines per second
}
BENCHMARK(BM_GetPhone_LongField)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

// A contact with `lines` telephone lines in the generator's notations.
std::string LongTelefon(int lines) {
  std::string telefon;
  for (int i = 0; i < lines; ++i) {
    if (i > 0) telefon.append("\r\n");
    telefon.append(Numbers()[i % Numbers().size()])
        .append("\t\tDurchwahl ")
        .append(std::to_string(i));
  }
  return telefon;
}

Fixture MakeFixture() {
  Fixture fixture;
  fixture.dir = fs::temp_directory_path() / ("fonwerk_micro_" + std::to_string(::getpid()));
  install::Options options;
  options.force = true;
  fixture.connect = install::InstallSqlite(fixture.dir, options);
  FillContacts(fixture.connect, kContacts, kSeed);
  fixture.long_field_dsn = "{LONG-FIELD-";
  auto session = install::OpenUnpooledSession(fixture.connect);
  for (int lines : {100, 1000, 10000}) {
    session->Execute("INSERT INTO AD (DSN, Kennung, IDX_NAME, TELEFON) VALUES ('" +
                     fixture.long_field_dsn + std::to_string(lines) + "', 'LANG" +
                     std::to_string(lines) + "', 'Größmann', '" + LongTelefon(lines) + "')");
  }
  return fixture;
}

}  // namespace
}  // namespace fonwerk::bench

int main(int argc, char** argv) {
  using namespace fonwerk::bench;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  int status = 0;
  Fixture fixture;
  try {
    fixture = MakeFixture();
    g_fixture = &fixture;
    benchmark::RunSpecifiedBenchmarks();
  } catch (const std::exception& e) {
    std::cerr << "micro_bench: " << e.what() << "\n";
    status = 1;
  }
  benchmark::Shutdown();
  if (!fixture.dir.empty()) std::filesystem::remove_all(fixture.dir);
  return status;
}
