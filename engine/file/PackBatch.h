// TPackBatch: page images that a flush packs ahead of writing them, on the
// process's worker threads (the pages of a commit are independent, and
// packing is most of what a commit costs the processor).
//
// Each image is kept beside its packed form. The writer takes the packed
// form only while the page it writes still equals the image byte for byte,
// so a page changed after it was packed (a free-list page, say, which the
// writes of other pages change) is simply packed again where it is written.
#pragma once

#include <cstdint>
#include <memory>

namespace qdf {

// Packs the page image `image` into `packed` (a page's room). Returns the
// size to store, a multiple of the file's unit with the bytes after the code
// stream zero, or 0 when the page does not pack small enough and is stored
// plain.
int32_t PackPageImage(const uint8_t* image, uint8_t* packed);

class TPackBatch {
 public:
  static constexpr int kCapacity = 32;

  TPackBatch();

  void Clear() { count_ = 0; }
  int Count() const { return count_; }
  bool Full() const { return count_ == kCapacity; }
  // The image slot for `page` (the caller fills all of it). REQUIRES: !Full().
  uint8_t* Add(uint32_t page);
  // Packs every image, spread over the worker pool.
  void PackAll();
  // When the batch packed `page` from an image equal to `image`: the bytes
  // to store and their size (0 = stored plain) and true; false otherwise.
  bool Find(uint32_t page, const uint8_t* image, const uint8_t** data, int32_t* stored) const;

 private:
  std::unique_ptr<uint8_t[]> images_;  // kCapacity pages
  std::unique_ptr<uint8_t[]> packed_;  // kCapacity pages
  uint32_t pages_[kCapacity] = {};
  int32_t stored_[kCapacity] = {};
  int count_ = 0;
};

}  // namespace qdf
