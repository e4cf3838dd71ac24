// fonwerk-lookup-bench: latency of the reverse lookup of fonwerkctl, measured
// inside the process (no process start), on an installation whose TAPI is built.
//
//   fonwerk-lookup-bench --install DIR [--queries 1000]
//
// The queries are drawn from TAPI itself (every k-th row of a scan) and come
// in five kinds: a stored number as it is, the same with an extension behind
// it (found through its longest stored prefix), in international notation,
// an e-mail address in other letter case, and a number that is not there.
// Prints the median, 90th and 99th percentile and maximum per kind and over
// all queries, in milliseconds. Exit status: 0 done, 1 failed.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "bench/contact_generator.h"
#include "com/ado.h"
#include "ctl/installation.h"
#include "ctl/reverse_lookup.h"

namespace {

using namespace fonwerk;

struct Query {
  std::string kind;
  std::string argument;
  bool expect_match;
};

bool IsDigits(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string UpperAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return text;
}

// Every k-th number and address of TAPI, so that the sample spans the table.
std::vector<std::string> SampleTapi(ctl::Installation& installation, int wanted) {
  ado::Recordset count;
  count.Open("SELECT count(*) FROM TAPI", *installation.connection);
  const int64_t rows = count.Fields(0).Value().ToInteger();
  count.Close();
  const int64_t step = std::max<int64_t>(1, rows / std::max(1, wanted));
  ado::Recordset tapi;
  tapi.Open("SELECT NUMMER FROM TAPI", *installation.connection);
  std::vector<std::string> sample;
  for (int64_t i = 0; !tapi.Eof(); ++i, tapi.MoveNext()) {
    const Variant& value = tapi.Fields(0).Value();
    if (i % step == 0 && !value.IsNull()) sample.push_back(value.ToText());
  }
  return sample;
}

// `own_prefix` is Plus followed by code: a stored number that still begins
// with it (written "(+49) 89 ..." or "00 49 ...") cannot be found by a lookup,
// which brings incoming numbers into national form, so it is left out.
std::vector<Query> MakeQueries(const std::vector<std::string>& sample,
                               const std::string& own_prefix, int count) {
  std::vector<Query> queries;
  bench::Random random(7);
  std::vector<std::string> numbers, addresses;
  for (const std::string& value : sample) {
    if (IsDigits(value) && value.size() >= 6 && !value.starts_with(own_prefix)) {
      numbers.push_back(value);
    }
    if (value.find('@') != std::string::npos && value.find(' ') == std::string::npos) {
      addresses.push_back(value);
    }
  }
  if (numbers.empty() || addresses.empty()) throw std::runtime_error("TAPI holds too few rows");
  for (int i = 0; static_cast<int>(queries.size()) < count; ++i) {
    const std::string& number = numbers[static_cast<size_t>(i) % numbers.size()];
    switch (i % 5) {
      case 0:
        queries.push_back({"stored number", number, true});
        break;
      case 1:
        queries.push_back({"number + extension", number + "77", true});
        break;
      case 2:
        if (number.size() > 1 && number[0] == '0' && number[1] != '0') {
          queries.push_back({"international", "+49 " + number.substr(1), true});
        }
        break;
      case 3:
        queries.push_back({"e-mail, other case",
                           UpperAscii(addresses[static_cast<size_t>(i) % addresses.size()]), true});
        break;
      default:
        queries.push_back({"unknown number", "0999" + random.Digits(7), false});
    }
  }
  return queries;
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[index];
}

void PrintRow(const std::string& kind, const std::vector<double>& ms, int misses) {
  std::printf("| %-20s | %6zu | %9.3f | %9.3f | %9.3f | %9.3f | %10d |\n", kind.c_str(), ms.size(),
              Percentile(ms, 0.5), Percentile(ms, 0.9), Percentile(ms, 0.99),
              *std::max_element(ms.begin(), ms.end()), misses);
}

int Run(const std::string& install, int count) {
  ctl::Installation installation = ctl::OpenInstallation(install);
  const std::vector<Query> queries = MakeQueries(
      SampleTapi(installation, count), installation.phone.Plus + installation.phone.code, count);

  std::map<std::string, std::vector<double>> by_kind;
  std::map<std::string, int> unexpected;
  std::vector<double> all;
  for (const Query& query : queries) {
    const auto start = std::chrono::steady_clock::now();
    const std::vector<ctl::Match> matches = ctl::Lookup(query.argument, installation);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    by_kind[query.kind].push_back(ms);
    all.push_back(ms);
    if (matches.empty() == query.expect_match) ++unexpected[query.kind];
  }
  std::printf("| %-20s | %6s | %9s | %9s | %9s | %9s | %10s |\n", "kind", "count", "median ms",
              "p90 ms", "p99 ms", "max ms", "unexpected");
  std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(22, '-').c_str(), std::string(8, '-').c_str(),
              std::string(11, '-').c_str(), std::string(11, '-').c_str(),
              std::string(11, '-').c_str(), std::string(11, '-').c_str(),
              std::string(12, '-').c_str());
  int total_unexpected = 0;
  for (const auto& [kind, ms] : by_kind) {
    PrintRow(kind, ms, unexpected[kind]);
    total_unexpected += unexpected[kind];
  }
  PrintRow("all", all, total_unexpected);
  std::printf("lookup_median_ms=%.3f\n", Percentile(all, 0.5));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Measures the latency of fonwerkctl's reverse lookup inside the process."};
  app.name("fonwerk-lookup-bench");
  std::string install;
  int count = 1000;
  app.add_option("--install", install, "installation folder")->required();
  app.add_option("--queries", count, "number of lookups")->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  try {
    return Run(install, count);
  } catch (const std::exception& e) {
    std::cerr << "fonwerk-lookup-bench: " << e.what() << "\n";
    return 1;
  }
}
