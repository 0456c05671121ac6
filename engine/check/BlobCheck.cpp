#include "check/BlobCheck.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

#include "base/Bytes.h"
#include "list/KeyCompare.h"
#include "object/PersistentObjectFactory.h"
#include "record/Fields.h"
#include "record/ItemClass.h"
#include "storage/Storage.h"
#include "table/BlobField.h"
#include "table/Table.h"

namespace qdf {

namespace {

std::string AdrText(const TItemAdr& adr) {
  return std::to_string(adr.page) + ":" + std::to_string(adr.slot);
}

// A blob ID as blob fields show it (their integer form).
std::string IDText(const TObjectID& id) {
  return std::to_string(static_cast<long long>(LoadU64(id.data())));
}

struct TChunkRec {
  TItemAdr adr;
  int32_t position;
  int32_t length;
  bool head;
  int32_t blob_size;  // heads only
};

// A record's field naming a blob.
struct TOwner {
  const TQdfTable* table;
  TItemAdr record;
  std::string field;
};

std::string OwnerText(const TOwner& o) {
  return "the record at " + AdrText(o.record) + " of " + o.table->FullName() + " (field " +
         o.field + ")";
}

class TBlobCheck {
 public:
  TBlobCheck(TQdfStorage& storage, const std::function<bool(const TQdfPersistentObject*)>& whole,
             TQdfCheckReport& report)
      : storage_(storage), whole_(whole), report_(report) {}

  // Reads every chunk of $BLOB; false when they could not all be read.
  bool CollectChunks(const TQdfTable& tmpl);
  // Walks the records of a table whose class tree has blob fields; false
  // when not all of them could be read.
  bool CollectOwners(const TQdfTable& tmpl);
  void CheckRuns();
  void ReportUnowned();

 private:
  // Opens a working instance of the table (nullptr, reported, on failure).
  std::unique_ptr<TQdfTable> Open(const TQdfTable& tmpl);
  // The FieldIndex and name of each blob field of `cls`.
  const std::vector<std::pair<int, std::string>>& BlobFieldsOf(const TQdfItemClass* cls);

  TQdfStorage& storage_;
  const std::function<bool(const TQdfPersistentObject*)>& whole_;
  TQdfCheckReport& report_;
  std::map<TObjectID, std::vector<TChunkRec>> chunks_;
  std::map<TObjectID, TOwner> owners_;
  std::unordered_map<const TQdfItemClass*, std::vector<std::pair<int, std::string>>> fields_;
};

std::unique_ptr<TQdfTable> TBlobCheck::Open(const TQdfTable& tmpl) {
  try {
    std::unique_ptr<TQdfPersistentObject> object = storage_.ObjectByPath(tmpl.FullName());
    if (object != nullptr && object->IsKindOf(TQdfTable::kClassInfo)) {
      std::unique_ptr<TQdfTable> table(static_cast<TQdfTable*>(object.release()));
      if (table->ItemClass() != nullptr) return table;
    }
  } catch (const std::exception&) {
    // The table check reports a table that cannot be opened.
  }
  return nullptr;
}

const std::vector<std::pair<int, std::string>>& TBlobCheck::BlobFieldsOf(const TQdfItemClass* cls) {
  auto [it, fresh] = fields_.try_emplace(cls);
  if (fresh) {
    for (int i = 0; i < cls->FieldCount(); ++i) {
      const TQdfField* f = cls->FieldAt(i);
      if (f->IsKindOf(TQdfBlobField::kClassInfo))
        it->second.emplace_back(f->FieldIndex(), f->ObjectName());
    }
  }
  return it->second;
}

bool TBlobCheck::CollectChunks(const TQdfTable& tmpl) {
  if (!whole_(&tmpl)) return false;
  std::unique_ptr<TQdfTable> table = Open(tmpl);
  if (table == nullptr) return false;
  TQdfItemClass* node = table->ItemClass();
  TQdfItemClass* head = node->ClassByName("TBlobClass");
  auto* blob_id = dynamic_cast<TQdfObjectIDField*>(node->FieldByName("BlobID"));
  auto* position = dynamic_cast<TQdfIntegerField*>(node->FieldByName("Position"));
  TQdfField* data = node->FieldByName("Data");
  auto* blob_size =
      head != nullptr ? dynamic_cast<TQdfIntegerField*>(head->FieldByName("BlobSize")) : nullptr;
  if (blob_id == nullptr || position == nullptr || data == nullptr || blob_size == nullptr) {
    report_.Add("$BLOB: lacks its chunk classes or fields; its chunks were not checked");
    return false;
  }
  table->SetCurrentIndex(nullptr);  // physical order: every record once
  try {
    for (table->First(); table->Cursor().Item() != nullptr; table->Next()) {
      const TQdfItemClass* cls = table->CursorClass();
      if (cls == nullptr) continue;  // the table check reports unknown classes
      const TItemAdr at = table->Cursor().Address();
      if (blob_id->IsNull()) {
        report_.Add("$BLOB: the chunk at " + AdrText(at) + " names no blob");
        continue;
      }
      int length = 0;
      data->GetData(&length);
      const bool is_head = head->IsKindOfClass(cls);
      chunks_[blob_id->AsID()].push_back(
          {at, position->AsInteger(), length, is_head, is_head ? blob_size->AsInteger() : 0});
    }
  } catch (const std::exception& e) {
    report_.Add(std::string("$BLOB: walking its chunks failed: ") + e.what());
    return false;
  }
  return true;
}

bool TBlobCheck::CollectOwners(const TQdfTable& tmpl) {
  std::unique_ptr<TQdfTable> table;
  if (whole_(&tmpl)) table = Open(tmpl);
  if (table == nullptr) return false;
  try {
    TItemAdr r = kBeforeFirstAdr;
    while (const uint8_t* record = table->NextItem(r)) {
      const TQdfItemClass* cls =
          table->ItemClass()->ClassByAddress(LoadAdr(record + kRecClassOffset));
      if (cls == nullptr) continue;  // the table check reports it
      const int body_size = LoadU16(record) - kRecBodyStart;
      for (const auto& [index, name] : BlobFieldsOf(cls)) {
        int length = 0;
        const uint8_t* value = body_size > 0
                                   ? BoundedField(record + kRecBodyStart, body_size, index, &length)
                                   : nullptr;
        if (value == nullptr || length != 8) continue;
        TObjectID id;
        std::memcpy(id.data(), value, 8);
        if (id == TObjectID{}) continue;  // null
        const TOwner owner{&tmpl, r, name};
        auto [it, fresh] = owners_.try_emplace(id, owner);
        if (!fresh) {
          report_.Add(tmpl.FullName() + ": " + OwnerText(owner) + " shares blob " + IDText(id) +
                      " with " + OwnerText(it->second));
        }
      }
    }
  } catch (const std::exception& e) {
    report_.Add(tmpl.FullName() + ": walking its records for their blobs failed: " + e.what());
    return false;
  }
  return true;
}

void TBlobCheck::CheckRuns() {
  for (auto& [id, run] : chunks_) {
    std::sort(run.begin(), run.end(), [](const TChunkRec& a, const TChunkRec& b) {
      return a.position != b.position ? a.position < b.position : a.head > b.head;
    });
    auto owner = owners_.find(id);
    const std::string name =
        "$BLOB: blob " + IDText(id) +
        (owner != owners_.end() ? " (of " + OwnerText(owner->second) + ")" : std::string());
    int64_t expected = 0;
    std::string fault;
    for (size_t i = 0; i < run.size() && fault.empty(); ++i) {
      const TChunkRec& c = run[i];
      const std::string at = std::to_string(c.position) + " (" + AdrText(c.adr) + ")";
      if (c.position != expected) {
        fault = "chunk at " + at + " where " + std::to_string(expected) + " was expected";
      } else if (c.head != (i == 0)) {
        fault = i == 0 ? "its first chunk, at " + at + ", is no head (TBlobClass)"
                       : "a second head at " + at;
      } else if (c.length <= 0) {
        fault = "the chunk at " + at + " is empty";
      }
      expected += c.length;
    }
    if (fault.empty() && run.front().blob_size != expected) {
      fault = "its head says " + std::to_string(run.front().blob_size) +
              " bytes, its chunks hold " + std::to_string(expected);
    }
    if (!fault.empty()) report_.Add(name + ": " + fault);
  }
}

void TBlobCheck::ReportUnowned() {
  for (const auto& [id, run] : chunks_) {
    if (owners_.count(id) != 0) continue;
    int64_t bytes = 0;
    for (const TChunkRec& c : run) bytes += c.length;
    report_.Add("$BLOB: blob " + IDText(id) + " (" + std::to_string(run.size()) +
                (run.size() == 1 ? " chunk, " : " chunks, ") + std::to_string(bytes) +
                " bytes) belongs to no record");
  }
}

bool HasBlobFields(const TQdfItemClass* cls) {
  for (int i = 0; i < cls->FieldCount(); ++i) {
    if (cls->FieldAt(i)->IsKindOf(TQdfBlobField::kClassInfo)) return true;
  }
  for (const TQdfItemClass* sub : cls->Subclasses()) {
    if (HasBlobFields(sub)) return true;
  }
  return false;
}

}  // namespace

void CheckBlobs(TQdfStorage& storage, const std::vector<TQdfTable*>& tables,
                const std::function<bool(const TQdfPersistentObject*)>& whole,
                TQdfCheckReport& report) {
  const TQdfTable* blob_tmpl = nullptr;
  if (TQdfTable* blob = storage.BlobTable()) {
    blob_tmpl = dynamic_cast<const TQdfTable*>(blob->ClassObject());
  }
  TBlobCheck check(storage, whole, report);
  // Every record is walked; whether a blob is nobody's is known only when
  // all of them could be.
  bool all_owners = true;
  for (const TQdfTable* t : tables) {
    if (t == blob_tmpl || t->ItemClass() == nullptr) continue;
    const TQdfItemClass* root =
        t->ItemClass()->RootClass() != nullptr ? t->ItemClass()->RootClass() : t->ItemClass();
    if (!HasBlobFields(root)) continue;
    all_owners = check.CollectOwners(*t) && all_owners;
  }
  if (blob_tmpl == nullptr || !check.CollectChunks(*blob_tmpl)) return;
  check.CheckRuns();
  if (all_owners) check.ReportUnowned();
}

}  // namespace qdf
