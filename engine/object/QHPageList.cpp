#include "object/QHPageList.h"

#include "object/PersistentObject.h"

namespace qdf {
namespace {

const TPropInfo kPageListProps[] = {
    QDF_PROP_UINT32(TQHPageList, "FirstPg", FirstPg, SetFirstPg),
    QDF_PROP_UINT32(TQHPageList, "LastPg", LastPg, SetLastPg),
    QDF_PROP_INT32(TQHPageList, "CountPg", CountPg, SetCountPg),
};

const TPropInfo kItemListProps[] = {
    QDF_PROP_INT64(TQHItemList, "CountIt", CountIt, SetCountIt),
    QDF_PROP_INT32(TQHItemList, "UpdateCount", UpdateCount, SetUpdateCount),
};

const TPropInfo kDataListBaseProps[] = {
    QDF_PROP_UINT32(TQHDataListBase, "FirstFreePg", FirstFreePg, SetFirstFreePg),
    QDF_PROP_BOOL(TQHDataListBase, "ReuseAddresses", ReuseAddresses, SetReuseAddresses),
};

}  // namespace

const TClassInfo TQHPageList::kClassInfo = {"TQHPageList", &TQHPersistentObject::kClassInfo,
                                            CreateHeaderObject<TQHPageList>, kPageListProps, 3};
const TClassInfo TQHItemList::kClassInfo = {"TQHItemList", &TQHPageList::kClassInfo,
                                            CreateHeaderObject<TQHItemList>, kItemListProps, 2};
const TClassInfo TQHDataListBase::kClassInfo = {"TQHDataListBase", &TQHItemList::kClassInfo,
                                                CreateHeaderObject<TQHDataListBase>,
                                                kDataListBaseProps, 2};
const TClassInfo TQHDataList::kClassInfo = {"TQHDataList", &TQHDataListBase::kClassInfo,
                                            CreateHeaderObject<TQHDataList>, nullptr, 0};

void TQHPageList::ReadHeader(const uint8_t* item) {
  TQHPersistentObject::ReadHeader(item);
  TFieldCursor cur;
  if (OpenSection(item, kClassInfo.Depth(), 3, cur)) {
    first_pg_ = cur.ReadU32(0xFFFFFFFFu);
    last_pg_ = cur.ReadU32(0xFFFFFFFFu);
    count_pg_ = static_cast<int32_t>(cur.ReadU32(0));
  } else {
    first_pg_ = last_pg_ = 0xFFFFFFFFu;
    count_pg_ = 0;
  }
}

void TQHPageList::WriteHeader(TFieldCursor& body) {
  TQHPersistentObject::WriteHeader(body);
  TFieldCursor sec;
  BeginSection(body, kClassInfo.Depth(), 3, sec);
  sec.WriteU32(first_pg_);
  sec.WriteU32(last_pg_);
  sec.WriteU32(static_cast<uint32_t>(count_pg_));
  EndSection(body, sec);
}

void TQHItemList::ReadHeader(const uint8_t* item) {
  TQHPageList::ReadHeader(item);
  TFieldCursor cur;
  if (OpenSection(item, kClassInfo.Depth(), 2, cur)) {
    count_it_ = static_cast<int64_t>(cur.ReadU64(0));
    update_count_ = static_cast<int32_t>(cur.ReadU32(0));
  } else {
    count_it_ = 0;
    update_count_ = 0;
  }
}

void TQHItemList::WriteHeader(TFieldCursor& body) {
  TQHPageList::WriteHeader(body);
  TFieldCursor sec;
  BeginSection(body, kClassInfo.Depth(), 2, sec);
  sec.WriteU64(static_cast<uint64_t>(count_it_));
  sec.WriteU32(static_cast<uint32_t>(update_count_));
  EndSection(body, sec);
}

void TQHDataListBase::SetFreeHead(int k, uint32_t page) {
  if (k < 0 || k >= kFreeClasses) return;
  free_heads_[static_cast<size_t>(k)] = page;
  Touch();
}

void TQHDataListBase::ReadHeader(const uint8_t* item) {
  TQHItemList::ReadHeader(item);
  TFieldCursor cur;
  free_heads_.fill(0xFFFFFFFFu);
  if (OpenSection(item, kClassInfo.Depth(), 3, cur)) {
    first_free_pg_ = cur.ReadU32(0xFFFFFFFFu);
    reuse_addresses_ = cur.ReadByte(1) != 0;
    int length = 0;
    const uint8_t* heads = cur.NextField(&length);
    if (heads != nullptr && length == 4 * kFreeClasses) {
      for (int k = 0; k < kFreeClasses; ++k)
        free_heads_[static_cast<size_t>(k)] = LoadU32(heads + 4 * k);
    }
  } else {
    first_free_pg_ = 0xFFFFFFFFu;
    reuse_addresses_ = true;
  }
}

void TQHDataListBase::WriteHeader(TFieldCursor& body) {
  TQHItemList::WriteHeader(body);
  TFieldCursor sec;
  BeginSection(body, kClassInfo.Depth(), 3, sec);
  sec.WriteU32(first_free_pg_);
  sec.WriteByte(reuse_addresses_ ? 1 : 0);
  uint8_t heads[4 * kFreeClasses];
  for (int k = 0; k < kFreeClasses; ++k)
    StoreU32(heads + 4 * k, free_heads_[static_cast<size_t>(k)]);
  sec.WriteBytes(sizeof heads, heads);
  EndSection(body, sec);
}

void TQHDataList::SetSpareAddress(const TItemAdr& adr) {
  if (adr == spare_address_) return;
  spare_address_ = adr;
  Touch();
  RecordSchemaChange();
}

void TQHDataList::ReadHeader(const uint8_t* item) {
  TQHDataListBase::ReadHeader(item);
  TFieldCursor cur;
  spare_address_ = OpenSection(item, kClassInfo.Depth(), 1, cur) ? cur.ReadAdr(kNullAdr) : kNullAdr;
}

void TQHDataList::WriteHeader(TFieldCursor& body) {
  TQHDataListBase::WriteHeader(body);
  TFieldCursor sec;
  BeginSection(body, kClassInfo.Depth(), 1, sec);
  sec.WriteAdr(spare_address_);
  EndSection(body, sec);
}

}  // namespace qdf
