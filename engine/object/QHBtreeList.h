// Headers of sorted lists, B-trees, indexes and query result sets.
//
//   TQHSortableList (3): no section of its own (field 3 stays empty)
//   TQHBtreeList (4):    RootPg u32 (FFFFFFFF: no tree), CountUnused i32 (0),
//                        Balance i32 (50), AllowDuplicates u8 (0)
//   TQHIndex (5):        no section of its own
//   TQHResultSet (6):    OrderBy text (empty)
#pragma once

#include <cstdint>
#include <string>

#include "object/QHPageList.h"

namespace qdf {

class TQHSortableList : public TQHItemList {
  QDF_CLASS_INFO(TQHSortableList)

 public:
  using TQHItemList::TQHItemList;
};

class TQHBtreeList : public TQHSortableList {
  QDF_CLASS_INFO(TQHBtreeList)

 public:
  static constexpr int32_t kDefaultBalance = 50;

  using TQHSortableList::TQHSortableList;
  void ReadHeader(const uint8_t* item) override;
  void WriteHeader(TFieldCursor& body) override;

  uint32_t RootPg() const { return root_pg_; }
  void SetRootPg(uint32_t v) {
    root_pg_ = v;
    Touch();
  }
  // Sum of the free bytes of every page of the tree.
  int32_t CountUnused() const { return count_unused_; }
  void SetCountUnused(int32_t v) {
    count_unused_ = v;
    Touch();
  }
  // How a full page is split.
  int32_t Balance() const { return balance_; }
  void SetBalance(int32_t v) {
    balance_ = v;
    Touch();
  }
  bool AllowDuplicates() const { return allow_duplicates_; }
  void SetAllowDuplicates(bool v) {
    allow_duplicates_ = v;
    Touch();
  }

 private:
  uint32_t root_pg_ = 0xFFFFFFFFu;
  int32_t count_unused_ = 0;
  int32_t balance_ = kDefaultBalance;
  bool allow_duplicates_ = false;
};

class TQHIndex : public TQHBtreeList {
  QDF_CLASS_INFO(TQHIndex)

 public:
  using TQHBtreeList::TQHBtreeList;
};

class TQHResultSet : public TQHIndex {
  QDF_CLASS_INFO(TQHResultSet)

 public:
  using TQHIndex::TQHIndex;
  void ReadHeader(const uint8_t* item) override;
  void WriteHeader(TFieldCursor& body) override;

  // Order of the result set as text ("a, DESC b"); the result set parses it.
  const std::string& OrderBy() const { return order_by_; }
  void SetOrderBy(const std::string& v);

 private:
  std::string order_by_;
};

}  // namespace qdf
