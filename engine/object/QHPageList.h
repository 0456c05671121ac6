// Headers of the list classes: page lists, item lists, data lists.
//
// Sections as stored:
//   TQHPageList (1):     FirstPg u32 (FFFFFFFF), LastPg u32 (FFFFFFFF), CountPg i32 (0)
//   TQHItemList (2):     CountIt i64 (0), UpdateCount i32 (0)
//   TQHDataListBase (3): FirstFreePg u32 (FFFFFFFF), ReuseAddresses u8 (1),
//                        heads of the free-space lists of classes 0..6, 7 x u32
//                        (all FFFFFFFF; also for a block of any other length)
//   TQHDataList (4):     address of the $SPARE list's header item (null)
#pragma once

#include <array>
#include <cstdint>

#include "object/QHPersistentObject.h"

namespace qdf {

class TQHPageList : public TQHPersistentObject {
  QDF_CLASS_INFO(TQHPageList)

 public:
  using TQHPersistentObject::TQHPersistentObject;
  void ReadHeader(const uint8_t* item) override;
  void WriteHeader(TFieldCursor& body) override;

  uint32_t FirstPg() const { return first_pg_; }
  void SetFirstPg(uint32_t v) {
    first_pg_ = v;
    Touch();
  }
  uint32_t LastPg() const { return last_pg_; }
  void SetLastPg(uint32_t v) {
    last_pg_ = v;
    Touch();
  }
  int32_t CountPg() const { return count_pg_; }
  void SetCountPg(int32_t v) {
    count_pg_ = v;
    Touch();
  }

 private:
  uint32_t first_pg_ = 0xFFFFFFFFu;
  uint32_t last_pg_ = 0xFFFFFFFFu;
  int32_t count_pg_ = 0;
};

class TQHItemList : public TQHPageList {
  QDF_CLASS_INFO(TQHItemList)

 public:
  using TQHPageList::TQHPageList;
  void ReadHeader(const uint8_t* item) override;
  void WriteHeader(TFieldCursor& body) override;

  int64_t CountIt() const { return count_it_; }
  // Every assignment also counts one update.
  void SetCountIt(int64_t v) {
    count_it_ = v;
    ++update_count_;
    Touch();
  }
  int32_t UpdateCount() const { return update_count_; }
  void SetUpdateCount(int32_t v) {
    update_count_ = v;
    Touch();
  }
  // A list's notice that one of its items changed.
  void ItemChanged() {
    ++update_count_;
    Touch();
  }

 private:
  int64_t count_it_ = 0;
  int32_t update_count_ = 0;
};

class TQHDataListBase : public TQHItemList {
  QDF_CLASS_INFO(TQHDataListBase)

 public:
  static constexpr int kFreeClasses = 7;

  using TQHItemList::TQHItemList;
  void ReadHeader(const uint8_t* item) override;
  void WriteHeader(TFieldCursor& body) override;

  uint32_t FirstFreePg() const { return first_free_pg_; }
  void SetFirstFreePg(uint32_t v) {
    first_free_pg_ = v;
    Touch();
  }
  bool ReuseAddresses() const { return reuse_addresses_; }
  void SetReuseAddresses(bool v) {
    reuse_addresses_ = v;
    Touch();
  }
  // Head of the free-space list of class k (0..6); FFFFFFFF when empty.
  uint32_t FreeHead(int k) const { return free_heads_[static_cast<size_t>(k)]; }
  // Classes outside 0..6 are ignored.
  void SetFreeHead(int k, uint32_t page);

 private:
  uint32_t first_free_pg_ = 0xFFFFFFFFu;
  bool reuse_addresses_ = true;
  std::array<uint32_t, kFreeClasses> free_heads_{};
};

class TQHDataList : public TQHDataListBase {
  QDF_CLASS_INFO(TQHDataList)

 public:
  using TQHDataListBase::TQHDataListBase;
  void ReadHeader(const uint8_t* item) override;
  void WriteHeader(TFieldCursor& body) override;

  const TItemAdr& SpareAddress() const { return spare_address_; }
  // Records a schema change, as the $SPARE list is part of the schema.
  void SetSpareAddress(const TItemAdr& adr);

 private:
  TItemAdr spare_address_ = kNullAdr;
};

}  // namespace qdf
