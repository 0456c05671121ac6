// TQdfItemList: variable-length items in the slotted item areas of a page
// chain, each reached by its item address (page, slot).
//
// TQdfItemProvider is the cursor over an item list: it keeps the current
// address and a pointer to the item, and fetches the item again whenever the
// process-wide item layout stamp says items may have moved (a compaction,
// a slot move, a cache page given back).
#pragma once

#include <cstdint>
#include <memory>

#include "base/ItemAdr.h"
#include "list/PageList.h"

namespace qdf {

class TQdfItemList;

// Modes of an item list (and its cursor).
inline constexpr int kModeBrowse = 1;
inline constexpr int kModeEdit = 2;
inline constexpr int kModeInsert = 3;

class TQdfItemProvider {
 public:
  // `body_offset`: where the packed body starts in an item (13 for records,
  // 6 for keys). A null start address leaves the cursor unpositioned.
  TQdfItemProvider(TQdfItemList* list, int body_offset, const TItemAdr& start = kNullAdr);

  // Moves to `adr` (refilling through the list); nothing when it is the same.
  void SetAddress(const TItemAdr& adr);
  // Moves to `adr`, whose item the list has just returned at `item` (within
  // the same reader bracket), without looking it up again.
  void SetFound(const TItemAdr& adr, uint8_t* item) {
    address_ = adr;
    Fill(item);
  }
  const TItemAdr& Address() const { return address_; }
  // The current item / its packed body, fetched again when items may have
  // moved since; nullptr when there is none.
  uint8_t* Item();
  uint8_t* Body();
  // Refills from the list now.
  void Refresh();
  // Field `index` of the packed body: its bytes and length, or nullptr when
  // there is no item or the body has no such field.
  const uint8_t* Field(int index, int* length);

  TQdfItemList* List() const { return list_; }
  int BodyOffset() const { return body_offset_; }
  int mode = kModeBrowse;
  bool changed = true;
  // Filled by the list's ReadItem.
  void Fill(uint8_t* item);

 private:
  TQdfItemList* list_;
  uint32_t stamp_ = 0;
  TItemAdr address_ = kNullAdr;
  int body_offset_;
  uint8_t* item_ = nullptr;
};

class TQdfItemList : public TQdfPageList {
  QDF_CLASS_INFO(TQdfItemList)

 public:
  TQdfItemList();
  ~TQdfItemList() override;
  const TClassInfo& HeaderClass() const override { return TQHItemList::kClassInfo; }
  TQHItemList* ItemListHeader() const { return static_cast<TQHItemList*>(Header()); }

  void ClearPages() override;
  void InitPage(uint8_t* page) override;

  // Removes the item and its slot (later slots of the page move down); the
  // page leaves the chain when it becomes empty.
  virtual void DeleteItem(const TItemAdr& adr);
  // Fills the cursor from its address.
  virtual void ReadItem(TQdfItemProvider& provider);
  // Maps a slot's item to the item that holds its body (data lists follow
  // forwarding); here the item itself.
  virtual uint8_t* ResolveItem(uint8_t* item);
  virtual void Cancel();
  // Deletes the cursor's item and moves the cursor to the following one.
  virtual void DeleteCurrent();
  virtual void First();
  virtual void Next();
  // Appends an item of the same size and copies `item` (length word first) into it.
  virtual uint8_t* AppendCopy(const uint8_t* item, TItemAdr* adr = nullptr);
  // Room for an item of `size` bytes at the end of the chain: the length word
  // is set, the rest zeroed. Raises when an item of that size cannot fit a page.
  virtual uint8_t* AppendItem(int size, TItemAdr* adr);
  virtual int64_t Count() { return ItemListHeader()->CountIt(); }

  // The item at `adr` for reading, resolved; nullptr when the page is not
  // this list's, the slot does not exist or is free. A page that cannot be
  // read or expanded raises EQdfException.
  uint8_t* GetItem(const TItemAdr& adr);
  // The item at `adr` for writing (not resolved; nullptr for a free slot).
  // Raises "Access Violation at (p:s)" for a slot beyond the slot table, and
  // with ": not an item page of <list>" for a page that is not one.
  uint8_t* EditItem(const TItemAdr& adr);
  // The following / preceding live item, resolved; `adr` moves to it. From
  // the position before the first item (page FFFFFFFF slot 1) NextItem starts
  // at the first; from the null address PriorItem starts at the last. At the
  // end `adr` becomes null (next) or the before-first address (prior).
  // Damage raises EQdfException and never ends the walk early: a page that
  // cannot be read or expanded, a linked page that is not an item page of
  // this list, a chain longer than the pages it counts.
  uint8_t* NextItem(TItemAdr& adr);
  uint8_t* PriorItem(TItemAdr& adr);

  TQdfItemProvider& Cursor() { return *cursor_; }
  int Mode() const { return mode_; }

  // Largest item that fits an empty page of this list.
  virtual int MaxItemSize() const;

 protected:
  int mode_ = kModeBrowse;
  std::unique_ptr<TQdfItemProvider> cursor_;

 private:
  // A page of a walk: the page, or nullptr when the walk's first page (from
  // a caller's address, which may be stale) is no item page of this list.
  // A page reached through a link (`linked`) must be one: raises otherwise.
  uint8_t* WalkPage(TQdfPageReader* r, uint32_t page, bool linked);
};

}  // namespace qdf
