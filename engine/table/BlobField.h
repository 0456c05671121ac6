// TQdfBlobField: a value of any length, text or bytes, kept outside the
// record. The record stores only the blob's 8-byte object ID (as an object-ID
// field does; null or 0 means no blob). The bytes live in the storage's table
// $BLOB as chunk records, found through its unique index IDX_POSITION on
// (BlobID, Position):
//
//   Position 0    TBlobClass      BlobID, Position, Data, BlobSize (total bytes)
//   Position p    TBlobClassNode  BlobID, Position, Data
//
// Chunks follow each other without gaps: each chunk's Position is the sum of
// the Data lengths before it. A value of at most 4000 bytes written fresh is
// one chunk; a longer one is a run of 2000-byte chunks with a shorter last
// one. Rewriting keeps the sizes of the chunks already there (a chunk below
// 512 bytes grows to 512 when there is that much to write) and deletes the
// chunks an older, longer value left behind. Every chunk but the last holds at
// least 512 bytes, so a rewrite never moves a chunk's key past the next one.
//
// A blob is part of its record's value and follows the record's edit:
//  - The first write in an edit or insert goes to a blob of a new ID (the
//    record's stored blob stays untouched); further writes in the same edit
//    rewrite that new blob in place.
//  - Post makes the record name the new blob and then deletes the chunks of
//    the blob it named before. Cancel (or a post that fails) deletes the new
//    blob's chunks; the stored record still names its old blob, unchanged.
//  - A record can only be posted with a blob of its own: a field that was
//    given another blob's ID (a row copied by value, an ID set by hand) gets
//    a copy of that blob's chunks under a new ID at Post.
//  - Deleting a record, or emptying or dropping its table, deletes the chunks
//    of its blobs (the field listens to its cursor's list for that).
// All of this is ordinary record writing in $BLOB, so a transaction that is
// rolled back takes the chunks back with the records.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "record/Fields.h"

namespace qdf {

class TQdfItemList;
class TQdfTable;

// The bytes WriteBlob stores: a size announced up front, then the bytes from
// the start. A source may deliver fewer bytes than it announced.
class TBlobStream {
 public:
  virtual ~TBlobStream() = default;
  // The number of bytes the stream announces.
  virtual int64_t Size() const = 0;
  // Back to the first byte.
  virtual void Rewind() = 0;
  // Copies up to `count` next bytes into `dest` and returns how many; 0 at
  // the end. May return fewer than asked before the end.
  virtual int Read(uint8_t* dest, int count) = 0;
};

// A stream over bytes in memory (borrowed: they must outlive the stream).
class TBlobMemoryStream : public TBlobStream {
 public:
  explicit TBlobMemoryStream(std::string_view bytes) : bytes_(bytes) {}
  int64_t Size() const override { return static_cast<int64_t>(bytes_.size()); }
  void Rewind() override { position_ = 0; }
  int Read(uint8_t* dest, int count) override;

 private:
  std::string_view bytes_;
  size_t position_ = 0;
};

// Why the storage's blob table `table` cannot hold blob values (its index
// IDX_POSITION, a chunk class, or a chunk field missing or of another type),
// as the blob fields would raise it; empty when it can.
std::string BlobTableDefect(TQdfTable& table);

class TQdfBlobField : public TQdfObjectIDField {
  QDF_CLASS_INFO(TQdfBlobField)

 public:
  // The largest blob: sizes and positions are 32-bit integer fields.
  static constexpr int64_t kMaxBlobSize = INT32_MAX;
  // A fresh value up to this size is one chunk; longer ones are cut into
  // chunks of kChunkSize.
  static constexpr int kSingleChunkLimit = 4000;
  static constexpr int kChunkSize = 2000;
  // A rewritten chunk smaller than this grows to it (when there is enough
  // to write).
  static constexpr int kMinChunkSize = 512;

  TQdfBlobField() = default;
  ~TQdfBlobField() override;

  // (UserInfo + 16) OR 64.
  uint16_t TypeCode() const override {
    return static_cast<uint16_t>((FieldHeader()->UserInfo() + 16) | kFieldTypeBase);
  }
  // The blob's bytes; empty for no blob.
  std::string GetAsString() override;
  // Writes the text's bytes as the blob (WriteBlob); the empty text clears it
  // (ClearBlob). Edit mode only.
  void SetAsString(const std::string& text) override;
  // Keeps the cursor and listens to its list: posts, cancels and deletions
  // of records take the chunks of their blobs along.
  void SetProvider(TQdfItemProvider* provider) override;
  // From another blob field: copies the bytes into this field's own blob
  // (two records never share a blob: deleting one would empty the other).
  // Other fields as an object-ID field takes them.
  void Assign(TQdfField& other) override;

  // The blob's length in bytes (its first chunk's BlobSize); 0 for no blob,
  // and when the storage has no $BLOB table.
  int32_t BlobSize();
  // Replaces `out` with the blob's bytes (empty for no blob). Raises
  // EQdfException when the chunks do not follow each other without gaps.
  void ReadBlob(std::string& out);
  // Stores the stream's bytes as the blob of the record being edited (edit
  // mode only, "Cannot edit" otherwise): the first write of an edit goes to
  // a new blob ID, later ones rewrite that blob. An empty stream clears the
  // blob. A stream that delivers fewer bytes than its size leaves the bytes
  // it delivered, with that count as BlobSize (nothing delivered: null).
  // Raises EQdfException for a stream above kMaxBlobSize and when the
  // storage has no $BLOB table; the field keeps its value then.
  void WriteBlob(TBlobStream& stream);
  // The field becomes null (no blob); the chunks of the blob written in this
  // edit go at once, those of the stored record's blob when the record is
  // posted. Edit mode only ("Cannot edit" otherwise).
  void ClearBlob();
  // 0 clears the blob (ClearBlob); a smaller size cuts the value, a larger
  // one appends zero bytes, in the blob of this edit (the stored value is
  // copied there first). Edit mode only. Raises EQdfException for a negative
  // size, for a size above 0 without a $BLOB table, and for a damaged blob.
  void SetBlobSize(int32_t size);

 private:
  // The storage's $BLOB table, or nullptr.
  TQdfTable* BlobTable() const;
  // Listening to the cursor's list.
  void Subscribe(TQdfItemList* list);
  void Unsubscribe();
  // The list is deleting the record under the cursor.
  void RecordDeleted();
  // The table the field's cursor walks (nullptr for another list).
  TQdfTable* OwnTable() const;
  // The blob of this edit: makes the field name it, starting one under a new
  // ID first unless the field names it already. With `copy`, a new one
  // starts as a copy of the field's current blob. Returns its ID.
  TObjectID OwnBlob(TQdfTable& blob_table, bool copy);
  // A post of `record_class` is about to write the record: a field naming a
  // blob that is neither the stored record's nor this edit's gets a copy of
  // it; notes what the post will leave without a record.
  void BeforePost(void* record_class);
  // The post completed: deletes the chunks of the blobs the record no longer
  // names. The edit is over.
  void Posted();
  // The edit ended without a write: deletes the chunks of this edit's blob.
  void Discard();
  // Deletes every chunk of `id` (nothing without a $BLOB table).
  void DeleteChunks(const TObjectID& id);

  TQdfItemList* subscribed_ = nullptr;
  // The blob written in the edit under way (see OwnBlob).
  bool pending_ = false;
  TObjectID pending_id_{};
  // Blobs the running post leaves without a record: deleted when it
  // completed (Posted), kept when it fails.
  int unowned_count_ = 0;
  TObjectID unowned_[2]{};
  // Alive while the list still holds our listener: the listener owns the
  // other end, so a list that is gone (or dropped us) is never touched.
  std::weak_ptr<const int> subscription_;
};

}  // namespace qdf
