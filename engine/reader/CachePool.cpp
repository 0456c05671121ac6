#include "reader/CachePool.h"

#include <algorithm>

#include "base/ItemArea.h"
#include "base/QdfException.h"

namespace qdf {

TCachePool& TCachePool::Instance() {
  // Never destroyed: page readers may be released during static destruction.
  static TCachePool* pool = new TCachePool();
  return *pool;
}

TQdfCacheBlock* TCachePool::TakeBlock(TQdfPageReader* owner) {
  TDbgLock g(lock_);
  TQdfCacheBlock* block;
  if (free_head_ != nullptr) {
    block = free_head_;
    QDF_ASSERT(block->flags & kBlockUnlinked, "QdfReader");
    free_head_ = block->newer;
    block->newer = nullptr;
    if (!block->buffer) {
      block->buffer = std::make_unique<uint8_t[]>(kPageSize);
      ++buffer_count_;
    }
  } else {
    blocks_.push_back(std::make_unique<TQdfCacheBlock>());
    block = blocks_.back().get();
    block->buffer = std::make_unique<uint8_t[]>(kPageSize);
    ++buffer_count_;
  }
  block->dirty = false;
  block->loading = false;
  block->pin_count = 0;
  block->owner = owner;
  ++in_use_;
  return block;
}

void TCachePool::ReturnBlock(TQdfCacheBlock* block) {
  TDbgLock g(lock_);
  IncItemLayoutStamp();
  if (block->owner != nullptr) {
    block->newer = free_head_;
    block->older = nullptr;
    free_head_ = block;
    --in_use_;
  }
  block->flags = kBlockUnlinked;
  block->page = kNoPage;
  block->leaf = nullptr;
  if (buffer_count_ > capacity_ && block->buffer) {
    block->buffer.reset();
    --buffer_count_;
  }
  block->owner = nullptr;
}

void TCachePool::SetCacheSize(int pages) {
  TDbgLock g(lock_);
  if (pages >= kDefaultCacheSize) configured_ = pages;
}

int TCachePool::CacheSize() const {
  TDbgLock g(lock_);
  return configured_;
}

void TCachePool::RegisterReader(TQdfPageReader* reader) {
  TDbgLock g(reader_lock_);
  if (std::find(readers_.begin(), readers_.end(), reader) == readers_.end()) {
    readers_.push_back(reader);
  }
}

void TCachePool::UnregisterReader(TQdfPageReader* reader) {
  TDbgLock g(reader_lock_);
  readers_.erase(std::remove(readers_.begin(), readers_.end(), reader), readers_.end());
}

int TCachePool::InUse() const {
  TDbgLock g(lock_);
  return in_use_;
}
int TCachePool::Capacity() const {
  TDbgLock g(lock_);
  return capacity_;
}
int TCachePool::BufferCount() const {
  TDbgLock g(lock_);
  return buffer_count_;
}
size_t TCachePool::BlockCount() const {
  TDbgLock g(lock_);
  return blocks_.size();
}

}  // namespace qdf
