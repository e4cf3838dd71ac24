#include "tests/support/test_database.h"

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>

#include "com/session_pool.h"
#include "db/connection_string.h"
#include "db/session_providers.h"
#include "tools/install.h"

namespace fonwerk::test {
namespace {

namespace fs = std::filesystem;

bool KeepRequested() {
  const char* keep = std::getenv("FONWERK_KEEP_TEST_INSTALL");
  return keep != nullptr && *keep != '\0' && std::string(keep) != "0";
}

// A connection string for a new database on the test server.
std::string NewPostgresConnectString() {
  const char* server = std::getenv("FONWERK_TEST_PG");
  if (server == nullptr || *server == '\0') {
    throw std::runtime_error(
        "FONWERK_TEST_PG is not set: PostgreSQL tests need the test server's connection string "
        "(ctest sets it; see tests/CMakeLists.txt)");
  }
  static std::atomic<int> counter{0};
  ConnectionString params = ConnectionString::Parse(server);
  params.Set("Database", "fwi_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
  return params.ToString();
}

}  // namespace

const char* ProviderName(Provider provider) {
  return provider == Provider::kSQLite ? "SQLite" : "PostgreSQL";
}

Provider ProviderNamed(const std::string& name) {
  for (const Provider provider : {Provider::kSQLite, Provider::kPostgreSQL}) {
    if (name == ProviderName(provider)) return provider;
  }
  throw std::runtime_error("unknown provider " + name);
}

// ---------------------------------------------------------------- TempFolder

TempFolder::TempFolder(const std::string& stem) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + stem + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a temporary folder from " + pattern + ": " +
                             std::strerror(errno));
  }
  path_ = pattern;
}

TempFolder::~TempFolder() {
  if (keep_) return;
  std::error_code ignored;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

std::string TempFolder::Write(const std::string& name, const std::string& content) const {
  const std::string file = File(name);
  std::ofstream out(file, std::ios::binary);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + file);
  return file;
}

// -------------------------------------------------------------- TestDatabase

TestDatabase::TestDatabase(Provider provider, Make make) : provider_(provider) {
  if (provider == Provider::kSQLite) {
    const std::string file = folder_.File("test.db");
    // An empty database as the installer makes it (in WAL mode): a session
    // leaves a file without pages as it is.
    if (make == Make::kEmptyDatabase) ado::CreateSqliteFile(file);
    connect_string_ = "Provider=SQLite;Data Source=" + file;
  } else {
    connect_string_ = NewPostgresConnectString();
    // force: a database left over by an earlier process of the same pid
    if (make == Make::kEmptyDatabase) install::CreatePostgresDatabase(connect_string_, true);
  }
}

std::unique_ptr<TestDatabase> TestDatabase::Create(const std::string& provider) {
  return std::make_unique<TestDatabase>(ProviderNamed(provider));
}

TestDatabase::~TestDatabase() {
  ado::ResetSessionPool();
  if (KeepRequested()) {
    folder_.Keep();
    std::cerr << "kept test folder " << folder_.path() << " ("
              << ConnectionString::MaskPassword(connect_string_) << ")\n";
    return;
  }
  if (provider_ == Provider::kPostgreSQL) {
    try {
      install::DropPostgresDatabase(connect_string_);
    } catch (const std::exception& e) {
      std::cerr << "warning: test database not dropped: " << e.what() << "\n";
    }
  }
}

}  // namespace fonwerk::test
