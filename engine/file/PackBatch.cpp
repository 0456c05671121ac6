#include "file/PackBatch.h"

#include <cstring>

#include "base/PageCodec.h"
#include "file/FileFormat.h"
#include "platform/WorkerPool.h"
#include "reader/CacheBlock.h"

namespace qdf {

int32_t PackPageImage(const uint8_t* image, uint8_t* packed) {
  const int result = Pack(packed, image, kPageSize);
  if (result < 1) return 0;
  const int32_t stored = (result + kUnitSize - 1) / kUnitSize * kUnitSize;
  std::memset(packed + result, 0, static_cast<size_t>(stored - result));
  return stored;
}

TPackBatch::TPackBatch()
    : images_(new uint8_t[static_cast<size_t>(kCapacity) * kPageSize]),
      packed_(new uint8_t[static_cast<size_t>(kCapacity) * kPageSize]) {}

uint8_t* TPackBatch::Add(uint32_t page) {
  pages_[count_] = page;
  stored_[count_] = 0;
  return images_.get() + static_cast<size_t>(count_++) * kPageSize;
}

void TPackBatch::PackAll() {
  TWorkerPool::Shared().Run(count_, [this](int i) {
    const size_t at = static_cast<size_t>(i) * kPageSize;
    stored_[i] = PackPageImage(images_.get() + at, packed_.get() + at);
  });
}

bool TPackBatch::Find(uint32_t page, const uint8_t* image, const uint8_t** data,
                      int32_t* stored) const {
  for (int i = 0; i < count_; ++i) {
    if (pages_[i] != page) continue;
    const size_t at = static_cast<size_t>(i) * kPageSize;
    const uint8_t* held = images_.get() + at;
    if (held != image && std::memcmp(held, image, kPageSize) != 0) return false;
    *stored = stored_[i];
    *data = stored_[i] != 0 ? packed_.get() + at : image;
    return true;
  }
  return false;
}

}  // namespace qdf
