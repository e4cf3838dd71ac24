// The data an installation starts with: the country list (countries.tsv into
// postorte and postplz), the own country (STD) and the demo contacts (AD), all
// read from tab-separated files.

#include <fmt/format.h>

#include <set>
#include <sstream>
#include <string_view>

#include "base/text.h"
#include "base/variant.h"
#include "db/session.h"
#include "tools/install.h"
#include "tools/install_internal.h"

namespace fonwerk::install {
namespace {

namespace fs = std::filesystem;
using text::EqualsNoCase;

// Position of `name` among `columns`, compared without regard to case.
size_t ColumnIndex(const std::vector<ado::ColumnInfo>& columns, std::string_view name,
                   std::string_view table) {
  for (size_t i = 0; i < columns.size(); ++i) {
    if (EqualsNoCase(columns[i].name, name)) return i;
  }
  throw InstallError(fmt::format("table {} has no column {}", table, name));
}

size_t TsvColumn(const TsvTable& tsv, std::string_view name, const fs::path& file) {
  for (size_t i = 0; i < tsv.columns.size(); ++i) {
    if (EqualsNoCase(tsv.columns[i], name)) return i;
  }
  throw InstallError(fmt::format("{} has no column {}", file.string(), name));
}

ado::RowBatch NewBatch(ado::Session& session, const std::string& table) {
  return ado::RowBatch{table, session.TableColumns(table), {}};
}

std::vector<Variant>& AddRow(ado::RowBatch& batch) {
  return batch.rows.emplace_back(batch.columns.size());
}

Variant ToVariant(const std::optional<std::string>& value) {
  return value ? Variant(*value) : Variant::Null();
}

Variant EmptyAsNull(const std::optional<std::string>& value) {
  return (value && !value->empty()) ? Variant(*value) : Variant::Null();
}

// Stores a batch and makes sure no deferred failure is left behind.
void Store(ado::Session& session, ado::RowBatch&& batch) {
  const std::string tag = batch.table;
  session.StoreRows(std::move(batch), tag);
  session.FlushStores();
  auto failures = session.TakeStoreFailures();
  if (!failures.empty()) {
    throw InstallError(
        fmt::format("storing rows in {} failed: {}", tag, failures.front().description));
  }
}

std::optional<std::string> UnescapeTsvValue(std::string_view raw, const fs::path& file,
                                            size_t line) {
  if (raw == "\\N") return std::nullopt;
  std::string value;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\') {
      value += raw[i];
      continue;
    }
    const char next = i + 1 < raw.size() ? raw[i + 1] : '\0';
    switch (next) {
      case 'r':
        value += '\r';
        break;
      case 'n':
        value += '\n';
        break;
      case 't':
        value += '\t';
        break;
      case '\\':
        value += '\\';
        break;
      default:
        throw InstallError(
            fmt::format("{}:{}: unknown escape in \"{}\"", file.string(), line, raw));
    }
    ++i;
  }
  return value;
}

}  // namespace

std::vector<std::string> CountryShortCodes(const fs::path& sql_dir) {
  const fs::path file = sql_dir / "countries.tsv";
  const TsvTable tsv = ReadTsv(file);
  const size_t alort = TsvColumn(tsv, "alort", file);
  const size_t ozusatz = TsvColumn(tsv, "ozusatz", file);
  std::set<std::string> codes;
  for (const auto& row : tsv.rows) {
    const bool country = row[alort] && row[alort]->compare(0, 4, "land") == 0;
    if (country && row[ozusatz] && !row[ozusatz]->empty()) codes.insert(*row[ozusatz]);
  }
  return {codes.begin(), codes.end()};
}

TsvTable ReadTsv(const fs::path& file) {
  const std::string text = ReadFile(file);
  TsvTable table;
  bool have_header = false;
  size_t line_no = 0;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    ++line_no;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.front() == '#') continue;
    const auto fields = text::Split(line, '\t');
    if (!have_header) {
      for (auto name : fields) table.columns.emplace_back(TrimSpace(name));
      have_header = true;
      continue;
    }
    if (fields.size() != table.columns.size()) {
      throw InstallError(fmt::format("{}:{}: {} fields, the header names {}", file.string(),
                                     line_no, fields.size(), table.columns.size()));
    }
    auto& row = table.rows.emplace_back();
    for (auto field : fields) row.push_back(UnescapeTsvValue(field, file, line_no));
  }
  if (!have_header) throw InstallError(fmt::format("{} has no header line", file.string()));
  return table;
}

void LoadCountries(ado::Session& session, const fs::path& sql_dir) {
  const fs::path file = sql_dir / "countries.tsv";
  const TsvTable tsv = ReadTsv(file);
  const size_t alort = TsvColumn(tsv, "alort", file);
  const size_t oname = TsvColumn(tsv, "oname", file);
  const size_t ozusatz = TsvColumn(tsv, "ozusatz", file);
  const size_t plz = TsvColumn(tsv, "plz", file);
  const size_t vorwahl = TsvColumn(tsv, "vorwahl", file);

  ado::RowBatch places = NewBatch(session, "postorte");
  ado::RowBatch codes = NewBatch(session, "postplz");
  const size_t places_key = ColumnIndex(places.columns, "alort", "postorte");
  const size_t places_name = ColumnIndex(places.columns, "oname", "postorte");
  const size_t places_code = ColumnIndex(places.columns, "ozusatz", "postorte");
  const size_t codes_key = ColumnIndex(codes.columns, "alort", "postplz");
  const size_t codes_plz = ColumnIndex(codes.columns, "plz", "postplz");
  const size_t codes_vorwahl = ColumnIndex(codes.columns, "vorwahl", "postplz");

  std::set<std::string> seen;
  for (const auto& row : tsv.rows) {
    if (!row[alort] || row[alort]->empty()) {
      throw InstallError(fmt::format("{}: a row has no alort", file.string()));
    }
    if (seen.insert(*row[alort]).second) {
      auto& place = AddRow(places);
      place[places_key] = *row[alort];
      place[places_name] = EmptyAsNull(row[oname]);
      place[places_code] = EmptyAsNull(row[ozusatz]);
    }
    auto& code = AddRow(codes);
    code[codes_key] = *row[alort];
    code[codes_plz] = EmptyAsNull(row[plz]);
    code[codes_vorwahl] = EmptyAsNull(row[vorwahl]);
  }
  Store(session, std::move(places));
  Store(session, std::move(codes));
}

void SetLand(ado::Session& session, const std::string& land) {
  session.Execute("DELETE FROM STD");
  ado::RowBatch batch = NewBatch(session, "STD");
  AddRow(batch)[ColumnIndex(batch.columns, "Land", "STD")] = land;
  Store(session, std::move(batch));
}

void LoadDemoContacts(ado::Session& session, const fs::path& sql_dir) {
  const fs::path file = sql_dir / "demo_contacts.tsv";
  const TsvTable tsv = ReadTsv(file);
  ado::RowBatch batch = NewBatch(session, "AD");
  std::vector<size_t> target;
  for (const auto& name : tsv.columns) target.push_back(ColumnIndex(batch.columns, name, "AD"));
  for (const auto& row : tsv.rows) {
    auto& values = AddRow(batch);
    for (size_t i = 0; i < row.size(); ++i) values[target[i]] = ToVariant(row[i]);
  }
  Store(session, std::move(batch));
}

}  // namespace fonwerk::install
