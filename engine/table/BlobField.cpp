#include "table/BlobField.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/Bytes.h"
#include "base/QdfException.h"
#include "list/ItemList.h"
#include "object/PersistentObjectFactory.h"
#include "reader/PageReader.h"
#include "record/ItemClass.h"
#include "table/Index.h"
#include "table/Table.h"
#include "table/TableStore.h"

namespace qdf {

QDF_DEFINE_PERSISTENT_CLASS(TQdfBlobField, TQdfObjectIDField);

namespace {

// One chunk as a walk over the index found it.
struct TChunkInfo {
  TItemAdr adr;
  int32_t position;
  int32_t length;
  bool head;
};

// The chunk records of one storage's $BLOB, reached through IDX_POSITION.
// The index moves the table's cursor; the chunk fields read the record under
// it in browse mode.
class TChunks {
 public:
  explicit TChunks(TQdfTable& table) : table_(table), use_(Reader(table)) {
    index_ = table.IndexByName("IDX_POSITION");
    node_ = table.ItemClass();
    head_ = node_ != nullptr ? node_->ClassByName("TBlobClass") : nullptr;
    if (index_ == nullptr || !index_->Active() || node_ == nullptr || head_ == nullptr) {
      throw EQdfException("The $BLOB table lacks its index IDX_POSITION or its chunk classes");
    }
    blob_id_ = Field<TQdfObjectIDField>(node_, "BlobID");
    position_ = Field<TQdfIntegerField>(node_, "Position");
    data_ = Field<TQdfByteArrayField>(node_, "Data");
    blob_size_ = Field<TQdfIntegerField>(head_, "BlobSize");
    TQdfItemClass* key = index_->KeyStructure();
    key_id_ = Field<TQdfObjectIDField>(key, "BlobID");
    key_position_ = Field<TQdfIntegerField>(key, "Position");
  }

  // Puts the cursor on the first chunk of `id` at or after `position`; a
  // negative position: on the first chunk of `id` whatever its position.
  // Without such a chunk the cursor stands on whatever key follows.
  void Seek(const TObjectID& id, int64_t position) {
    table_.Cancel();
    index_->Insert();
    key_id_->SetAsID(id);
    if (position >= 0) key_position_->SetAsInteger(static_cast<int32_t>(position));
    index_->GotoNearest(true);
  }
  void Next() { index_->Next(); }
  // Puts the cursor on the chunk record at `adr`.
  void MoveTo(const TItemAdr& adr) { table_.SetCursorAddress(adr); }

  // The record under the cursor is a chunk of blob `id`.
  bool AtChunkOf(const TObjectID& id) {
    TQdfItemClass* cls = table_.CursorClass();
    return cls != nullptr && node_->IsKindOfClass(cls) && !blob_id_->IsNull() &&
           blob_id_->AsID() == id;
  }
  bool AtHead() {
    TQdfItemClass* cls = table_.CursorClass();
    return cls != nullptr && head_->IsKindOfClass(cls);
  }
  int32_t Position() { return position_->AsInteger(); }
  int32_t HeadSize() { return blob_size_->AsInteger(); }
  int32_t DataLength() {
    int length = 0;
    data_->GetData(&length);
    return length;
  }
  void AppendData(std::string& out) {
    int length = 0;
    const uint8_t* data = data_->GetData(&length);
    if (data != nullptr)
      out.append(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
  }
  TItemAdr Address() const { return table_.Cursor().Address(); }

  // Every chunk of `id` from the cursor on, in index order.
  std::vector<TChunkInfo> Collect(const TObjectID& id) {
    std::vector<TChunkInfo> chunks;
    while (AtChunkOf(id)) {
      chunks.push_back({Address(), Position(), DataLength(), AtHead()});
      Next();
    }
    return chunks;
  }

  // Appends a chunk: the head (a TBlobClass with BlobSize `blob_size`) when
  // blob_size >= 0, else a TBlobClassNode.
  void Append(const TObjectID& id, int32_t position, const uint8_t* data, int length,
              int32_t blob_size) {
    table_.Insert(blob_size >= 0 ? head_ : node_);
    Write([&] {
      blob_id_->SetAsID(id);
      position_->SetAsInteger(position);
      data_->SetAsBytes(data, length);
      if (blob_size >= 0) blob_size_->SetAsInteger(blob_size);
    });
  }
  // Gives the chunk under the cursor new bytes and `position`; a head also
  // gets `blob_size` (when >= 0).
  void Rewrite(int32_t position, const uint8_t* data, int length, int32_t blob_size) {
    const bool head = AtHead();
    table_.Edit();
    Write([&] {
      if (position_->AsInteger() != position) position_->SetAsInteger(position);
      data_->SetAsBytes(data, length);
      if (head && blob_size >= 0) blob_size_->SetAsInteger(blob_size);
    });
  }
  // Sets the head's BlobSize, when the head of `id` is there and differs.
  void SetHeadSize(const TObjectID& id, int32_t blob_size) {
    Seek(id, 0);
    if (!AtChunkOf(id) || !AtHead() || HeadSize() == blob_size) return;
    table_.Edit();
    Write([&] { blob_size_->SetAsInteger(blob_size); });
  }
  // Resizes the Data of the chunk at `adr`: cut, or filled up with zero bytes.
  void ResizeData(const TItemAdr& adr, int32_t length) {
    MoveTo(adr);
    table_.Edit();
    Write([&] {
      std::vector<uint8_t> bytes = data_->AsBytes();
      bytes.resize(static_cast<size_t>(length), 0);
      data_->SetAsBytes(bytes.data(), length);
    });
  }
  void DeleteAt(const TItemAdr& adr) {
    MoveTo(adr);
    table_.Delete(false);
  }
  // Deletes every chunk of `id` from the cursor on, the last first.
  void DeleteFollowing(const TObjectID& id) {
    const std::vector<TChunkInfo> chunks = Collect(id);
    for (auto it = chunks.rbegin(); it != chunks.rend(); ++it) DeleteAt(it->adr);
  }
  // Appends to blob `to` a copy of every chunk of `from`, chunk by chunk.
  // Raises (before writing anything) when `from` is damaged.
  void Copy(const TObjectID& from, const TObjectID& to);

 private:
  static TQdfPageReader* Reader(TQdfTable& table) {
    if (table.PageReader() == nullptr) throw EQdfException("The $BLOB table has no page reader");
    return table.PageReader();
  }
  template <typename F>
  static F* Field(TQdfItemClass* cls, const char* name) {
    TQdfField* f = cls != nullptr ? cls->FieldByName(name) : nullptr;
    if (f == nullptr || !f->IsKindOf(F::kClassInfo)) {
      throw EQdfException(std::string("The $BLOB table lacks its chunk field ") + name);
    }
    return static_cast<F*>(f);
  }
  // Sets the fields of the record in edit or insert state and posts it; an
  // error leaves the table in browse state with nothing written.
  template <typename F>
  void Write(F&& set_fields) {
    try {
      set_fields();
    } catch (...) {
      table_.Cancel();
      throw;
    }
    table_.Post();
  }

  TQdfTable& table_;
  TReaderUse use_;
  TQdfIndex* index_ = nullptr;
  TQdfItemClass* node_ = nullptr;
  TQdfItemClass* head_ = nullptr;
  TQdfObjectIDField* blob_id_ = nullptr;
  TQdfIntegerField* position_ = nullptr;
  TQdfByteArrayField* data_ = nullptr;
  TQdfIntegerField* blob_size_ = nullptr;
  TQdfObjectIDField* key_id_ = nullptr;
  TQdfIntegerField* key_position_ = nullptr;
};

// The ID as object-ID fields show it (their text form).
int64_t IDValue(const TObjectID& id) { return static_cast<int64_t>(LoadU64(id.data())); }

// Reads until `count` bytes arrived or the stream has no more.
int ReadFull(TBlobStream& stream, uint8_t* dest, int count) {
  int got = 0;
  while (got < count) {
    const int n = stream.Read(dest + got, count - got);
    if (n < 0 || n > count - got) {
      throw EQdfException(Format("Blob stream returned %d bytes for a read of %d", n, count - got));
    }
    if (n == 0) break;
    got += n;
  }
  return got;
}

// The chunks of a blob start at 0 with the head and follow each other
// without gaps; anything else is a damaged blob. Returns the index of the
// first chunk out of place (chunks.size() when all are sound).
size_t FirstBadChunk(const std::vector<TChunkInfo>& chunks, int64_t* expected) {
  *expected = 0;
  for (size_t i = 0; i < chunks.size(); ++i) {
    const TChunkInfo& c = chunks[i];
    if (c.position != *expected || (*expected == 0) != c.head || c.length <= 0) return i;
    *expected += c.length;
  }
  return chunks.size();
}

EQdfException DamagedBlob(const TObjectID& id, int32_t position, int64_t expected) {
  return EQdfException(Format("Blob %lld is damaged: chunk at %d where %lld was expected",
                              static_cast<long long>(IDValue(id)), position,
                              static_cast<long long>(expected)));
}

void CheckChunks(const std::vector<TChunkInfo>& chunks, const TObjectID& id) {
  int64_t expected = 0;
  const size_t bad = FirstBadChunk(chunks, &expected);
  if (bad < chunks.size()) throw DamagedBlob(id, chunks[bad].position, expected);
}

void TChunks::Copy(const TObjectID& from, const TObjectID& to) {
  Seek(from, -1);
  const std::vector<TChunkInfo> source = Collect(from);
  CheckChunks(source, from);
  if (source.empty()) return;
  const int32_t total = source.back().position + source.back().length;
  std::vector<uint8_t> bytes;
  for (const TChunkInfo& c : source) {
    MoveTo(c.adr);
    int length = 0;
    const uint8_t* data = data_->GetData(&length);
    bytes.assign(data, data + length);
    Append(to, c.position, bytes.data(), length, c.head ? total : -1);
  }
}

// Writes `total` bytes of `stream` as blob `id`, reusing the chunks there in
// order. Returns the bytes written (fewer when the stream ended early).
int32_t WriteChunks(TChunks& chunks, const TObjectID& id, TBlobStream& stream, int32_t total) {
  // The chunks there (of an earlier write in this edit) are reused in order,
  // so they must be sound: a damaged run is dropped and the value written
  // fresh.
  chunks.Seek(id, -1);
  const std::vector<TChunkInfo> existing = chunks.Collect(id);
  int64_t expected = 0;
  if (FirstBadChunk(existing, &expected) < existing.size()) {
    for (auto it = existing.rbegin(); it != existing.rend(); ++it) chunks.DeleteAt(it->adr);
  }
  chunks.Seek(id, 0);

  stream.Rewind();
  int32_t written = 0;
  std::vector<uint8_t> buffer;
  while (written < total) {
    const int32_t remaining = total - written;
    const bool reuse = chunks.AtChunkOf(id);
    int32_t capacity =
        reuse ? chunks.DataLength()
              : (total <= TQdfBlobField::kSingleChunkLimit ? total : TQdfBlobField::kChunkSize);
    if (capacity < TQdfBlobField::kMinChunkSize)
      capacity = std::max(capacity, std::min(TQdfBlobField::kMinChunkSize, remaining));
    // Never more than the stream announced: the value ends at `total`.
    capacity = std::min(capacity, remaining);
    buffer.resize(static_cast<size_t>(capacity));
    const int got = ReadFull(stream, buffer.data(), capacity);
    if (got == 0) break;
    const int32_t head_size = written == 0 ? total : -1;
    if (reuse) {
      chunks.Rewrite(written, buffer.data(), got, head_size);
    } else {
      chunks.Append(id, written, buffer.data(), got, head_size);
    }
    written += got;
    chunks.Next();
    if (got < capacity) break;  // the stream ended early
  }
  // What follows belongs to an older, longer value.
  chunks.DeleteFollowing(id);
  // A stream that ended early: the head tells what was really written.
  if (written > 0 && written < total) chunks.SetHeadSize(id, written);
  return written;
}

}  // namespace

// ---- memory stream ----

int TBlobMemoryStream::Read(uint8_t* dest, int count) {
  if (count <= 0 || position_ >= bytes_.size()) return 0;
  const size_t n = std::min(static_cast<size_t>(count), bytes_.size() - position_);
  std::memcpy(dest, bytes_.data() + position_, n);
  position_ += n;
  return static_cast<int>(n);
}

// ---- field ----

TQdfBlobField::~TQdfBlobField() { Unsubscribe(); }

std::string BlobTableDefect(TQdfTable& table) {
  try {
    TChunks chunks(table);
  } catch (const EQdfException& e) {
    return e.Message();
  }
  return std::string();
}

TQdfTable* TQdfBlobField::BlobTable() const {
  auto* storage = dynamic_cast<TQdfTableStore*>(Storage());
  return storage != nullptr ? storage->BlobTable() : nullptr;
}

TQdfTable* TQdfBlobField::OwnTable() const {
  return subscribed_ != nullptr && !subscription_.expired() ? dynamic_cast<TQdfTable*>(subscribed_)
                                                            : nullptr;
}

std::string TQdfBlobField::GetAsString() {
  std::string bytes;
  ReadBlob(bytes);
  return bytes;
}

void TQdfBlobField::SetAsString(const std::string& text) {
  TBlobMemoryStream stream(text);
  WriteBlob(stream);
}

void TQdfBlobField::Assign(TQdfField& other) {
  if (!other.IsKindOf(TQdfBlobField::kClassInfo)) {
    TQdfObjectIDField::Assign(other);
    return;
  }
  if (&other == this) return;
  CheckEdit();
  // By value: the source may lie in another database, and its blob is not
  // ours to share.
  std::string bytes;
  static_cast<TQdfBlobField&>(other).ReadBlob(bytes);
  SetAsString(bytes);
}

int32_t TQdfBlobField::BlobSize() {
  TQdfTable* table = BlobTable();
  if (table == nullptr || IsNull()) return 0;
  const TObjectID id = AsID();
  TChunks chunks(*table);
  chunks.Seek(id, 0);
  if (!chunks.AtChunkOf(id) || !chunks.AtHead() || chunks.Position() != 0) return 0;
  return chunks.HeadSize();
}

void TQdfBlobField::ReadBlob(std::string& out) {
  out.clear();
  TQdfTable* table = BlobTable();
  if (table == nullptr || IsNull()) return;
  const TObjectID id = AsID();
  TChunks chunks(*table);
  chunks.Seek(id, -1);
  while (chunks.AtChunkOf(id)) {
    const auto expected = static_cast<int64_t>(out.size());
    if (chunks.Position() != expected || chunks.AtHead() != out.empty() ||
        chunks.DataLength() <= 0) {
      const int32_t position = chunks.Position();
      out.clear();
      throw DamagedBlob(id, position, expected);
    }
    chunks.AppendData(out);
    chunks.Next();
  }
}

TObjectID TQdfBlobField::OwnBlob(TQdfTable& blob_table, bool copy) {
  if (pending_ && !IsNull() && AsID() == pending_id_) return pending_id_;
  // The field names the stored record's blob, another one, or none: this
  // edit writes a blob of its own. One an earlier write of this edit left
  // (the field was set to another value since) is of no use any more.
  if (pending_) {
    pending_ = false;
    DeleteChunks(pending_id_);
  }
  const TObjectID fresh = TQdfPersistentObjectFactory::Instance().NewObjectID();
  // Noted before anything is written, so that the edit's end takes back a
  // copy that failed half-way.
  pending_ = true;
  pending_id_ = fresh;
  if (copy && !IsNull()) {
    TChunks chunks(blob_table);
    chunks.Copy(AsID(), fresh);
  }
  SetAsID(fresh);
  return fresh;
}

void TQdfBlobField::WriteBlob(TBlobStream& stream) {
  const int64_t size = stream.Size();
  if (size < 0) {
    throw EQdfException(
        Format("Blob stream reports a negative size: %lld", static_cast<long long>(size)));
  }
  if (size == 0) {
    ClearBlob();
    return;
  }
  CheckEdit();
  if (size > kMaxBlobSize) {
    throw EQdfException(Format("Blob of %lld bytes is too large for %s: at most %lld bytes fit",
                               static_cast<long long>(size), ObjectName().c_str(),
                               static_cast<long long>(kMaxBlobSize)));
  }
  TQdfTable* table = BlobTable();
  if (table == nullptr) {
    throw EQdfException("Cannot write blob " + ObjectName() + ": the database has no $BLOB table");
  }
  TChunks chunks(*table);
  const TObjectID before = IsNull() ? TObjectID{} : AsID();
  const TObjectID id = OwnBlob(*table, false);
  try {
    // Nothing delivered at all: no blob.
    if (WriteChunks(chunks, id, stream, static_cast<int32_t>(size)) == 0) SetAsID(TObjectID{});
  } catch (...) {
    // The field keeps its value; the new blob's chunks go when the edit ends.
    if (before != id) SetAsID(before);
    throw;
  }
}

void TQdfBlobField::ClearBlob() {
  CheckEdit();
  if (pending_ && !IsNull() && AsID() == pending_id_) {
    pending_ = false;
    DeleteChunks(pending_id_);
  }
  if (!IsNull()) SetAsID(TObjectID{});
}

void TQdfBlobField::SetBlobSize(int32_t size) {
  if (size < 0) throw EQdfException(Format("Invalid blob size: %d", size));
  if (size == 0) {
    ClearBlob();
    return;
  }
  CheckEdit();
  TQdfTable* table = BlobTable();
  if (table == nullptr) {
    throw EQdfException("Cannot resize blob " + ObjectName() + ": the database has no $BLOB table");
  }
  const TObjectID id = OwnBlob(*table, true);
  TChunks chunks(*table);
  chunks.Seek(id, -1);
  const std::vector<TChunkInfo> all = chunks.Collect(id);
  CheckChunks(all, id);
  const int64_t length = all.empty() ? 0 : int64_t{all.back().position} + all.back().length;

  if (size < length) {
    // Chunks from `size` on go; the one that spans it is cut.
    for (auto it = all.rbegin(); it != all.rend() && it->position >= size; ++it) {
      chunks.DeleteAt(it->adr);
    }
    for (const TChunkInfo& c : all) {
      if (c.position < size && size < int64_t{c.position} + c.length) {
        chunks.ResizeData(c.adr, size - c.position);
      }
    }
  } else if (size > length) {
    // Zero bytes: the last chunk fills up first (a lone head to the
    // one-chunk limit, others to the chunk size), then new chunks follow.
    int64_t end = length;
    if (!all.empty()) {
      const TChunkInfo& last = all.back();
      const int64_t limit = all.size() == 1 ? kSingleChunkLimit : kChunkSize;
      const int64_t grown =
          std::min<int64_t>(std::max<int64_t>(last.length, limit), size - last.position);
      if (grown > last.length) {
        chunks.ResizeData(last.adr, static_cast<int32_t>(grown));
        end = last.position + grown;
      }
    }
    std::vector<uint8_t> zeros;
    while (end < size) {
      const int64_t piece =
          end == 0 && size <= kSingleChunkLimit ? size : std::min<int64_t>(kChunkSize, size - end);
      zeros.assign(static_cast<size_t>(piece), 0);
      chunks.Append(id, static_cast<int32_t>(end), zeros.data(), static_cast<int>(piece),
                    end == 0 ? size : -1);
      end += piece;
    }
  }
  chunks.SetHeadSize(id, size);
}

void TQdfBlobField::DeleteChunks(const TObjectID& id) {
  TQdfTable* table = BlobTable();
  if (table == nullptr) return;
  TChunks chunks(*table);
  chunks.Seek(id, -1);
  chunks.DeleteFollowing(id);
}

// ---- following the record ----

void TQdfBlobField::SetProvider(TQdfItemProvider* provider) {
  TQdfObjectIDField::SetProvider(provider);
  TQdfItemList* list = provider != nullptr ? provider->List() : nullptr;
  if (list == subscribed_ && (list == nullptr || !subscription_.expired())) return;
  Unsubscribe();
  if (list != nullptr) Subscribe(list);
}

void TQdfBlobField::Subscribe(TQdfItemList* list) {
  auto token = std::make_shared<const int>(0);
  TQdfEventListner& listener = list->Events().Add(this);
  listener.before_delete = [this, token](TQdfPersistentObject*, void*) { RecordDeleted(); };
  listener.before_post = [this, token](TQdfPersistentObject*, void* cls) { BeforePost(cls); };
  listener.posted = [this, token](TQdfPersistentObject*, void*) { Posted(); };
  listener.cancel = [this, token](TQdfPersistentObject*, void*) { Discard(); };
  subscribed_ = list;
  subscription_ = token;
}

void TQdfBlobField::Unsubscribe() {
  if (subscribed_ != nullptr && !subscription_.expired()) subscribed_->Events().Remove(this);
  subscribed_ = nullptr;
  subscription_.reset();
  pending_ = false;
  unowned_count_ = 0;
}

void TQdfBlobField::RecordDeleted() {
  // The cursor stands on the record being deleted; a record of a class
  // without this field reads null here.
  if (IsNull()) return;
  TQdfTable* table = BlobTable();
  if (table == nullptr || static_cast<TQdfItemList*>(table) == subscribed_) return;
  DeleteChunks(AsID());
}

void TQdfBlobField::BeforePost(void* record_class) {
  unowned_count_ = 0;
  auto* cls = static_cast<TQdfItemClass*>(record_class);
  const int index = FieldIndex();
  TQdfTable* own = OwnTable();
  TQdfTable* table = BlobTable();
  // Only the fields of the class being posted hold the record's values; a
  // replayed record comes with the chunk changes made where it was written.
  if (cls == nullptr || index < 0 || index >= cls->FieldCount() || cls->FieldAt(index) != this ||
      own == nullptr || own->Replaying() || table == nullptr || !InEditMode()) {
    // A blob this field wrote in the edit is then in no record.
    if (pending_) unowned_[unowned_count_++] = pending_id_;
    return;
  }
  // The stored record's blob: an insert has none.
  TObjectID stored{};
  int length = 0;
  const uint8_t* data = own->State() == kModeEdit ? RecordField(&length) : nullptr;
  const bool has_stored = data != nullptr && length == 8 && !ValueIsNull(data, length);
  if (has_stored) std::memcpy(stored.data(), data, 8);
  if (!IsNull()) {
    const TObjectID value = AsID();
    // Someone else's blob (a row copied by value, an ID set by hand): the
    // record gets a copy, so that deleting one never empties the other.
    if (!(has_stored && value == stored) && !(pending_ && value == pending_id_)) {
      OwnBlob(*table, true);
      if (BlobSize() == 0) SetAsID(TObjectID{});  // nothing was there: no blob
    }
  }
  const bool has_value = !IsNull();
  const TObjectID value = has_value ? AsID() : TObjectID{};
  if (has_stored && (!has_value || value != stored)) unowned_[unowned_count_++] = stored;
  if (pending_ && (!has_value || value != pending_id_)) unowned_[unowned_count_++] = pending_id_;
}

void TQdfBlobField::Posted() {
  const int count = unowned_count_;
  unowned_count_ = 0;
  pending_ = false;
  for (int i = 0; i < count; ++i) DeleteChunks(unowned_[i]);
}

void TQdfBlobField::Discard() {
  unowned_count_ = 0;
  if (!pending_) return;
  pending_ = false;
  DeleteChunks(pending_id_);
}

}  // namespace qdf
