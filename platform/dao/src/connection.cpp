#include "connection.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <ctime>

namespace dao {
namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool Contains(std::string_view hay, std::string_view needle) { return hay.find(needle) != std::string_view::npos; }

}  // namespace

bool TableInfo::HasColumn(std::string_view c) const { return !Column(c).empty(); }

std::string TableInfo::Column(std::string_view c) const {
  for (const std::string& col : columns)
    if (col.size() == c.size() && strncasecmp(col.data(), c.data(), c.size()) == 0) return col;
  return {};
}

Connection::~Connection() {
  for (auto& [sql, s] : cache) sqlite3_finalize(s);
  if (db) sqlite3_close_v2(db);
}

sqlite3_stmt* Connection::Prepare(const std::string& sql) {
  auto it = cache.find(sql);
  if (it != cache.end()) return it->second;
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v3(db, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &s, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(s);
    Fail(rc);
  }
  // The texts come from the program's own queries and the column sets it
  // updates, so the cache stays small; entries live as long as the connection.
  cache.emplace(sql, s);
  return s;
}

bool Connection::HasTable(std::string_view name) {
  if (tables.count(Lower(name))) return true;
  sqlite3_stmt* s = Prepare("SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = ?1 COLLATE NOCASE");
  StmtReset reset(s);
  sqlite3_bind_text(s, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
  int rc = sqlite3_step(s);
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) Fail(rc);
  return false;
}

const TableInfo& Connection::Table(std::string_view name) {
  const std::string key = Lower(name);
  auto it = tables.find(key);
  if (it != tables.end()) return it->second;
  if (!HasTable(name)) Throw(kErrUnknownTable, "Cannot find the input table or query '" + std::string(name) + "'.");
  TableInfo info;
  {
    sqlite3_stmt* s = Prepare("SELECT name FROM sqlite_schema WHERE type = 'table' AND name = ?1 COLLATE NOCASE");
    StmtReset reset(s);
    sqlite3_bind_text(s, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(s) == SQLITE_ROW) info.name = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
  }
  std::vector<std::pair<int, std::string>> pk;
  std::string pk_type;
  {
    sqlite3_stmt* s = Prepare("SELECT name, type, pk FROM pragma_table_info(?1)");
    StmtReset reset(s);
    sqlite3_bind_text(s, 1, info.name.c_str(), -1, SQLITE_TRANSIENT);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      std::string col = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
      const unsigned char* type = sqlite3_column_text(s, 1);
      int k = sqlite3_column_int(s, 2);
      info.columns.push_back(col);
      if (k > 0) {
        pk.emplace_back(k, col);
        pk_type = type ? reinterpret_cast<const char*>(type) : "";
      }
    }
    if (rc != SQLITE_DONE) Fail(rc);
  }
  std::sort(pk.begin(), pk.end());
  for (auto& [k, c] : pk) info.pk.push_back(c);
  if (info.pk.size() == 1 && strcasecmp(pk_type.c_str(), "INTEGER") == 0) info.rowid_alias = info.pk[0];
  return tables.emplace(key, std::move(info)).first->second;
}

OleDate Connection::Now() const {
  if (options.clock) return options.clock();
  return OleDateFromTime(std::time(nullptr));
}

void Connection::Exec(const char* sql) {
  char* msg = nullptr;
  int rc = sqlite3_exec(db, sql, nullptr, nullptr, &msg);
  sqlite3_free(msg);
  if (rc != SQLITE_OK) Fail(rc);
}

void Connection::ThrowIfDamaged(const std::vector<std::string>& tables) {
  for (const std::string& table : tables) {
    std::string sql = "PRAGMA quick_check(\"";
    for (char ch : table) {
      if (ch == '"') sql += '"';
      sql += ch;
    }
    sql += "\")";
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
      sqlite3_finalize(s);
      continue;  // the table itself is gone: nothing damaged to report
    }
    std::string first;
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
      const unsigned char* t = sqlite3_column_text(s, 0);
      first = t != nullptr ? reinterpret_cast<const char*>(t) : "";
    }
    sqlite3_finalize(s);
    if ((rc & 0xFF) == SQLITE_CORRUPT || (rc == SQLITE_ROW && first != "ok")) {
      // The check's first finding, without its "*** in database main ***" line.
      const size_t nl = first.find('\n');
      if (first.rfind("***", 0) == 0 && nl != std::string::npos) first.erase(0, nl + 1);
      if (first.size() > 160) first.resize(160);
      Throw(kErrCorrupt, "The database '" + path + "' is damaged (table " + table +
                             (first.empty() ? "" : ": " + first) + ").");
    }
  }
}

void Connection::Fail(int rc, std::string_view context) const {
  const int ext = db ? sqlite3_extended_errcode(db) : rc;
  const std::string msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  const std::string where = context.empty() ? std::string() : " (" + std::string(context) + ")";
  switch (rc & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      Throw(kErrLocked, "Could not update; the database is currently locked by another program." + where);
    case SQLITE_NOTADB: Throw(kErrNotDatabase, "Unrecognized database format '" + path + "'.");
    case SQLITE_CANTOPEN: Throw(kErrCannotFindFile, "Could not open file '" + path + "'.");
    case SQLITE_CORRUPT: Throw(kErrCorrupt, "The database '" + path + "' is damaged.");
    case SQLITE_READONLY: Throw(kErrReadOnly, "Cannot update. Database or object is read-only.");
    case SQLITE_IOERR:
    case SQLITE_FULL: Throw(kErrDiskIo, "Disk or I/O error: " + msg);
    case SQLITE_CONSTRAINT:
      if (ext == SQLITE_CONSTRAINT_PRIMARYKEY || ext == SQLITE_CONSTRAINT_UNIQUE)
        Throw(kErrDuplicateKey,
              "The changes were not made because they would create duplicate values in the index or primary key (" +
                  msg + ").");
      if (ext == SQLITE_CONSTRAINT_NOTNULL) Throw(kErrNullValue, "The field cannot contain a Null value (" + msg + ").");
      if (ext == SQLITE_CONSTRAINT_DATATYPE) Throw(kErrConversion, "Data type conversion error (" + msg + ").");
      if (ext == SQLITE_CONSTRAINT_CHECK && Contains(msg, "width_"))
        Throw(kErrFieldTooSmall, "The field is too small to accept the amount of data (" + msg + ").");
      Throw(kErrValidation, "One or more values are prohibited by the validation rule (" + msg + ").");
    case SQLITE_MISMATCH: Throw(kErrConversion, "Data type conversion error (" + msg + ").");
    default: break;
  }
  if (Contains(msg, "no such table")) Throw(kErrUnknownTable, "Cannot find the input table or query: " + msg + where);
  if (Contains(msg, "no such column")) Throw(kErrUnknownField, "Unknown field name: " + msg + where);
  Throw(kErrReserved, "Database error: " + msg + where);
}

void BindVariant(const Connection& c, sqlite3_stmt* s, int index, const Variant& v) {
  int rc = SQLITE_OK;
  switch (v.type()) {
    case Variant::Type::kNull: rc = sqlite3_bind_null(s, index); break;
    case Variant::Type::kI16:
    case Variant::Type::kI32:
    case Variant::Type::kU8: rc = sqlite3_bind_int64(s, index, v.AsInt()); break;
    case Variant::Type::kDate: rc = sqlite3_bind_double(s, index, std::get<OleDate>(v.value()).days); break;
    case Variant::Type::kText: {
      const std::string& t = std::get<std::string>(v.value());
      rc = sqlite3_bind_text(s, index, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
      break;
    }
  }
  if (rc != SQLITE_OK) c.Fail(rc);
}

Variant ColumnVariant(sqlite3_stmt* s, int col) {
  switch (sqlite3_column_type(s, col)) {
    case SQLITE_NULL: return Variant();
    case SQLITE_INTEGER: {
      sqlite3_int64 v = sqlite3_column_int64(s, col);
      if (v < INT32_MIN || v > INT32_MAX) return Variant(std::to_string(v));
      return Variant(static_cast<int32_t>(v));
    }
    case SQLITE_FLOAT: return Variant(OleDate{sqlite3_column_double(s, col)});
    default: {
      const unsigned char* t = sqlite3_column_text(s, col);
      return Variant(std::string(t ? reinterpret_cast<const char*>(t) : "",
                                 static_cast<size_t>(sqlite3_column_bytes(s, col))));
    }
  }
}

}  // namespace dao
