// TQdfCacheBlock: one cached 8192-byte page.
#pragma once

#include <cstdint>
#include <memory>
#include <thread>

#include "base/ItemAdr.h"

namespace qdf {

class TIndirectBlock;
class TQdfPageReader;

inline constexpr int kPageSize = 8192;

// Flag bits of a cache block; a block in ordinary use has flags 0.
inline constexpr uint8_t kBlockUnlinked = 1;  // new or free: in no recency list
inline constexpr uint8_t kBlockFrozen = 2;    // never evicted while frozen

struct TQdfCacheBlock {
  // The owning reader's recency list (oldest ... newest). While the block is
  // free, `newer` links the pool's free chain.
  TQdfCacheBlock* newer = nullptr;
  TQdfCacheBlock* older = nullptr;
  uint8_t flags = kBlockUnlinked;
  bool dirty = false;
  // True while the page is being read from the file with the reader's lock
  // released; other requests for the page wait until it is filled.
  bool loading = false;
  std::thread::id loader;  // the thread filling it (its own requests do not wait)
  int pin_count = 0;
  TQdfPageReader* owner = nullptr;
  uint32_t page = kNoPage;
  std::unique_ptr<uint8_t[]> buffer;  // kPageSize bytes; may be released while free
  // Place in the owner's page map.
  TIndirectBlock* leaf = nullptr;
  int leaf_index = 0;
};

}  // namespace qdf
