#include "dao/recordset.h"

#include <strings.h>

#include <climits>
#include <cmath>
#include <cstring>

#include "connection.h"
#include "rowcodec.h"

namespace dao {

namespace {
constexpr int64_t kNoRow = INT64_MIN;  // rowid of a base table absent from a row (outer join)

bool IEq(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string QuoteIdent(std::string_view s) {
  std::string out = "\"";
  for (char ch : s) {
    if (ch == '"') out += '"';
    out += ch;
  }
  return out + "\"";
}
}  // namespace

// Holds one read transaction over a block read, so that its rows come from
// one snapshot and the read locks are taken once per block instead of once
// per row.  It ends with the call: nothing stays open between calls.
class BlockReadTxn {
 public:
  explicit BlockReadTxn(sqlite3* db) : db_(db), own_(sqlite3_get_autocommit(db) != 0) {
    if (own_ && sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) own_ = false;
  }
  BlockReadTxn(const BlockReadTxn&) = delete;
  BlockReadTxn& operator=(const BlockReadTxn&) = delete;
  ~BlockReadTxn() {
    if (own_ && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }

 private:
  sqlite3* db_;
  bool own_;
};

struct RecordsetImpl {
  std::shared_ptr<QueryState> q;
  Connection* conn = nullptr;
  std::string keyset_sql, fetch_sql;
  std::vector<std::string> tables;  // real table names, FROM order
  struct Col {
    std::string name;
    int table = -1;      // index into tables; -1 = computed, read-only
    std::string origin;  // column of the base table
  };
  std::vector<Col> cols;
  // Statements of the connection's cache (they live as long as it does).
  sqlite3_stmt* keyset_stmt = nullptr;
  sqlite3_stmt* fetch_stmt = nullptr;

  std::vector<int64_t> keys;     // tables.size() rowids per row
  std::vector<uint8_t> deleted;  // per row: deleted through this recordset
  int64_t live = 0;
  int64_t pos = 0;
  bool bof = true, eof = true;

  enum class Mode { kNone, kEdit, kAdd } mode = Mode::kNone;
  struct Change {
    int table;
    std::string column;
    Variant value;
  };
  std::vector<Change> pending;

  size_t NTables() const { return tables.size(); }
  int64_t Rows() const { return static_cast<int64_t>(deleted.size()); }
  int64_t Key(int64_t row, size_t t) const { return keys[static_cast<size_t>(row) * NTables() + t]; }

  void Open() {
    conn = q->conn.get();
    const jetsql::Translation& t = q->T();
    if (t.kind != jetsql::Kind::kSelect) Throw(kErrInvalidArgument, "Cannot open an action query as a recordset.");
    try {
      keyset_sql = jetsql::KeysetSql(t, q->PkLookup());
      fetch_sql = jetsql::FetchSql(t);
    } catch (const jetsql::TranslateError& e) {
      Throw(kErrReserved, "Query '" + q->name + "' cannot be opened: " + e.what());
    }
    for (const jetsql::TableRef& r : t.tables) tables.push_back(conn->Table(r.name).name);
    sqlite3_stmt* s = fetch_stmt = conn->Prepare(fetch_sql);
    const int n = sqlite3_column_count(s);
    for (int i = 0; i < n; ++i) {
      Col c;
      c.name = sqlite3_column_name(s, i);
      const char* tn = sqlite3_column_table_name(s, i);
      const char* on = sqlite3_column_origin_name(s, i);
      if (tn && on) {
        for (size_t k = 0; k < tables.size(); ++k)
          if (IEq(tables[k], tn)) c.table = static_cast<int>(k);
        c.origin = on;
      }
      cols.push_back(std::move(c));
    }
    keyset_stmt = conn->Prepare(keyset_sql);
    Requery();
  }

  // The new keyset replaces the old one only when the whole query has run;
  // a query that fails leaves the set empty (BOF and EOF) and throws.
  void Requery() {
    CancelMode();
    std::vector<int64_t> fresh;
    size_t rows = 0;
    try {
      sqlite3_stmt* s = keyset_stmt;
      StmtReset reset(s);
      q->BindParams(s);
      const size_t nt = NTables();
      int rc;
      while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        for (size_t i = 0; i < nt; ++i)
          fresh.push_back(sqlite3_column_type(s, static_cast<int>(i)) == SQLITE_NULL
                              ? kNoRow
                              : sqlite3_column_int64(s, static_cast<int>(i)));
        ++rows;
      }
      if (rc != SQLITE_DONE) conn->Fail(rc, q->name);
    } catch (...) {
      SetKeys({}, 0);
      throw;
    }
    SetKeys(std::move(fresh), rows);
  }

  void SetKeys(std::vector<int64_t>&& fresh, size_t rows) {
    keys = std::move(fresh);
    deleted.assign(rows, 0);
    live = Rows();
    pos = 0;
    bof = eof = live == 0;
  }

  bool HasCurrent() const { return !bof && !eof; }
  void RequireCurrent() const {
    if (!HasCurrent()) Throw(kErrNoCurrentRecord, "No current record.");
  }

  int64_t NextLive(int64_t from) const {  // first live row >= from, or Rows()
    while (from < Rows() && deleted[static_cast<size_t>(from)]) ++from;
    return from;
  }
  int64_t PrevLive(int64_t from) const {  // last live row <= from, or -1
    while (from >= 0 && deleted[static_cast<size_t>(from)]) --from;
    return from;
  }

  void CancelMode() {
    mode = Mode::kNone;
    pending.clear();
  }

  // Steps the fetch statement onto the row; false when the row is deleted
  // (through this recordset or by another program).  The caller holds the
  // reset guard.
  bool TryFetch(sqlite3_stmt* s, int64_t row) {
    if (deleted[static_cast<size_t>(row)]) return false;
    q->BindParams(s);
    const int p = static_cast<int>(q->T().params.size());
    for (size_t t = 0; t < NTables(); ++t) {
      int64_t k = Key(row, t);
      if (k == kNoRow) sqlite3_bind_null(s, p + static_cast<int>(t) + 1);
      else sqlite3_bind_int64(s, p + static_cast<int>(t) + 1, k);
    }
    int rc = sqlite3_step(s);
    if (rc == SQLITE_DONE) return false;
    if (rc != SQLITE_ROW) conn->Fail(rc, q->name);
    return true;
  }
  void Fetch(sqlite3_stmt* s, int64_t row) {
    if (!TryFetch(s, row)) RowGone(row);
  }
  // A row of the set that cannot be read: deleted through this recordset or
  // by another program (3167), or lost to a damaged page (3049).
  [[noreturn]] void RowGone(int64_t row) {
    if (!deleted[static_cast<size_t>(row)]) conn->ThrowIfDamaged(tables);
    Throw(kErrRecordDeleted, "Record is deleted.");
  }

  std::vector<int> Resolve(std::span<const Binding> b, size_t record_size) const {
    std::vector<int> idx;
    idx.reserve(b.size());
    for (const Binding& x : b) {
      if (!BindingFits(x, record_size)) Throw(kErrInvalidArgument, std::string("Binding of ") + x.column + " does not fit the record.");
      int found = -1;
      for (size_t i = 0; i < cols.size() && found < 0; ++i)
        if (IEq(cols[i].name, x.column)) found = static_cast<int>(i);
      if (found < 0) Throw(kErrItemNotFound, std::string("Item not found in this collection (") + x.column + ").");
      idx.push_back(found);
    }
    return idx;
  }

  // Reads the row into rec; false (rec untouched) when the row is deleted.
  bool TryReadInto(int64_t row, uint8_t* rec, std::span<const Binding> b, const std::vector<int>& idx) {
    sqlite3_stmt* s = fetch_stmt;
    StmtReset reset(s);
    if (!TryFetch(s, row)) return false;
    for (size_t i = 0; i < b.size(); ++i) StoreColumn(s, idx[i], b[i], rec);
    return true;
  }

  // Where SetField writes a column: (table index, base column).
  std::pair<int, std::string> Target(std::string_view column) {
    for (const Col& c : cols) {
      if (!IEq(c.name, column)) continue;
      if (c.table < 0) Throw(kErrReadOnly, "Field '" + std::string(column) + "' cannot be updated.");
      return {c.table, c.origin};
    }
    size_t dot = column.find('.');
    if (dot != std::string_view::npos) {
      std::string_view tn = column.substr(0, dot), cn = column.substr(dot + 1);
      const jetsql::Translation& t = q->T();
      for (size_t k = 0; k < t.tables.size(); ++k) {
        if (!IEq(t.tables[k].alias, tn) && !IEq(t.tables[k].name, tn)) continue;
        std::string real = conn->Table(tables[k]).Column(cn);
        if (!real.empty()) return {static_cast<int>(k), real};
      }
    } else {
      for (size_t k = 0; k < tables.size(); ++k) {
        std::string real = conn->Table(tables[k]).Column(column);
        if (!real.empty()) return {static_cast<int>(k), real};
      }
    }
    Throw(kErrItemNotFound, "Item not found in this collection (" + std::string(column) + ").");
  }

  void Step(sqlite3_stmt* s) {
    int rc = sqlite3_step(s);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) conn->Fail(rc, q->name);
  }

  // Writes the pending changes of an Edit; with a condition, only when the
  // condition column still holds the value.  Returns false when a row was
  // not changed (condition not met, or the row is gone).
  bool WriteEdit(const std::pair<int, std::string>* cond, const Variant* expected) {
    const int64_t row = pos;
    std::vector<int> touched;
    for (const Change& c : pending) {
      bool seen = false;
      for (int t : touched) seen |= t == c.table;
      if (!seen) touched.push_back(c.table);
    }
    if (cond) {
      bool seen = false;
      for (int t : touched) seen |= t == cond->first;
      if (!seen) Throw(kErrInvalidArgument, "The condition column must belong to a table being changed.");
    }
    const bool txn = touched.size() > 1;
    if (txn) conn->Exec("BEGIN IMMEDIATE");
    bool ok = true;
    try {
      for (int t : touched) {
        const int64_t key = Key(row, static_cast<size_t>(t));
        if (key == kNoRow) Throw(kErrReadOnly, "The row has no record in table " + tables[static_cast<size_t>(t)] + ".");
        std::string sql = "UPDATE " + QuoteIdent(tables[static_cast<size_t>(t)]) + " SET ";
        int n = 0;
        for (const Change& c : pending) {
          if (c.table != t) continue;
          sql += (n ? ", " : "") + QuoteIdent(c.column) + " = ?" + std::to_string(n + 1);
          ++n;
        }
        sql += " WHERE rowid = ?" + std::to_string(n + 1);
        const bool conditioned = cond && cond->first == t;
        if (conditioned) sql += " AND " + QuoteIdent(cond->second) + " IS ?" + std::to_string(n + 2);
        sqlite3_stmt* s = conn->Prepare(sql);
        StmtReset reset(s);
        int i = 1;
        int64_t new_rowid = key;
        const std::string& alias = conn->Table(tables[static_cast<size_t>(t)]).rowid_alias;
        for (const Change& c : pending) {
          if (c.table != t) continue;
          BindVariant(*conn, s, i++, c.value);
          if (!alias.empty() && IEq(alias, c.column)) new_rowid = c.value.AsInt();
        }
        sqlite3_bind_int64(s, i++, key);
        if (conditioned) BindVariant(*conn, s, i, *expected);
        Step(s);
        if (sqlite3_changes(conn->db) == 0) {
          if (!conditioned) RowGone(row);
          ok = false;
          break;
        }
        keys[static_cast<size_t>(row) * NTables() + static_cast<size_t>(t)] = new_rowid;
      }
      if (txn) conn->Exec(ok ? "COMMIT" : "ROLLBACK");
    } catch (...) {
      if (txn) sqlite3_exec(conn->db, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
    return ok;
  }

  void WriteAdd() {
    const std::string& table = tables[0];
    std::string names, marks;
    for (size_t i = 0; i < pending.size(); ++i) {
      names += (i ? ", " : "") + QuoteIdent(pending[i].column);
      marks += (i ? ", ?" : "?") + std::to_string(i + 1);
    }
    std::string sql = "INSERT INTO " + QuoteIdent(table) +
                      (pending.empty() ? " DEFAULT VALUES" : " (" + names + ") VALUES (" + marks + ")");
    sqlite3_stmt* s = conn->Prepare(sql);
    StmtReset reset(s);
    for (size_t i = 0; i < pending.size(); ++i) BindVariant(*conn, s, static_cast<int>(i) + 1, pending[i].value);
    Step(s);
    keys.push_back(sqlite3_last_insert_rowid(conn->db));
    deleted.push_back(0);
    ++live;
  }
};

Recordset::Recordset(std::shared_ptr<QueryState> query) : r_(std::make_unique<RecordsetImpl>()) {
  r_->q = std::move(query);
  r_->Open();
}
Recordset::Recordset(Recordset&&) noexcept = default;
Recordset& Recordset::operator=(Recordset&&) noexcept = default;
Recordset::~Recordset() = default;

void Recordset::Requery() { r_->Requery(); }
bool Recordset::IsEOF() const { return r_->eof; }
bool Recordset::IsBOF() const { return r_->bof; }
int64_t Recordset::RecordCount() const { return r_->live; }

void Recordset::MoveFirst() {
  r_->CancelMode();
  if (r_->live == 0) Throw(kErrNoCurrentRecord, "No current record.");
  r_->pos = r_->NextLive(0);
  r_->bof = r_->eof = false;
}

void Recordset::MoveLast() {
  r_->CancelMode();
  if (r_->live == 0) Throw(kErrNoCurrentRecord, "No current record.");
  r_->pos = r_->PrevLive(r_->Rows() - 1);
  r_->bof = r_->eof = false;
}

void Recordset::MoveNext() {
  if (r_->eof) Throw(kErrNoCurrentRecord, "No current record.");
  r_->CancelMode();
  int64_t next = r_->NextLive(r_->bof ? 0 : r_->pos + 1);
  r_->bof = false;
  if (next >= r_->Rows()) {
    r_->eof = true;
    r_->pos = r_->Rows();
  } else {
    r_->pos = next;
  }
}

void Recordset::MovePrevious() {
  if (r_->bof) Throw(kErrNoCurrentRecord, "No current record.");
  r_->CancelMode();
  int64_t prev = r_->PrevLive(r_->eof ? r_->Rows() - 1 : r_->pos - 1);
  r_->eof = false;
  if (prev < 0) {
    r_->bof = true;
    r_->pos = -1;
  } else {
    r_->pos = prev;
  }
}

void Recordset::Move(int64_t rows) {
  if (rows == 0) {
    r_->RequireCurrent();
    r_->CancelMode();
    return;
  }
  if ((rows > 0 && r_->eof) || (rows < 0 && r_->bof)) Throw(kErrNoCurrentRecord, "No current record.");
  for (int64_t i = 0; i < rows && !r_->eof; ++i) MoveNext();
  for (int64_t i = 0; i > rows && !r_->bof; --i) MovePrevious();
}

std::vector<std::string> Recordset::ColumnNames() const {
  std::vector<std::string> names;
  for (const auto& c : r_->cols) names.push_back(c.name);
  return names;
}

void Recordset::ReadRow(void* record, size_t record_size, std::span<const Binding> bindings) {
  r_->RequireCurrent();
  std::vector<int> idx = r_->Resolve(bindings, record_size);
  if (!r_->TryReadInto(r_->pos, static_cast<uint8_t*>(record), bindings, idx)) r_->RowGone(r_->pos);
}

size_t Recordset::GetRows(void* records, size_t record_size, size_t max_rows, std::span<const Binding> bindings) {
  if (r_->eof || max_rows == 0) return 0;
  std::vector<int> idx = r_->Resolve(bindings, record_size);
  if (r_->bof) MoveNext();
  BlockReadTxn txn(r_->conn->db);
  size_t n = 0;
  auto* out = static_cast<uint8_t*>(records);
  bool checked = false;
  while (n < max_rows && !r_->eof) {
    // A row deleted since the keyset was taken is passed over: the block
    // holds the rows of the set that still exist, packed.  A row missing
    // for another reason (a damaged page) is not passed over in silence.
    if (r_->TryReadInto(r_->pos, out + n * record_size, bindings, idx)) {
      ++n;
    } else if (!checked && !r_->deleted[static_cast<size_t>(r_->pos)]) {
      r_->conn->ThrowIfDamaged(r_->tables);
      checked = true;
    }
    MoveNext();
  }
  return n;
}

Variant Recordset::GetField(std::string_view column) {
  r_->RequireCurrent();
  for (size_t i = 0; i < r_->cols.size(); ++i) {
    if (!IEq(r_->cols[i].name, column)) continue;
    sqlite3_stmt* s = r_->fetch_stmt;
    StmtReset reset(s);
    r_->Fetch(s, r_->pos);
    return ColumnVariant(s, static_cast<int>(i));
  }
  Throw(kErrItemNotFound, "Item not found in this collection (" + std::string(column) + ").");
}

void Recordset::Edit() {
  r_->RequireCurrent();
  if (r_->deleted[static_cast<size_t>(r_->pos)]) Throw(kErrRecordDeleted, "Record is deleted.");
  r_->pending.clear();
  r_->mode = RecordsetImpl::Mode::kEdit;
}

void Recordset::AddNew() {
  if (r_->NTables() != 1) Throw(kErrReadOnly, "Cannot add a record to a recordset over more than one table.");
  r_->pending.clear();
  r_->mode = RecordsetImpl::Mode::kAdd;
}

void Recordset::SetField(std::string_view column, const Variant& value) {
  if (r_->mode == RecordsetImpl::Mode::kNone) Throw(kErrNotInUpdate, "Update or CancelUpdate without AddNew or Edit.");
  auto [table, col] = r_->Target(column);
  for (auto& c : r_->pending) {
    if (c.table == table && IEq(c.column, col)) {
      c.value = value;
      return;
    }
  }
  r_->pending.push_back({table, col, value});
}

void Recordset::Update() {
  switch (r_->mode) {
    case RecordsetImpl::Mode::kNone: Throw(kErrNotInUpdate, "Update or CancelUpdate without AddNew or Edit.");
    case RecordsetImpl::Mode::kEdit:
      if (!r_->pending.empty()) r_->WriteEdit(nullptr, nullptr);
      break;
    case RecordsetImpl::Mode::kAdd: r_->WriteAdd(); break;
  }
  r_->CancelMode();
}

bool Recordset::UpdateIf(std::string_view column, const Variant& expected) {
  if (r_->mode != RecordsetImpl::Mode::kEdit) Throw(kErrNotInUpdate, "Update or CancelUpdate without AddNew or Edit.");
  auto cond = r_->Target(column);
  bool ok = r_->WriteEdit(&cond, &expected);
  r_->CancelMode();
  return ok;
}

void Recordset::CancelUpdate() { r_->CancelMode(); }

void Recordset::Delete() {
  r_->RequireCurrent();
  if (r_->NTables() != 1) Throw(kErrReadOnly, "Cannot delete from a recordset over more than one table.");
  const size_t row = static_cast<size_t>(r_->pos);
  if (r_->deleted[row]) Throw(kErrRecordDeleted, "Record is deleted.");
  r_->CancelMode();
  sqlite3_stmt* s = r_->conn->Prepare("DELETE FROM " + QuoteIdent(r_->tables[0]) + " WHERE rowid = ?1");
  StmtReset reset(s);
  sqlite3_bind_int64(s, 1, r_->Key(r_->pos, 0));
  r_->Step(s);
  r_->deleted[row] = 1;
  --r_->live;
}

}  // namespace dao
