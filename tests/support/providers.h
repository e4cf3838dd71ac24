#pragma once
// Test parameters for suites that run on both providers:
//   INSTANTIATE_TEST_SUITE_P(Providers, MyTest, test::BothProviders(), test::ProviderParamName);
// names the instances MyTest/SQLite and MyTest/PostgreSQL.

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_database.h"

namespace fonwerk::test {

inline auto BothProviders() { return ::testing::Values(Provider::kSQLite, Provider::kPostgreSQL); }

// Test name suffix of a provider parameter: "SQLite" or "PostgreSQL".
inline std::string ProviderParamName(const ::testing::TestParamInfo<Provider>& param) {
  return ProviderName(param.param);
}

}  // namespace fonwerk::test
