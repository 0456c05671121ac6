// TQdfFreeList: the free file space of a local database, kept inside the
// database in its "$FREE_LIST" data list while a write transaction holds it.
//
// Root record (210 bytes): u16 length, u32 transaction at 2, next root at 6,
// pending root at 12, then for each size class k (0..15) the head (18 + 12k)
// and tail (24 + 12k) of its list of free blocks. Free-block record (21
// bytes): u16 length, i64 file position at 2, u8 size class at 10, next
// record at 11, u32 transaction of the copy that occupied the block at 17.
// Addresses are item addresses (6 bytes); all integers little-endian.
//
// The current root (the list's first item) holds blocks that may be reused
// now. The pending root, tagged with the number at which the running
// transaction started, takes blocks whose old contents older readers may
// still see; further roots down the chain wait until no reader can see them.
#pragma once

#include <cstdint>

#include "base/ItemAdr.h"
#include "file/FreeSpaceLists.h"

namespace qdf {

class TQdfDataListBase;
class TQdfIndirectPageReader;
class TQdfLocalFiler;
class TQdfPersistentObject;

inline constexpr int kRootRecordSize = 210;
inline constexpr int kFreeBlockRecordSize = 21;
inline constexpr int kSizeClasses = kFreeSizeClasses;

class TQdfFreeList : public TFreeSpaceLists {
 public:
  // `list` is the database's $FREE_LIST, `reader` the write transaction's
  // reader on `filer`. Nothing is taken yet.
  TQdfFreeList(TQdfLocalFiler* filer, TQdfIndirectPageReader* reader, TQdfDataListBase* list);
  ~TQdfFreeList() override;

  // Takes the free list for the reader's write transaction: merges the roots
  // no reader needs any more into the current root, prepares the pending
  // root, and hands the lists to the filer's allocation. When the list's
  // FirstFreePg is set, the free-space lists of every data list in the tree
  // under `tree_root` are rebuilt.
  void Take(TQdfPersistentObject* tree_root = nullptr);
  // The filer's allocation stops using these lists.
  void Release();

  bool TakeBlock(int size_class, int64_t* position) override;
  void AddBlock(const TItemAdr& chain, int size_class, uint32_t transaction,
                int64_t position) override;
  void SearchFreeData() override;
  void PrepareFlush(int flags) override;

  TItemAdr NewRoot(uint32_t transaction) override;
  void MergeRoot(const TItemAdr& target, TItemAdr& source) override;

  // Number of free blocks of a class in the root at `root` (tests, statistics).
  int CountBlocks(const TItemAdr& root, int size_class);
  TItemAdr CurrentRoot() const;
  TItemAdr PendingRoot() const;

 private:
  uint8_t* Edit(const TItemAdr& adr);
  const uint8_t* Read(const TItemAdr& adr);

  TQdfLocalFiler* filer_;
  TQdfIndirectPageReader* reader_;
  TQdfDataListBase* list_;
  bool taken_ = false;
};

}  // namespace qdf
