#include "list/QHBtreeList.h"

#include <climits>

namespace qdf {
namespace {

template <typename H>
H& As(TObject& o) {
  return static_cast<H&>(o);
}
template <typename H>
const H& As(const TObject& o) {
  return static_cast<const H&>(o);
}

template <typename H>
TObject* CreateHeader(TQdfPersistentObject* owner) {
  return new H(owner);
}

int32_t ToInt32(const std::string& v) {
  return static_cast<int32_t>(TextToInt(v, INT32_MIN, INT32_MAX));
}

const TPropInfo kBtreeListProps[] = {
    {"RootPg", TPropKind::kCardinal, false,
     [](const TObject& o) { return IntToText(As<TQHBtreeList>(o).RootPg()); },
     [](TObject& o, const std::string& v) {
       As<TQHBtreeList>(o).SetRootPg(static_cast<uint32_t>(TextToInt(v, 0, UINT32_MAX)));
     }},
    {"CountUnused", TPropKind::kInteger, false,
     [](const TObject& o) { return IntToText(As<TQHBtreeList>(o).CountUnused()); },
     [](TObject& o, const std::string& v) { As<TQHBtreeList>(o).SetCountUnused(ToInt32(v)); }},
    {"Balance", TPropKind::kInteger, false,
     [](const TObject& o) { return IntToText(As<TQHBtreeList>(o).Balance()); },
     [](TObject& o, const std::string& v) { As<TQHBtreeList>(o).SetBalance(ToInt32(v)); }},
    {"AllowDuplicates", TPropKind::kBoolean, false,
     [](const TObject& o) { return BoolToText(As<TQHBtreeList>(o).AllowDuplicates()); },
     [](TObject& o, const std::string& v) {
       As<TQHBtreeList>(o).SetAllowDuplicates(TextToBool(v));
     }},
};

const TPropInfo kResultSetProps[] = {
    {"OrderBy", TPropKind::kString, false,
     [](const TObject& o) { return As<TQHResultSet>(o).OrderBy(); },
     [](TObject& o, const std::string& v) { As<TQHResultSet>(o).SetOrderBy(v); }},
};

}  // namespace

const TClassInfo TQHSortableList::kClassInfo = {"TQHSortableList", &TQHItemList::kClassInfo,
                                                CreateHeader<TQHSortableList>, nullptr, 0};
const TClassInfo TQHBtreeList::kClassInfo = {"TQHBtreeList", &TQHSortableList::kClassInfo,
                                             CreateHeader<TQHBtreeList>, kBtreeListProps, 4};
const TClassInfo TQHIndex::kClassInfo = {"TQHIndex", &TQHBtreeList::kClassInfo,
                                         CreateHeader<TQHIndex>, nullptr, 0};
const TClassInfo TQHResultSet::kClassInfo = {"TQHResultSet", &TQHIndex::kClassInfo,
                                             CreateHeader<TQHResultSet>, kResultSetProps, 1};

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
