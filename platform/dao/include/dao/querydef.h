// A stored (or temporary) query.  Its Jet text is kept verbatim; it is
// translated when taken from the collection.  Parameters are set by name
// (case-insensitive) and stay on the query across recordsets and requeries.
// Declared types (PARAMETERS: INT i32, SMALLINT i16, BYTE u8, TEXT, DATETIME)
// convert the value as it is set (3421 when it does not fit).
//
// Ownership: a QueryDef is a handle; copies share the parameter values, and
// the recordsets opened from it read the current values at each requery.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dao/recordset.h"
#include "dao/variant.h"

namespace dao {

struct QueryState;

struct ParameterInfo {
  std::string name;
  std::string type;  // "INT", "SMALLINT", "BYTE", "TEXT", "DATETIME" or "" (untyped)
};

class QueryDef {
 public:
  explicit QueryDef(std::shared_ptr<QueryState> state) : s_(std::move(state)) {}

  const std::string& Name() const;  // empty for a temporary query
  const std::string& Sql() const;   // the Jet text as stored
  OleDate DateCreated() const;
  OleDate LastUpdated() const;

  std::vector<ParameterInfo> Parameters() const;
  // 0x800A0CC1 for a name the query does not use.
  void SetParameter(std::string_view name, const Variant& value);
  Variant Parameter(std::string_view name) const;

  // A dynaset over the query; every parameter must have a value (3061).
  Recordset OpenRecordset() const;
  // Executes an action query; returns the number of rows affected.
  int64_t Execute();

  // The SQLite text the query is run as (for diagnostics and tests).
  std::string TranslatedSql() const;

 private:
  std::shared_ptr<QueryState> s_;
};

}  // namespace dao
