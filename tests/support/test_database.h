#pragma once
// Fresh databases for tests: one empty database per test, on either provider,
// and the temporary folder it lives in.
//
// A TestDatabase is a temporary folder and a database of its own: an empty
// SQLite file inside the folder, or a new database on the test PostgreSQL
// server named by the environment variable FONWERK_TEST_PG (an ADO connection
// string for its "postgres" database; the ctest fixtures set it). Each
// PostgreSQL database gets a name of its own, fwi_<pid>_<counter>, so test
// processes running side by side do not meet.
//
// The destructor empties the process's session pool (sessions the code under
// test left pooled would otherwise keep the database open), drops the
// PostgreSQL database and removes the folder. Set FONWERK_KEEP_TEST_INSTALL=1
// to keep both for a look after the test; they are then named on standard error.

#include <filesystem>
#include <memory>
#include <string>

namespace fonwerk::test {

enum class Provider { kSQLite, kPostgreSQL };

// Printable name for test parameters: "SQLite" or "PostgreSQL".
const char* ProviderName(Provider provider);
// The provider ProviderName calls `name`; throws std::runtime_error for others.
Provider ProviderNamed(const std::string& name);

// A new folder under $TMPDIR (or /tmp), removed with everything in it (made
// writable first, for tests that take rights away).
class TempFolder {
 public:
  explicit TempFolder(const std::string& stem = "fonwerk-test");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // Absolute, without trailing '/'.
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Writes `content` to file `name` and returns its path.
  std::string Write(const std::string& name, const std::string& content) const;
  // Leaves the folder in place at destruction.
  void Keep() { keep_ = true; }

 private:
  std::string path_;
  bool keep_ = false;
};

class TestDatabase {
 public:
  // What the constructor makes: an empty database, or only the folder and the
  // name, for a caller that creates the database itself (an installer).
  enum class Make { kEmptyDatabase, kNameOnly };

  // Throws std::runtime_error when FONWERK_TEST_PG is unset for kPostgreSQL,
  // and the database's error when the database cannot be made.
  explicit TestDatabase(Provider provider, Make make = Make::kEmptyDatabase);
  // `provider` is "SQLite" or "PostgreSQL".
  static std::unique_ptr<TestDatabase> Create(const std::string& provider);
  ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  Provider provider() const { return provider_; }
  // SQLite: Data Source is folder()/test.db.
  const std::string& connect_string() const { return connect_string_; }
  std::filesystem::path folder() const { return folder_.path(); }
  const TempFolder& temp_folder() const { return folder_; }

 private:
  Provider provider_;
  TempFolder folder_;
  std::string connect_string_;
};

}  // namespace fonwerk::test
