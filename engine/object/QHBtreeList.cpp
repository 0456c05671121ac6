#include "object/QHBtreeList.h"

#include <climits>

namespace qdf {
namespace {

const TPropInfo kBtreeListProps[] = {
    QDF_PROP_UINT32(TQHBtreeList, "RootPg", RootPg, SetRootPg),
    QDF_PROP_INT32(TQHBtreeList, "CountUnused", CountUnused, SetCountUnused),
    QDF_PROP_INT32(TQHBtreeList, "Balance", Balance, SetBalance),
    QDF_PROP_BOOL(TQHBtreeList, "AllowDuplicates", AllowDuplicates, SetAllowDuplicates),
};

const TPropInfo kResultSetProps[] = {
    QDF_PROP_STRING(TQHResultSet, "OrderBy", OrderBy, SetOrderBy),
};

}  // namespace

const TClassInfo TQHSortableList::kClassInfo = {"TQHSortableList", &TQHItemList::kClassInfo,
                                                CreateHeaderObject<TQHSortableList>, nullptr, 0};
const TClassInfo TQHBtreeList::kClassInfo = {"TQHBtreeList", &TQHSortableList::kClassInfo,
                                             CreateHeaderObject<TQHBtreeList>, kBtreeListProps, 4};
const TClassInfo TQHIndex::kClassInfo = {"TQHIndex", &TQHBtreeList::kClassInfo,
                                         CreateHeaderObject<TQHIndex>, nullptr, 0};
const TClassInfo TQHResultSet::kClassInfo = {"TQHResultSet", &TQHIndex::kClassInfo,
                                             CreateHeaderObject<TQHResultSet>, kResultSetProps, 1};

// ---- TQHBtreeList ----

void TQHBtreeList::ReadHeader(const uint8_t* item) {
  TQHSortableList::ReadHeader(item);
  TFieldCursor cur;
  if (OpenSection(item, kClassInfo.Depth(), 4, cur)) {
    root_pg_ = cur.ReadU32(0xFFFFFFFFu);
    count_unused_ = static_cast<int32_t>(cur.ReadU32(0));
    balance_ = static_cast<int32_t>(cur.ReadU32(kDefaultBalance));
    allow_duplicates_ = cur.ReadByte(0) != 0;
  } else {
    root_pg_ = 0xFFFFFFFFu;
    count_unused_ = 0;
    balance_ = kDefaultBalance;
    allow_duplicates_ = false;
  }
}

void TQHBtreeList::WriteHeader(TFieldCursor& body) {
  TQHSortableList::WriteHeader(body);
  TFieldCursor sec;
  BeginSection(body, kClassInfo.Depth(), 4, sec);
  sec.WriteU32(root_pg_);
  sec.WriteU32(static_cast<uint32_t>(count_unused_));
  sec.WriteU32(static_cast<uint32_t>(balance_));
  sec.WriteByte(allow_duplicates_ ? 1 : 0);
  EndSection(body, sec);
}

// ---- TQHResultSet ----

void TQHResultSet::SetOrderBy(const std::string& v) {
  if (v == order_by_) return;
  order_by_ = v;
  Touch();
}

void TQHResultSet::ReadHeader(const uint8_t* item) {
  TQHIndex::ReadHeader(item);
  TFieldCursor cur;
  order_by_ = OpenSection(item, kClassInfo.Depth(), 1, cur) ? cur.ReadText() : std::string();
}

void TQHResultSet::WriteHeader(TFieldCursor& body) {
  TQHIndex::WriteHeader(body);
  TFieldCursor sec;
  BeginSection(body, kClassInfo.Depth(), 1, sec);
  sec.WriteText(order_by_);
  EndSection(body, sec);
}

}  // namespace qdf
