#pragma once
// Error types of the system. Every failure that crosses a layer is one of these.
//
// `Error` carries an automation-style error number and description, the two
// things the platform's run-time error report prints. `DbError` adds what the
// database provider said, and whether the session is still usable.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace fonwerk {

// Error numbers used across the system (the automation numbers a caller of the
// component library would see).
namespace errnum {
inline constexpr int32_t kTypeMismatch = 13;
inline constexpr int32_t kFileNotFound = 53;
inline constexpr int32_t kPermissionDenied = 70;
inline constexpr int32_t kPathFileAccess = 75;
inline constexpr int32_t kPathNotFound = 76;
inline constexpr int32_t kInvalidUseOfNull = 94;
inline constexpr int32_t kOverflow = 6;
inline constexpr int32_t kInvalidProcedureCall = 5;
inline constexpr int32_t kCannotCreateObject = 429;
inline constexpr int32_t kObjectRequired = 424;
inline constexpr int32_t kObjectVariableNotSet = 91;
inline constexpr int32_t kItemNotFound = 3265;        // column not in the collection
inline constexpr int32_t kProvider = -2147467259;     // 0x80004005, provider error
inline constexpr int32_t kInvalidArgument = 3001;     // e.g. a rejected filter
inline constexpr int32_t kOperationNotAllowed = 3219; // e.g. MoveFirst on forward-only
}  // namespace errnum

class Error : public std::runtime_error {
 public:
  Error(int32_t number, const std::string& description)
      : std::runtime_error(description), number_(number) {}
  int32_t number() const noexcept { return number_; }
  std::string description() const { return what(); }

 private:
  int32_t number_;
};

// A failure reported by a database provider (SQLite or PostgreSQL).
// `kind` tells a caller whether the statement's data was rejected (the session
// goes on) or the session itself is gone (nothing more will succeed on it).
class DbError : public Error {
 public:
  enum class Kind {
    kStatement,       // the database rejected a statement or its data
    kConnection,      // cannot connect, or the connection was lost
    kUsage,           // misuse of the data-access objects (bad filter, no such column, ...)
  };
  DbError(Kind kind, const std::string& description, std::string sqlstate = {})
      : Error(kind == Kind::kUsage ? errnum::kInvalidArgument : errnum::kProvider, description),
        kind_(kind),
        sqlstate_(std::move(sqlstate)) {}
  DbError(Kind kind, int32_t number, const std::string& description, std::string sqlstate = {})
      : Error(number, description), kind_(kind), sqlstate_(std::move(sqlstate)) {}

  Kind kind() const noexcept { return kind_; }
  // SQLSTATE on PostgreSQL; the extended result code as text on SQLite; may be empty.
  const std::string& sqlstate() const noexcept { return sqlstate_; }
  bool connection_lost() const noexcept { return kind_ == Kind::kConnection; }

 private:
  Kind kind_;
  std::string sqlstate_;
};

}  // namespace fonwerk
