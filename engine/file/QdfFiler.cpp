#include "file/QdfFiler.h"

#include <algorithm>

#include "base/QdfException.h"
#include "reader/PageReader.h"

namespace qdf {

TQdfFiler::TQdfFiler(std::string alias) : lock_("Filer " + alias), name_(std::move(alias)) {}

TQdfFiler::~TQdfFiler() = default;

void TQdfFiler::AddRef() {
  TDbgLock g(lock_);
  ++refs_;
}

void TQdfFiler::Release() {
  int left;
  {
    TDbgLock g(lock_);
    QDF_ASSERT(refs_ > 0, "QdfFile");
    left = --refs_;
  }
  if (left == 0) delete this;
}

void TQdfFiler::AttachReader(TQdfPageReader* reader, TRootRecord& /*root*/) {
  TDbgLock g(lock_);
  if (readers_.empty()) oldest_transaction_ = 0;
  readers_.push_back(reader);
}

void TQdfFiler::DetachReader(TQdfPageReader* reader, TRootRecord& /*root*/,
                             bool /*keep_write_lock*/) {
  TDbgLock g(lock_);
  auto it = std::find(readers_.begin(), readers_.end(), reader);
  if (it == readers_.end()) {
    oldest_transaction_ = 0;
    return;
  }
  size_t pos = static_cast<size_t>(it - readers_.begin());
  readers_.erase(it);
  if (readers_.empty()) {
    oldest_transaction_ = 0;
    return;
  }
  // The minimum over the readers from where the removed one stood down to the first.
  size_t from = std::min(pos, readers_.size() - 1);
  uint32_t oldest = 0xFFFFFFFFu;
  for (size_t i = 0; i <= from; ++i) oldest = std::min(oldest, readers_[i]->TransactionNumber());
  oldest_transaction_ = oldest == 0xFFFFFFFFu ? 0 : oldest;
}

void TQdfFiler::PrepareFlush(int /*flags*/) {}

std::string TQdfFiler::GetServerAddress() { return "127.0.0.1"; }

}  // namespace qdf
