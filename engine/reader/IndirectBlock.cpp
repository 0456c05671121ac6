#include "reader/IndirectBlock.h"

#include "base/QdfException.h"

namespace qdf {

TIndirectBlock* TIndirectBlock::ChildOrNew(int i) {
  if (entries_[i] == nullptr) {
    entries_[i] = TIndirectBlockPool::Instance().TakeTable(this, i);
    ++count_;
  }
  return ChildAt(i);
}

void TIndirectBlock::SetBlock(int i, TQdfCacheBlock* block) {
  QDF_ASSERT(entries_[i] == nullptr, "QdfReader");
  entries_[i] = block;
  ++count_;
}

bool TIndirectBlock::ClearEntry(int i) {
  QDF_ASSERT(entries_[i] != nullptr, "QdfReader");
  entries_[i] = nullptr;
  return --count_ == 0;
}

void TIndirectBlock::MarkDirty() {
  for (TIndirectBlock* t = this; t; t = t->parent_) ++t->dirty_;
}

void TIndirectBlock::MarkClean() {
  for (TIndirectBlock* t = this; t; t = t->parent_) {
    QDF_ASSERT(t->dirty_ > 0, "QdfReader");
    --t->dirty_;
  }
}

TIndirectBlockPool& TIndirectBlockPool::Instance() {
  // Never destroyed: readers that outlive static destruction still return tables.
  static TIndirectBlockPool* pool = new TIndirectBlockPool();
  return *pool;
}

TIndirectBlock* TIndirectBlockPool::TakeTable(TIndirectBlock* parent, int index_in_parent) {
  std::lock_guard<std::mutex> g(mutex_);
  TIndirectBlock* t;
  if (free_head_ >= 0) {
    t = tables_[static_cast<size_t>(free_head_)].get();
    free_head_ = t->next_free_;
    --free_count_;
    t->entries_.fill(nullptr);
  } else {
    tables_.push_back(std::make_unique<TIndirectBlock>());
    t = tables_.back().get();
    t->pool_index_ = static_cast<int>(tables_.size() - 1);
  }
  t->parent_ = parent;
  t->index_in_parent_ = index_in_parent;
  t->count_ = 0;
  t->dirty_ = 0;
  t->next_free_ = -1;
  return t;
}

void TIndirectBlockPool::ReturnTable(TIndirectBlock* table) {
  std::lock_guard<std::mutex> g(mutex_);
  QDF_ASSERT(
      table->pool_index_ >= 0 && tables_[static_cast<size_t>(table->pool_index_)].get() == table,
      "QdfReader");
  table->parent_ = nullptr;
  table->next_free_ = free_head_;
  free_head_ = table->pool_index_;
  ++free_count_;
}

size_t TIndirectBlockPool::TableCount() const {
  std::lock_guard<std::mutex> g(mutex_);
  return tables_.size();
}

size_t TIndirectBlockPool::FreeCount() const {
  std::lock_guard<std::mutex> g(mutex_);
  return free_count_;
}

}  // namespace qdf
