// A dynaset recordset with keyset semantics: opening (or Requery) fixes the
// set of rows and their order; reading a row gives its current values, so a
// row changed during the walk stays in the set until the next requery and is
// visited once.  Rows deleted through this recordset are skipped; reading
// the current row when another program has deleted it raises 3167, while a
// block read passes over such rows.  A row the table no longer yields
// because a page of it is damaged raises 3049 (the table's structure is
// checked whenever a row of the set has gone missing).
//
// Edit / SetField / Update change the base-table row that each column came
// from (also through a join); AddNew / SetField / Update insert into the
// base table of a single-table recordset.  Update makes no conflict check:
// the last writer wins.
//
// Ownership: a Recordset owns its keyset and shares the connection and the
// query's parameters.  Movable, not copyable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dao/binding.h"
#include "dao/variant.h"

namespace dao {

struct QueryState;
struct RecordsetImpl;

class Recordset {
 public:
  explicit Recordset(std::shared_ptr<QueryState> query);
  Recordset(Recordset&&) noexcept;
  Recordset& operator=(Recordset&&) noexcept;
  ~Recordset();

  // Re-runs the query with the query's current parameter values and moves
  // to the first row.  Cancels a pending Edit or AddNew.  When the query
  // fails, the set is left empty (BOF and EOF) and the error is thrown.
  void Requery();

  bool IsEOF() const;
  bool IsBOF() const;
  // Rows in the set, not counting those deleted through this recordset.
  int64_t RecordCount() const;

  // 3021 when there is no row to move to (empty set, or already at EOF for
  // forward moves / at BOF for backward moves).  Move(n) goes n rows from
  // the current one and stops at BOF or EOF.
  void MoveFirst();
  void MoveLast();
  void MoveNext();
  void MovePrevious();
  void Move(int64_t rows);

  std::vector<std::string> ColumnNames() const;

  // Reads the current row into record (record_size bytes) without moving;
  // 3021 without a current row.  3265 for a binding whose column the
  // recordset lacks; 3001 for a binding that does not fit the record.
  void ReadRow(void* record, size_t record_size, std::span<const Binding> bindings);
  // Reads up to max_rows rows from the current one into consecutive records
  // and moves past them; returns the number read (0 at EOF).  Rows deleted
  // meanwhile (by this recordset or another program) are passed over and
  // not counted.
  size_t GetRows(void* records, size_t record_size, size_t max_rows,
                 std::span<const Binding> bindings);
  Variant GetField(std::string_view column);

  void Edit();     // 3021 without a current row
  void AddNew();   // 3027 when the recordset has no single base table
  // Sets a column of the row being edited or added (3020 outside Edit/AddNew,
  // 3265 for an unknown column, 3027 for a computed column).
  void SetField(std::string_view column, const Variant& value);
  // Writes the pending changes; the current row stays current.  An added
  // row joins the end of the set.
  void Update();
  // Like Update, but only when the base row's column still holds expected;
  // returns false (and writes nothing) when it does not.  Serves to claim a
  // row that other programs may change concurrently.
  bool UpdateIf(std::string_view column, const Variant& expected);
  void CancelUpdate();
  // Deletes the current row from its base table (single-table recordsets).
  void Delete();

 private:
  std::unique_ptr<RecordsetImpl> r_;
};

}  // namespace dao
