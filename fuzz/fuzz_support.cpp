#include "fuzz/fuzz_support.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "base/text.h"
#include "com/session_pool.h"
#include "com/util.h"
#include "db/session.h"
#include "tools/install.h"

namespace fonwerk::fuzz {
namespace {

std::string MakeTempFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                        "/fonwerk-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create " + pattern + ": " + std::strerror(errno));
  }
  return pattern;
}

constexpr const char* kNarrowTapi =
    "CREATE TABLE TAPI (DSN VARCHAR(38) PRIMARY KEY, AD_DSN VARCHAR(38) NOT NULL, "
    "NUMMER VARCHAR(8), BEMERKUNG VARCHAR(4), contactTypeDsn VARCHAR(38))";

void CreateFilterRows(ado::Session& session) {
  session.Execute("CREATE TABLE FILTERROWS (id INTEGER, name TEXT, code TEXT)");
  for (const FilterRow& row : FilterRows()) {
    auto literal = [](const char* text) {
      return text == nullptr ? std::string("NULL") : text::SqlQuote(text);
    };
    session.Execute("INSERT INTO FILTERROWS (id, name, code) VALUES (" + std::to_string(row.id) +
                    ", " + literal(row.name) + ", " + literal(row.code) + ")");
  }
}

}  // namespace

std::vector<std::string> SplitFields(const uint8_t* data, size_t size, size_t count) {
  std::vector<std::string> fields(count);
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  for (size_t i = 0; i < count && start <= input.size(); ++i) {
    const size_t end = i + 1 == count ? std::string_view::npos : input.find(kFieldSeparator, start);
    if (end == std::string_view::npos) {
      fields[i] = std::string(input.substr(start));
      break;
    }
    fields[i] = std::string(input.substr(start, end - start));
    start = end + 1;
  }
  return fields;
}

Variant FieldValue(const std::string& field) {
  if (field.size() == 1 && field[0] == '\0') return Variant::Null();
  return Variant(field);
}

uint8_t FlagByte(const std::string& field, size_t index) {
  return index < field.size() ? static_cast<uint8_t>(field[index]) : 0;
}

std::string Printable(std::string_view bytes) {
  std::string out;
  for (const char c : bytes.substr(0, 200)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
      out += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      out += escaped;
    }
  }
  if (bytes.size() > 200) out += "...(" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

void Fail(const char* where, const std::string& what) {
  std::fprintf(stderr, "property failed: %s\n  %s\n", where, what.c_str());
  std::fflush(stderr);
  std::abort();
}

const std::vector<FilterRow>& FilterRows() {
  static const std::vector<FilterRow> rows = {
      {1, "M\xC3\xBCller", "DEU"}, {2, "O'Brien", "IRL"},     {3, "", ""},
      {4, nullptr, "X"},           {5, " Blank ", "a b"},     {6, "42", "42"},
      {7, "back\\slash", "''"},    {8, "Tab\there", nullptr}, {9, "a=b", "="},
      {10, "DEU", "deu"},
  };
  return rows;
}

ScratchInstall& ScratchInstall::Normal() {
  static ScratchInstall install(false);
  return install;
}

ScratchInstall& ScratchInstall::Narrow() {
  static ScratchInstall install(true);
  return install;
}

ScratchInstall::ScratchInstall(bool narrow) : folder_(MakeTempFolder()) {
  install::Options options;
  connect_ = install::InstallSqlite(folder_, options);
  {
    std::unique_ptr<ado::Session> session = install::OpenUnpooledSession(connect_);
    if (narrow) {
      session->Execute("DROP TABLE TAPI");
      session->Execute(kNarrowTapi);
    } else {
      CreateFilterRows(*session);
    }
  }
  phone_ = std::make_unique<cCanonicalTelephone>();
  phone_->Init(connect_);
}

ScratchInstall::~ScratchInstall() {
  phone_.reset();
  ado::ResetSessionPool();
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

}  // namespace fonwerk::fuzz
