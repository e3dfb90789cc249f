// Translation of the Jet SQL of stored queries into SQLite SQL.
//   - a leading PARAMETERS clause is read for the parameters' types and
//     removed (INT/INTEGER/LONG i32, SMALLINT/SHORT i16, BYTE u8,
//     TEXT/CHAR/VARCHAR text, DATETIME/DATE date);
//   - every bracketed [Name] that is not part of a dotted name becomes a
//     numbered parameter ?n (the same name, case-insensitive, the same n);
//     parameters without a declaration are untyped;
//   - Jet's double-quoted strings become SQLite strings; a trailing ';' is
//     dropped; "DELETE * FROM" becomes "DELETE FROM".
// For a SELECT the clauses and the tables of the FROM clause are returned,
// from which the recordset builds its keyset and row-fetch statements.
// Pure text work: nothing here touches a database.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace dao::jetsql {

class TranslateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class ParamType { kUntyped, kInt, kSmallInt, kByte, kText, kDate };
const char* ParamTypeName(ParamType t);  // "INT", "SMALLINT", ... "" for untyped

struct Param {
  std::string name;
  ParamType type = ParamType::kUntyped;
};

enum class Kind { kSelect, kUpdate, kDelete, kInsert };

struct TableRef {
  std::string name;   // as written
  std::string alias;  // the name the query refers to it by (= name without alias)
};

struct Translation {
  Kind kind = Kind::kSelect;
  std::vector<Param> params;  // parameter i is ?(i+1)
  std::string sql;            // the whole statement, SQLite text
  // SELECT only (SQLite text of each clause, without its keyword):
  std::string select_list;
  std::string from;
  std::string where;     // empty when none
  std::string order_by;  // empty when none
  bool aggregate = false;  // DISTINCT, GROUP BY, HAVING or UNION: no keyset possible
  std::vector<TableRef> tables;
};

// Throws TranslateError with a readable reason.
Translation Translate(std::string_view jet_sql);

// Index of a parameter by name (case-insensitive), -1 when none.
int FindParam(const Translation& t, std::string_view name);

// Primary-key columns of a table, in key order; empty = order by rowid.
using PrimaryKeyLookup = std::function<std::vector<std::string>(const std::string& table)>;

// The ORDER BY list the recordset uses: the query's own, or else the
// primary keys of the tables in FROM order (a deterministic natural order).
std::string EffectiveOrder(const Translation& t, const PrimaryKeyLookup& pk);

// Statement selecting the rowid of every base table of each row, in order.
std::string KeysetSql(const Translation& t, const PrimaryKeyLookup& pk);
// Statement selecting one row's columns by the rowids of its base tables,
// bound as parameters ?(P+1) .. ?(P+T) after the query's P parameters.
std::string FetchSql(const Translation& t);

}  // namespace dao::jetsql
