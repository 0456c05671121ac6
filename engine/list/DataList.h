// TQdfDataList: a data list whose record addresses never change.
//
// Record prefix (13 bytes): u16 total length, u8 flags (bits 0-1: 0 body
// follows at 13; 1 forwarded: the body is in another item; 3 the body is one
// field of a packed item inside the final item, at the offset in bytes 9-10
// and the field index in bytes 11-12), link address at 3 (u32 page, u16 slot:
// the forwarding address for flags 1; FFFFFFFF when none).
//
// A record that no longer fits its page moves its body into the private
// overflow list "$SPARE" and leaves a 9-byte stub (length, flags 1, address)
// in its slot, so its address stays valid.
#pragma once

#include <cstdint>
#include <memory>

#include "list/DataListBase.h"

namespace qdf {

inline constexpr int kRecFlags = 2;
inline constexpr int kRecLink = 3;
inline constexpr int kRecBodyOffset = 9;
inline constexpr int kRecFieldIndex = 11;
inline constexpr uint8_t kRecForwarded = 1;
inline constexpr uint8_t kRecInPacked = 3;
inline constexpr int kStubSize = 9;

class TQdfDataList : public TQdfDataListBase {
  QDF_CLASS_INFO(TQdfDataList)

 public:
  const TClassInfo& HeaderClass() const override { return TQHDataList::kClassInfo; }
  TQHDataList* DataListHeader() const { return static_cast<TQHDataList*>(Header()); }

  void LoadHeader() override;
  // Creates the $SPARE list on the first save (saving this header first to
  // have an address), and always stores the $SPARE address.
  void SaveHeader() override;
  void Loaded() override;
  void ClearData() override;
  void ClearPages() override;
  // A forwarded record first loses its $SPARE item.
  void DeleteItem(const TItemAdr& adr) override;
  // Follows a forwarding stub (at most into $SPARE) to the item holding the
  // body. A damaged stub raises "Struktur-Fehler in DataListBase".
  uint8_t* ResolveItem(uint8_t* item) override;

  // Gives the record at `adr` room for new_size bytes, keeping its address
  // and content (up to the smaller size); returns the item that now holds the
  // body (in this list or in $SPARE).
  uint8_t* ResizeRecord(const TItemAdr& adr, int new_size);

  TQdfDataListBase* Spare() const { return spare_; }

 protected:
  // The storage keeps its $SPARE apart from its children.
  virtual bool KeepSpareApart() const { return false; }
  void CreateSpare();

  TQdfDataListBase* spare_ = nullptr;
  std::unique_ptr<TQdfDataListBase> apart_spare_;  // when kept apart
};

}  // namespace qdf
