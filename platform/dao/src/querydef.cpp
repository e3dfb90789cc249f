#include "dao/querydef.h"

#include <strings.h>

#include <cmath>
#include <cstdlib>

#include "connection.h"

namespace dao {

std::shared_ptr<QueryState> MakeQueryState(std::shared_ptr<Connection> conn, std::string name, std::string jet,
                                           OleDate created, OleDate updated) {
  auto q = std::make_shared<QueryState>();
  q->conn = std::move(conn);
  q->name = std::move(name);
  q->jet = std::move(jet);
  q->created = created;
  q->updated = updated;
  try {
    q->tr = jetsql::Translate(q->jet);
    q->values.resize(q->tr->params.size());
  } catch (const jetsql::TranslateError& e) {
    q->tr_error = e.what();
  }
  return q;
}

const jetsql::Translation& QueryState::T() const {
  if (!tr) Throw(kErrReserved, "Syntax error in query '" + name + "': " + tr_error);
  return *tr;
}

void QueryState::BindParams(sqlite3_stmt* s) const {
  const jetsql::Translation& t = T();
  int missing = 0;
  for (const auto& v : values)
    if (!v) ++missing;
  if (missing) Throw(kErrTooFewParameters, "Too few parameters. Expected " + std::to_string(missing) + ".");
  const int count = sqlite3_bind_parameter_count(s);
  for (size_t i = 0; i < t.params.size() && static_cast<int>(i) < count; ++i)
    BindVariant(*conn, s, static_cast<int>(i) + 1, *values[i]);
}

jetsql::PrimaryKeyLookup QueryState::PkLookup() const {
  std::shared_ptr<Connection> c = conn;
  return [c](const std::string& table) { return c->Table(table).pk; };
}

const std::string& QueryDef::Name() const { return s_->name; }
const std::string& QueryDef::Sql() const { return s_->jet; }
OleDate QueryDef::DateCreated() const { return s_->created; }
OleDate QueryDef::LastUpdated() const { return s_->updated; }

std::vector<ParameterInfo> QueryDef::Parameters() const {
  std::vector<ParameterInfo> out;
  for (const jetsql::Param& p : s_->T().params) out.push_back({p.name, jetsql::ParamTypeName(p.type)});
  return out;
}

namespace {

[[noreturn]] void ConversionError(const std::string& name) {
  Throw(kErrConversion, "Data type conversion error (parameter " + name + ").");
}

// The value converted to the parameter's declared type.
Variant Coerce(const jetsql::Param& p, const Variant& v) {
  using jetsql::ParamType;
  if (v.is_null() || p.type == ParamType::kUntyped) return v;
  auto integer = [&](int64_t lo, int64_t hi) -> int64_t {
    if (v.type() == Variant::Type::kText) {
      const std::string& t = std::get<std::string>(v.value());
      char* end = nullptr;
      long long n = std::strtoll(t.c_str(), &end, 10);
      if (t.empty() || *end != '\0') ConversionError(p.name);
      if (n < lo || n > hi) ConversionError(p.name);
      return n;
    }
    if (v.type() == Variant::Type::kDate) {
      double d = std::get<OleDate>(v.value()).days;
      if (!(d >= static_cast<double>(lo) && d <= static_cast<double>(hi))) ConversionError(p.name);
      return static_cast<int64_t>(std::llround(d));
    }
    int64_t n = v.AsInt();
    if (n < lo || n > hi) ConversionError(p.name);
    return n;
  };
  switch (p.type) {
    case ParamType::kInt: return Variant(static_cast<int32_t>(integer(INT32_MIN, INT32_MAX)));
    case ParamType::kSmallInt: return Variant(static_cast<int16_t>(integer(INT16_MIN, INT16_MAX)));
    case ParamType::kByte: return Variant(static_cast<uint8_t>(integer(0, 255)));
    case ParamType::kText: return Variant(v.AsText());
    case ParamType::kDate:
      if (v.type() == Variant::Type::kDate) return v;
      if (v.type() == Variant::Type::kText) ConversionError(p.name);
      return Variant(OleDate{static_cast<double>(v.AsInt())});
    case ParamType::kUntyped: break;
  }
  return v;
}

}  // namespace

void QueryDef::SetParameter(std::string_view name, const Variant& value) {
  const jetsql::Translation& t = s_->T();
  int i = jetsql::FindParam(t, name);
  if (i < 0) Throw(kErrItemNotFound, "Item not found in this collection.");
  s_->values[static_cast<size_t>(i)] = Coerce(t.params[static_cast<size_t>(i)], value);
}

Variant QueryDef::Parameter(std::string_view name) const {
  const jetsql::Translation& t = s_->T();
  int i = jetsql::FindParam(t, name);
  if (i < 0) Throw(kErrItemNotFound, "Item not found in this collection.");
  const auto& v = s_->values[static_cast<size_t>(i)];
  return v ? *v : Variant();
}

Recordset QueryDef::OpenRecordset() const { return Recordset(s_); }

int64_t QueryDef::Execute() {
  const jetsql::Translation& t = s_->T();
  if (t.kind == jetsql::Kind::kSelect) Throw(kErrInvalidArgument, "Cannot execute a select query.");
  Connection& c = *s_->conn;
  sqlite3_stmt* s = c.Prepare(t.sql);
  StmtReset reset(s);
  s_->BindParams(s);
  int rc = sqlite3_step(s);
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) c.Fail(rc, s_->name);
  return sqlite3_changes64(c.db);
}

std::string QueryDef::TranslatedSql() const {
  const jetsql::Translation& t = s_->T();
  if (t.kind != jetsql::Kind::kSelect) return t.sql;
  return "SELECT " + t.select_list + " FROM " + t.from + (t.where.empty() ? "" : " WHERE " + t.where) +
         " ORDER BY " + jetsql::EffectiveOrder(t, s_->PkLookup());
}

}  // namespace dao
