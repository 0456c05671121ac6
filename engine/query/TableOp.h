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
// Index-only walks: when the chosen index holds every field the remaining
// filter reads, the filter is tested on an image of the record built from
// the key (TQdfTable::SetCursorToImage) and only the records that pass are
// read; when the caller also declared that it reads nothing else
// (SetReads), the rows are answered from the keys alone.
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
#include <utility>
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
// The caller does not rely on the key order of an index walk: the records of
// a key range are visited in page order (their addresses collected from the
// keys and sorted), or, when the B-tree estimates that the range covers most
// of the table, the table is read in physical order instead.
inline constexpr uint8_t kOpAnyOrder = 0x80;
// Physical order with the index choice: what applications use.
inline constexpr uint8_t kOpDefault = kOpFromEnd | kOpPhysical;
// Share of an index's keys above which a range walk that must read records
// reads the whole table in physical order instead (kOpAnyOrder).
inline constexpr double kScanShare = 0.5;

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

  // Declares, before the first First, that the caller reads only `fields`
  // (fields of the table's record class) of each row: a walk through an
  // index that holds them and the filter's fields shows the rows as images
  // built from the keys, without reading the records.
  void SetReads(std::vector<TQdfField*> fields);

  // After First: the index walked (nullptr: a table scan), whether it is a
  // direct lookup by object ID, and the options in force.
  TQdfIndex* ChosenIndex() const { return choice_.index; }
  bool ObjectIDLookup() const { return choice_.object_id; }
  uint8_t Options() const { return options_; }
  // Entries (keys or records) examined since First.
  int64_t Visited() const { return visited_; }
  // After First: the rows come from the keys alone (no record is read), or
  // the range's records were collected and come in page order.
  bool AnswersFromKeys() const { return answer_on_keys_; }
  bool InPageOrder() const { return collect_; }

 protected:
  // The index choice, once.
  void Prepare();
  // Moves to the next entry of a table scan; false at the end.
  bool StepTable();
  bool NextInIndex();
  bool NextInTable();
  // Index walks: the next key of the range that passes the index filter and,
  // when the keys hold its fields, the remaining filter (tested on the image,
  // on which the table's cursor then stands). False when the walk ended.
  bool NextKey(TItemAdr* record);
  // The table's cursor on an image of `record` built from `key`.
  void ShowImage(const uint8_t* key, const TItemAdr& record);
  // Plans the index-only use of the chosen index (at Prepare).
  void PlanKeyImages();
  // kOpAnyOrder: reads the whole table instead when the range covers most of
  // the index (at Prepare); the index filter joins the remaining filter.
  void ScanInsteadWhenWide();
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
  bool any_order_ = false;
  // Declared reads (SetReads).
  bool reads_known_ = false;
  std::vector<TQdfField*> reads_;
  // Index-only plan: the remaining filter reads only key fields; the caller
  // too. Image: (record field index, key structure field index) by record
  // field index, the record's field count, and the buffer.
  bool filter_on_keys_ = false;
  bool answer_on_keys_ = false;
  std::vector<std::pair<int, int>> image_map_;
  int image_fields_ = 0;
  std::vector<uint8_t> image_;
  TItemAdr image_class_ = kNullAdr;
  // Where the walk left the table's cursor: when the caller moved it since,
  // the index follows it (TQdfIndex::Next) before it steps.
  TItemAdr walk_adr_ = kNullAdr;
  // kOpAnyOrder through an index: the records of the range, sorted by address.
  bool collect_ = false;
  TaItemAdrList sorted_rows_;
  int sorted_pos_ = 0;
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
                    const TRecordVisitor& visitor, const TRecordVisitor& deferred,
                    const TVisitNeeds& needs);
int64_t DeleteWhereOf(TQdfTable& table, std::unique_ptr<TvNode> filter, TQdfItemClass* cls);

}  // namespace qdf
