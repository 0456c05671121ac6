// TQdfPageList: a persistent object that owns a doubly linked chain of pages.
//
// Page header fields the chain uses: u16 size at 0, u16 flags at 2 (bit 0:
// page of no live list, bit 7: never compress), u32 next at 4, u32 previous
// at 8 (FFFFFFFF: none), u16 item-area offset at 16, owner address (the
// list's header item) at 18. The anchors FirstPg, LastPg and CountPg live in
// the list's header, so they survive in the file.
#pragma once

#include <cstdint>
#include <vector>

#include "object/PersistentObject.h"
#include "object/QHPageList.h"

namespace qdf {

inline constexpr uint16_t kPageNotLive = 0x01;

class TQdfPageList : public TQdfPersistentObject {
  QDF_CLASS_INFO(TQdfPageList)

 public:
  TQdfPageList() = default;
  const TClassInfo& HeaderClass() const override { return TQHPageList::kClassInfo; }
  TQHPageList* PageListHeader() const { return static_cast<TQHPageList*>(Header()); }

  // Frees every page of the chain.
  virtual void ClearPages();
  // Unlinks the page from the chain and gives it back to the page reader. A
  // page that cannot be read is left alone.
  virtual void FreePage(uint32_t page);
  // Initialises a new page of this list (size word, owner, flags).
  virtual void InitPage(uint8_t* page);
  void ClearData() override;

  // Creates a page after `after` (FFFFFFFF: the chain is empty) and returns
  // its number; the new page is initialised by InitPage.
  uint32_t InsertPageAfter(uint32_t after);

  // Page walks: the page number, or FFFFFFFF when the walk runs off the chain
  // (Eof / Bof are set then). A page that cannot be read or expanded, or
  // that another list owns, raises EQdfException: damage never ends a walk.
  uint32_t FirstPage();
  uint32_t LastPage();
  uint32_t NextPage(uint32_t page);
  uint32_t PriorPage(uint32_t page);

  // The chain's pages in ascending page number, the order of a physical walk.
  // Walking the chain reads every page; the result is kept and reused while
  // the chain cannot have changed (same reader, anchors and page-chain epoch),
  // so repeated scans of a table larger than the cache read each page once.
  const std::vector<uint32_t>& PagesInFileOrder();

  bool Eof() const { return eof_; }
  bool Bof() const { return bof_; }
  // False: new pages carry the never-compress flag.
  void SetCompressiblePages(bool on) { compressible_pages_ = on; }
  bool CompressiblePages() const { return compressible_pages_; }

 protected:
  // True when the page's owner address names this list.
  bool OwnsPage(const uint8_t* page) const;
  // Reads `page`, reached through this list's chain: read and expansion
  // errors pass on, and a page of another list raises EQdfException.
  const uint8_t* ChainPage(uint32_t page);
  // Raises the error of a chain that cannot be followed: "List <name> is
  // damaged: page <n> <what>".
  [[noreturn]] void ChainDamaged(uint32_t page, const char* what) const;

  bool eof_ = false;
  bool bof_ = false;

 private:
  bool compressible_pages_ = true;
  std::vector<uint32_t> file_order_;
  uint32_t file_order_epoch_ = 0;  // 0: not collected
  const void* file_order_reader_ = nullptr;
  uint32_t file_order_first_ = 0;
  int64_t file_order_count_ = 0;
};

}  // namespace qdf
