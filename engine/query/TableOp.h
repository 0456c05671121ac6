// Table operations: cursors over the records of a table.
//
// First prepares an operation; each Next moves the table's cursor to the
// next row and returns true, or returns false at the end. After a true Next
// the table's cursor stands on the row, so the fields of the record class
// read it, and Edit/Post or Delete act on it.
//
// TQdfFilteredTableOp runs a filter. With options 3 it first asks the index
// choice (query/IndexFilter.h) for a usable index: then it walks the index's
// key range, testing the index filter on each key before any record is read
// and the remaining filter on the record the key names; otherwise it visits
// every page of the table in ascending page order (physical order) and tests
// the filter on each record. The index choice never changes the rows
// returned, only their order and the work done.
//
// TQdfUpdateableFilterOp lets the caller change or delete the current row:
// a table scan finds the following row before it hands over the current one
// (record addresses of a table never change), and a scan through an index
// collects every matching address at First, so that a changed key neither
// repeats nor hides a row.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/ItemAdr.h"
#include "base/Variant.h"
#include "query/Column.h"
#include "query/IndexFilter.h"
#include "query/ItemAdrList.h"
#include "table/Table.h"

namespace qdf {

class TQdfField;
class TQdfIndex;
class TQdfItemClass;
class TQdfTable;
class TvNode;

// Option bits of a filtered operation.
inline constexpr uint8_t kOpFromEnd = 0x01;         // start at First/Last, not the current row
inline constexpr uint8_t kOpPhysical = 0x02;        // with kOpFromEnd: pages in physical order
inline constexpr uint8_t kOpBackward = 0x04;        // scan backward
inline constexpr uint8_t kOpExamineCurrent = 0x08;  // from the current row: test it first
inline constexpr uint8_t kOpStopAfterFirst = 0x10;  // done after the first row that passes
inline constexpr uint8_t kOpStopAtFail = 0x20;      // done at the first failure after a pass
inline constexpr uint8_t kOpPassedClear = 0x40;     // start with the passed-before flag clear
// Physical order with the index choice: what applications use.
inline constexpr uint8_t kOpDefault = kOpFromEnd | kOpPhysical;

// "a,DESC b": the key fields of `index` in key order, a field preceded by
// "DESC " when it runs descending (ascending when `reversed`). The record
// reference that ends the keys of a non-unique index is left out.
std::string OrderTextOf(const TQdfIndex& index, bool reversed);

class TQdfCustomTableOp {
 public:
  explicit TQdfCustomTableOp(std::unique_ptr<TQdfColumnSelection> columns);
  virtual ~TQdfCustomTableOp();
  TQdfCustomTableOp(const TQdfCustomTableOp&) = delete;
  TQdfCustomTableOp& operator=(const TQdfCustomTableOp&) = delete;

  // The key order the rows follow ("a,DESC b"); empty in physical order.
  virtual std::string OrderText() const;
  // Releases scan resources; First starts again.
  virtual void Close() = 0;
  virtual void First() = 0;
  // The next row, or false at the end.
  virtual bool Next() = 0;

  TQdfColumnSelection& Columns() const { return *columns_; }

 protected:
  std::unique_ptr<TQdfColumnSelection> columns_;
  TQdfIndex* order_source_ = nullptr;  // whose order the rows follow
  bool order_reversed_ = false;
};

// Every record of the table, through its navigation (the current index's
// order when it has one).
class TQdfBasicTableOp : public TQdfCustomTableOp {
 public:
  // `cls`: the record class the columns are compiled for (the table's own
  // when nullptr); `columns`: column texts (see query/Column.h).
  TQdfBasicTableOp(TQdfTable& table, TQdfItemClass* cls,
                   const std::vector<std::string>& columns = {});

  void Close() override {}
  void First() override;
  bool Next() override;

  // Appends one record to `dest` per remaining row (starting with First
  // when it has not run): column i goes to `fields[i]`, or, without fields,
  // to field i of `dest_class` (dest's record class when nullptr). Raises
  // EQdfException "Source and Destination Columns do not match" before
  // copying anything when the counts differ. A destination ThisID field
  // keeps the ID its insert drew. `dest` must be another table object than
  // the one scanned. Returns the number of records appended.
  int64_t InsertInto(TQdfTable& dest, const std::vector<TQdfField*>& fields = {},
                     TQdfItemClass* dest_class = nullptr);

  TQdfTable& Table() const { return table_; }
  TQdfItemClass* ItemClass() const { return item_class_; }

 protected:
  TQdfTable& table_;
  TQdfItemClass* item_class_;
  bool fresh_ = false;
  bool first_pending_ = true;
};

class TQdfFilteredTableOp : public TQdfBasicTableOp {
 public:
  // Owns `filter` (nullptr: every record). `index` names the only index
  // that may be used; `cls` restricts the rows to records of that class or
  // derived ones (the table's class when nullptr).
  TQdfFilteredTableOp(TQdfTable& table, uint8_t options, TQdfIndex* index, TQdfItemClass* cls,
                      std::unique_ptr<TvNode> filter, const std::vector<std::string>& columns = {});
  ~TQdfFilteredTableOp() override;

  std::string OrderText() const override;
  void Close() override;
  void First() override;
  bool Next() override;

  // After First: the index walked (nullptr: a table scan), whether it is a
  // direct lookup by object ID, and the options in force.
  TQdfIndex* ChosenIndex() const { return choice_.index; }
  bool ObjectIDLookup() const { return choice_.object_id; }
  uint8_t Options() const { return options_; }
  // Entries (keys or records) examined since First.
  int64_t Visited() const { return visited_; }

 protected:
  // The index choice, once.
  void Prepare();
  // Moves to the next entry of a table scan; false at the end.
  bool StepTable();
  bool NextInIndex();
  bool NextInTable();
  // A row passed: the bookkeeping of the options.
  bool Pass();
  // The scan ended.
  bool End();

  uint8_t options_;
  TQdfIndex* named_index_;
  std::unique_ptr<TvNode> filter_;  // until prepared
  TIndexChoice choice_;             // index, index filter, remaining filter
  bool prepared_ = false;
  bool check_class_ = false;
  // Object-ID lookup: the record found at First (null: none).
  TItemAdr result_adr_ = kNullAdr;
  // Table scan position.
  TItemAdr current_ = kNullAdr;
  int slot_count_ = 0;
  uint8_t* page_buf_ = nullptr;  // physical order: the current page
  uint32_t page_stamp_ = 0;      // ItemLayoutStamp() when page_buf_ was taken
  bool physical_ = false;
  TaItemAdrList pages_;  // physical order: the table's pages, ascending
  int page_pos_ = 0;
  bool backward_ = false;
  bool done_ = true;
  bool passed_before_ = false;
  bool examine_current_ = false;
  int64_t visited_ = 0;
};

class TQdfUpdateableFilterOp : public TQdfFilteredTableOp {
 public:
  using TQdfFilteredTableOp::TQdfFilteredTableOp;

  void Close() override;
  void First() override;
  bool Next() override;

 private:
  TItemAdr next_adr_ = kNullAdr;  // the row Next hands over; null: none
  // Through an index: every matching address, collected at First.
  bool collected_ = false;
  TaItemAdrList rows_;
  int row_pos_ = 0;
};

// TQdfTable::ForEachMatch and TQdfTable::DeleteWhere, carried out through a
// filtered table operation (see table/Table.h for their contracts).
void ForEachMatchOf(TQdfTable& table, std::unique_ptr<TvNode> filter, uint8_t options,
                    const TRecordVisitor& visitor, const TRecordVisitor& deferred);
int64_t DeleteWhereOf(TQdfTable& table, std::unique_ptr<TvNode> filter, TQdfItemClass* cls);

}  // namespace qdf
