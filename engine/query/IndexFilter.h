// Index filters and the index choice.
//
// An index filter is a conjunction of field comparisons re-bound to the key
// fields of one index. The index takes its search key from the leading ones
// (TQdfIndex::ApplyFilter); while the index is walked, the whole filter is
// evaluated with the key fields reading the current key, before any record
// is loaded.
//
// The index choice splits a filter into an index filter on the best usable
// index and the remaining filter, which is tested on the full record of
// every key that passes. It never changes a result: it only uses comparisons
// whose relation agrees with the key order of the index, so that walking the
// key range from the positioned key until the index filter first fails, and
// testing the remaining filter per record, accepts exactly the records a
// full scan with the same filter accepts.
#pragma once

#include <cstdint>
#include <memory>

#include "query/FieldExpr.h"
#include "script/NodesLogic.h"

namespace qdf {

class TQdfField;
class TQdfIndex;
class TQdfItemClass;
class TQdfTable;

class TbIndexFilter : public TbAnd {
  QDF_NODE_CLASS(TbIndexFilter)
 public:
  // A filter whose single operand is `comparison`, its field operand
  // re-bound to `key_field`. Raises EQdfException "Invalid Filter Type" when
  // the comparison's kind does not fit the key field's type.
  static std::unique_ptr<TbIndexFilter> Create(std::unique_ptr<TfComp> comparison,
                                               TQdfField* key_field);
  // Appends a comparison re-bound to the key field that follows the last
  // key comparison; it supplies that field's value to the search key.
  void Add(std::unique_ptr<TfComp> comparison, TQdfField* key_field);
  // Appends a comparison re-bound to `key_field` that only tests keys while
  // the index is walked (the upper bound of a lower-bound range); it adds
  // nothing to the search key, so a restarted walk finds the same start.
  void AddCheck(std::unique_ptr<TfComp> comparison, TQdfField* key_field);

  // The comparison at `position`, or nullptr when out of range.
  TfComp* Comparison(int position) const;
  int Count() const { return static_cast<int>(args_.size()); }
  // The leading comparisons that supply the search key, one per key field.
  int KeyCount() const { return key_count_; }

  // An index filter is never rewritten.
  std::unique_ptr<TvNode> Optimize() override { return nullptr; }

 private:
  void Append(std::unique_ptr<TfComp> comparison, TQdfField* key_field);

  int key_count_ = 0;
};

// How the chosen index is positioned and walked.
enum class TIndexRelation : uint8_t {
  kUpper = 0,  // upper bound alone: from the last key in range, backward
  kEqual = 1,  // equal keys: from the first key equal to the search key
  kLower = 2,  // lower bound (perhaps with its upper bound): forward
};

// The outcome of ChooseIndex.
struct TIndexChoice {
  // The chosen index; nullptr: no index, scan the table with `remaining`.
  TQdfIndex* index = nullptr;
  // `index` is the storage's object-ID index: the index filter's single
  // comparison names one object ID; look its record up directly.
  bool object_id = false;
  TIndexRelation relation = TIndexRelation::kEqual;
  // The mask of the comparison that bounds a range (kLower, kUpper).
  uint8_t bound_mask = 0;
  // The comparisons moved to the index (null without an index).
  std::unique_ptr<TbIndexFilter> index_filter;
  // The rest of the filter, tested on the record of every key that passes
  // the index filter; a constant true when nothing is left.
  std::unique_ptr<TvNode> remaining;
  // The index covers a base class of the operation's class: it also holds
  // keys of records of other classes, which the walk must skip (test the
  // record with the operation's class AcceptsRecord).
  bool check_class = false;

  // The walk goes from the positioned key toward smaller keys.
  bool Backward() const {
    return index != nullptr && !object_id && relation == TIndexRelation::kUpper;
  }
};

// Splits `filter` (consumed; nullptr stands for constant true) for a walk of
// `table` over records of `op_class` (the table's record class when nullptr).
// Candidates are `named` when given, else every index of the table whose
// covered class is `op_class` or one of its bases. Passes, in order, each
// only when the ones before found nothing:
//   equality: comparisons "field = value"; ThisID picks the object-ID index;
//     otherwise the candidate whose leading key fields are all given by
//     equalities, the most of them, the earliest on a tie;
//   lower bound: the first ">" / ">=" on the first key field of a candidate
//     (with its first "<" / "<=" on the same field as a check);
//   upper bound: the first "<" / "<=" likewise.
// Comparisons against null, or against a value not known before the walk,
// never bound a range, and give an equal key only as the first key field of
// an ascending one. Range passes use only indexes whose first key field is
// ascending; object IDs bound no ranges (their numeric order is not their key
// order). Comparisons whose value refers to the record are never moved.
TIndexChoice ChooseIndex(std::unique_ptr<TvNode> filter, TQdfTable& table,
                         TQdfItemClass* op_class = nullptr, TQdfIndex* named = nullptr);

// Positions the chosen index on the first key of its range in walking
// order: equal keys and a ">=" bound at the first key at or above the search
// key, ">" past it; "<=" at the last key at or below it, "<" before it. The
// bounds are evaluated again, so a restart sees their current values; the
// index's own range is cleared. The table's cursor follows the index.
// Without `move_table` the table's cursor stays where it is (a walk that
// tests keys before it reads any record).
// REQUIRES: choice.index is set and choice.object_id is not.
void PositionOnRange(TIndexChoice& choice, bool move_table = true);

// The share of the index's keys that the chosen range covers (0 to 1),
// estimated from the B-tree (TQdfBtreeList::EstimatePosition) with the
// bounds' current values. The index is left in browse mode.
// REQUIRES: as PositionOnRange.
double EstimateRangeShare(TIndexChoice& choice);

// TQdfIndex::ApplyFilter: takes the search key from the index filter
// `filter` (see table/Index.h). Raises EQdfException "Invalid Filter Type"
// for anything that is not an index filter on the index's key fields.
int ApplyIndexFilter(TQdfIndex& index, TvNode* filter);

}  // namespace qdf
