#pragma once
// Test helpers of the component tests: temporary folders and one fresh
// database per test, as a SQLite file or a database of its own on the test
// PostgreSQL server ($FONWERK_TEST_PG; a missing variable fails the test).

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "com/ado.h"
#include "com/session_pool.h"
#include "db/connection_string.h"
#include "db/session.h"

namespace fonwerk::testing {

// A folder under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/fonwerk-comp-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

  // Writes `content` to file `name` and returns its path.
  std::string Write(const std::string& name, const std::string& content) const {
    const std::string file = File(name);
    std::ofstream out(file, std::ios::binary);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + file);
    return file;
  }

 private:
  std::string path_;
};

inline constexpr const char* kSqlite = "SQLite";
inline constexpr const char* kPostgres = "PostgreSQL";

// One empty database for one test.
class TestDatabase {
 public:
  virtual ~TestDatabase() = default;
  const std::string& connect_string() const { return connect_string_; }

  // `provider` is kSqlite or kPostgres. Throws std::runtime_error when the
  // database cannot be made (for PostgreSQL: when FONWERK_TEST_PG is unset).
  static std::unique_ptr<TestDatabase> Create(const std::string& provider);

 protected:
  std::string connect_string_;
};

class SqliteTestDatabase : public TestDatabase {
 public:
  SqliteTestDatabase() {
    // An empty file is a valid, empty SQLite database.
    connect_string_ = "Provider=SQLite;Data Source=" + dir_.Write("test.db", "");
  }
  ~SqliteTestDatabase() override { ado::ResetSessionPool(); }

 private:
  TempDir dir_;
};

class PostgresTestDatabase : public TestDatabase {
 public:
  PostgresTestDatabase() {
    const char* server = std::getenv("FONWERK_TEST_PG");
    if (server == nullptr || *server == '\0') {
      throw std::runtime_error("FONWERK_TEST_PG is not set: the PostgreSQL tests need the server");
    }
    admin_ = server;
    static std::atomic<int> counter{0};
    name_ = "fw_components_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
    RunAdmin("DROP DATABASE IF EXISTS " + name_);
    RunAdmin("CREATE DATABASE " + name_);
    ConnectionString params = ConnectionString::Parse(admin_);
    params.Set("Database", name_);
    connect_string_ = params.ToString();
  }
  ~PostgresTestDatabase() override {
    ado::ResetSessionPool();
    try {
      RunAdmin("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    } catch (...) {  // a destructor never throws; the server is thrown away after the run
    }
    ado::ResetSessionPool();
  }

 private:
  void RunAdmin(const std::string& sql) {
    ado::Connection admin;
    admin.SetConnectionString(admin_);
    admin.Open();
    admin.Execute(sql);
  }

  std::string admin_;
  std::string name_;
};

inline std::unique_ptr<TestDatabase> TestDatabase::Create(const std::string& provider) {
  if (provider == kSqlite) return std::make_unique<SqliteTestDatabase>();
  if (provider == kPostgres) return std::make_unique<PostgresTestDatabase>();
  throw std::runtime_error("unknown provider " + provider);
}

}  // namespace fonwerk::testing
