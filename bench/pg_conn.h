#pragma once
// Minimal libpq plumbing for the benchmark programs: connecting from an ADO
// connection string, running statements, and COPY in both directions in the
// text format. Everything throws std::runtime_error carrying libpq's message.

#include <libpq-fe.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bench/c_handle.h"

namespace fonwerk::bench::pg {

using ConnPtr = Handle<PGconn, PQfinish>;
using ResultPtr = Handle<PGresult, PQclear>;
using MemoryPtr = Handle<char, PQfreemem>;  // text that libpq allocated

// Connects with the keys Host/Server, Port, Database, User ID/User/UID and
// Password/Pwd of `connect_string` (Provider=PostgreSQL;...); client encoding UTF8.
ConnPtr Connect(const std::string& connect_string);

// Runs `sql`; returns its result. Throws when it failed.
ResultPtr Exec(PGconn* conn, const std::string& sql);

// Appends `value` as one field of a COPY text line (NULL is \N).
void AppendCopyField(std::string& line, const std::optional<std::string_view>& value);

// COPY ... FROM STDIN: collects lines and sends them in large chunks.
class CopyIn {
 public:
  // Starts `copy_sql` (a COPY ... FROM STDIN statement). Throws when refused.
  CopyIn(PGconn* conn, const std::string& copy_sql);
  // Adds one line (without its line feed); sends when enough has gathered.
  void AddLine(const std::string& line);
  // Sends the rest and ends the COPY; returns the number of rows stored.
  // Throws with the server's message when the COPY failed.
  long long Finish();

 private:
  void Flush();
  PGconn* conn_;
  std::string buffer_;
};

// COPY ... TO STDOUT: hands out one line at a time, with its fields split and
// unescaped. A field that is NULL comes out as nullopt.
class CopyOut {
 public:
  static constexpr int kMaxFields = 16;
  CopyOut(PGconn* conn, const std::string& copy_sql);
  // Reads the next line into the fields; false at the end of the data.
  // Throws when the COPY failed or a line has more than kMaxFields fields.
  bool Next();
  int FieldCount() const { return field_count_; }
  // Field `i` of the current line; REQUIRES: i < FieldCount(). Valid until Next().
  std::optional<std::string_view> Field(int i) const;

 private:
  PGconn* conn_;
  std::string fields_[kMaxFields];
  bool is_null_[kMaxFields] = {};
  int field_count_ = 0;
};

}  // namespace fonwerk::bench::pg
