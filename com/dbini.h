#pragma once
// brixcom.cDbIni: the settings store, kept in table DBINI of the product
// database (text columns SECTION, KEYNAME, KEYVALUE; primary key on the first
// two). Section and key names match without regard to case (LOWER() of the
// database on both sides); the names of the first write are kept.
//
// Booleans are stored as "1"/"0"; reading also accepts "-1", "true" and
// "false" (any case) and any other integer (non-zero is True). A database
// without the table reads as "nothing stored"; the first write creates it.

#include <memory>
#include <optional>
#include <string>

#include "com/ado.h"
#include "com/components.h"

namespace fonwerk::com {

class cDbIni : public IDbIni {
 public:
  // Opens (joins) the database session of `connect_string`. Throws DbError
  // when it cannot be opened.
  void Init(const std::string& connect_string) override;

  // A Boolean Variant: the stored value, or `default_value` when nothing (or
  // Null, or a text that is no Boolean) is stored. `flags` is ignored.
  // Throws Error 424 before Init, DbError when the database fails.
  Variant GetBool(const std::string& section, const std::string& key, bool default_value,
                  int16_t flags) override;
  // A text Variant: the stored value, or `default_value` when nothing (or Null)
  // is stored. Errors as GetBool.
  Variant GetStr(const std::string& section, const std::string& key,
                 const std::string& default_value, int16_t flags) override;

  // Store the value (replacing an earlier one) in one transaction of its own,
  // or as part of the session's transaction when one is open. `value` is not
  // changed. Throws Error 424 before Init, Error 5 for a NUL byte in a text,
  // DbError when the database fails.
  void WriteBool(const std::string& section, const std::string& key, bool& value,
                 int16_t flags) override;
  void WriteStr(const std::string& section, const std::string& key, std::string& value,
                int16_t flags) override;

 private:
  ado::Connection& connection();
  bool TableExists();
  std::optional<std::string> Read(const std::string& section, const std::string& key);
  void Write(const std::string& section, const std::string& key, const std::string& value);

  std::unique_ptr<ado::Connection> connection_;
};

}  // namespace fonwerk::com
