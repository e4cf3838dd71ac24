#pragma once
// Test helpers of the component tests: temporary folders and one fresh
// database per test (tests/support/test_database.h), with the provider given
// by name as the test parameter.

#include "tests/support/test_database.h"

namespace fonwerk::testing {

using TempDir = test::TempFolder;
using TestDatabase = test::TestDatabase;

inline constexpr const char* kSqlite = "SQLite";
inline constexpr const char* kPostgres = "PostgreSQL";

}  // namespace fonwerk::testing
