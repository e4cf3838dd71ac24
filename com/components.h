#pragma once
// The product's component library ("brixcom.*"): six classes reached through
// these interfaces and created by ProgID through ComponentFactory, so that
// tests can put failing or recording doubles in their place.
//
// Every operation may throw fonwerk::Error; callers decide whether to handle it.
// Recordsets pass by reference as shared pointers: an operation may replace the
// caller's reference.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/variant.h"
#include "com/ado.h"

namespace fonwerk::com {

using RecordsetRef = std::shared_ptr<ado::Recordset>;

// Base of every component object.
class Component {
 public:
  virtual ~Component() = default;
};

// brixcom.cDBUtil
class IDBUtil : public Component {
 public:
  // Reads the installation's SQL.INI and returns its connection string (text).
  // Throws Error naming the cause when the file cannot be read or names no known provider.
  virtual Variant GetConnectString(const std::string& ini_path, int32_t flags) = 0;
};

// brixcom.cRegistry
class IRegistry : public Component {
 public:
  virtual void SetHKey(uint32_t root) = 0;
  virtual void SetSection(const std::string& section) = 0;
  // The stored string, or `default_value` when the file, the key or the value is missing.
  virtual Variant GetStrKey(const std::string& name, const std::string& default_value) = 0;
};

// brixcom.cDbIni: the settings store, kept in table DBINI of the product database.
class IDbIni : public Component {
 public:
  virtual void Init(const std::string& connect_string) = 0;
  // The stored value or the default; a missing table reads as nothing stored.
  virtual Variant GetBool(const std::string& section, const std::string& key, bool default_value,
                          int16_t flags) = 0;
  virtual Variant GetStr(const std::string& section, const std::string& key,
                         const std::string& default_value, int16_t flags) = 0;
  // Stores the value; the first write creates the table.
  virtual void WriteBool(const std::string& section, const std::string& key, bool& value,
                         int16_t flags) = 0;
  virtual void WriteStr(const std::string& section, const std::string& key, std::string& value,
                        int16_t flags) = 0;
};

// brixcom.cDal: database access.
class IDal : public Component {
 public:
  // An open static recordset over the statement's rows (supports Filter and MoveFirst).
  virtual RecordsetRef GetRecordset(const std::string& connect_string, const std::string& sql) = 0;
  // Runs a command.
  virtual void ExecQuery(const std::string& connect_string, const std::string& sql) = 0;
  // Runs one command with its `?` placeholders bound to `params`, in order.
  virtual void ExecQuery(const std::string& connect_string, const std::string& sql,
                         const std::vector<Variant>& params) = 0;
  // An updatable recordset over `table`, with all its columns and no rows.
  virtual RecordsetRef OpenEmptyTable(const std::string& connect_string, const std::string& table,
                                      int32_t mode) = 0;
  // True when `rs` is an open recordset standing on a row; Null counts as False.
  virtual Variant MdbValidDy(RecordsetRef& rs) = 0;
  // Called after each added row: a field of a NOT NULL text column without a
  // default that is left unset or Null becomes the empty text.
  virtual void MdbNoNullFields(RecordsetRef& rs) = 0;
  // Stores every row added since OpenEmptyTable and closes the recordset.
  virtual void UpdateRecordSet(const std::string& connect_string, RecordsetRef& rs) = 0;
};

// The translation service reached through cUtil.LanguagePack.
class ILanguagePack {
 public:
  virtual ~ILanguagePack() = default;
  virtual std::string TranslateString(const std::string& text) = 0;
};

// brixcom.cUtil: text utilities.
class IUtil : public Component {
 public:
  // The value as text; "" for Null and Empty.
  virtual std::string k(const Variant& value) = 0;
  // The text with every character but the digits 0 to 9 removed (argument unchanged).
  virtual std::string nur_zahlen(const std::string& text) = 0;
  virtual std::string NurZahlen(const std::string& text) = 0;
  // Begins-with test: True when `text` begins with `start`.
  virtual Variant BEG(const std::string& text, const std::string& start) = 0;
  // The key as an SQL text literal, safe for any key (quotes doubled).
  virtual std::string SqlUid(const Variant& key) = 0;
  // Number of items; empty items count (one more than the separators).
  virtual int32_t StrListCount(const std::string& list, const std::string& separator) = 0;
  // Item `position` (from 1), without separators; "" past the end or below 1.
  virtual std::string StrListNr(const std::string& list, const std::string& separator,
                                int32_t position) = 0;
  // Every item, as StrListNr gives them for 1..StrListCount, in one linear pass.
  // (For long lists, where item-by-item access would be quadratic.)
  virtual std::vector<std::string> StrListItems(const std::string& list,
                                                const std::string& separator) = 0;
  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hex, time-ordered.
  virtual std::string NewGUID() = 0;
  // Drops `tail` (and the blanks before it) from the end of `text` when it ends with it.
  virtual void CutRight(std::string& text, const std::string& tail) = 0;
  virtual std::shared_ptr<ILanguagePack> LanguagePack() = 0;
  // Shows the text to the user (standard error).
  virtual void MsgInfo(const std::string& text) = 0;
};

// brixcom.cProgress: a progress bar on standard error when it is a terminal.
class IProgress : public Component {
 public:
  virtual void Show(const std::string& caption, bool modeless) = 0;
  virtual void Max(const Variant& max) = 0;
  virtual void Progress(int32_t& count) = 0;
};

}  // namespace fonwerk::com
