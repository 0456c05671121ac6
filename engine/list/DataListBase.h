// TQdfDataListBase: an item list that reuses the space of deleted and shrunk
// items through seven free-space lists of pages, and optionally reuses slot
// numbers.
//
// Data-list page: the list page header, then at 24 the u32 next page of the
// same free-space list (FFFFFFFF: none), at 28 the i16 free-space class of the
// page (-1: in no list), and the item area at 30.
//
// Free-space class of n free bytes: -1 below 64; else the number of halvings
// that bring n below 64, minus one (64-127: 0, 128-255: 1, ... 4096-8191: 6);
// 8192 and more would be 7, which has no list.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "list/ItemList.h"

namespace qdf {

inline constexpr int kDpFreeNext = 24;
inline constexpr int kDpFreeClass = 28;

// Free-space class of `free_bytes` (see above).
int FreeSpaceClass(int free_bytes);

class TQdfDataListBase : public TQdfItemList {
  QDF_CLASS_INFO(TQdfDataListBase)

 public:
  const TClassInfo& HeaderClass() const override { return TQHDataListBase::kClassInfo; }
  TQHDataListBase* DataListBaseHeader() const { return static_cast<TQHDataListBase*>(Header()); }

  void ClearPages() override;
  void InitPage(uint8_t* page) override;
  // Frees the slot (its number stays reserved or goes on the page's
  // free-slot chain with ReuseAddresses); other addresses stay valid.
  void DeleteItem(const TItemAdr& adr) override;
  // Places the item in a page with room (searching the free-space lists)
  // or at the end of the chain.
  uint8_t* AppendItem(int size, TItemAdr* adr) override;
  int MaxItemSize() const override;

  // Resizes in place when the page has room; else moves the item to a new
  // place (content kept up to the smaller size) and updates `adr`.
  uint8_t* ResizeItem(TItemAdr& adr, int new_size);
  // Brings the page's stored class (and its free-space list) up to date.
  void RelinkPage(uint32_t page);
  // Rebuilds all seven lists from the chain.
  void RebuildFreeLists();

 protected:
  // Places an item in `page`, which has room.
  uint8_t* PlaceInPage(uint32_t page, int size, TItemAdr* adr);
  // A page with at least `size` free bytes from the free-space lists, or FFFFFFFF.
  uint32_t FindPageWithRoom(int size);

 private:
  // The page before `page` in free-space list `k` (nullptr when none is
  // found), fetched for update.
  uint8_t* FreeListPredecessor(uint32_t page, int k, uint32_t* pred_page);

  // Remembered predecessors in the free-space lists (page -> page before it,
  // FFFFFFFF for a list head). A hint only: every entry is checked against
  // the pages before it is used, so another instance's changes or a rollback
  // can only make it miss, never mislead. Without it, unlinking a page walks
  // its list from the head, which turns a mass delete quadratic.
  std::unordered_map<uint32_t, uint32_t> free_prior_;
};

}  // namespace qdf
