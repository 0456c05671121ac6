// TQdfIndex: a B-tree of the keys of a table's records. A key holds the
// values of the key fields of one record and the record's address, so that
// walking the index visits the records in key order and a key search finds a
// record without scanning the table.
//
// Key structure: the child TQdfIndexObject "IDX$Order" whose fields are the
// key fields (with their directions) and whose BaseObjectClass names the
// record class covered; its subclass "IDX$Structure" adds the
// TQdfShortReferenceField "REF$<table>" holding the record's address. In a
// non-unique index REF$ is the last field of IDX$Order itself, which makes
// every key distinct. Key item: u16 length, u32 link, then the packed key
// (one field per field of the key structure).
//
// An index is also a cursor over its table: it can be positioned by key,
// restricted to a key range and moved First/Last/Next/Prior; each move puts
// the table's cursor on the record of the key.
//
// Maintenance: an index attached to a table listens to the table's events.
// Before a record of the covered class is written, a unique index tries the
// new key at once (so that a duplicate stops the post before the record is
// written, with "Duplicate Key in Index: <index> Value: <values>"); after the
// write the key gets the record's address. A post that fails in between
// takes the trial back. Deleting a record deletes its key.
//
// Bulk operations (copying rows into a table, deleting the rows of a filter)
// may defer the upkeep of a non-unique index: the keys of the records they
// insert and delete are collected, then sorted and applied in key order, so
// that each leaf of the tree is visited once in a row instead of once per
// record in random order.
//
// Search keys are encoded exactly as the key fields store their values, and
// compare field by field over the fields they have: a search key with fewer
// fields matches every key that begins with its values.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "list/BtreeList.h"
#include "object/QHBtreeList.h"
#include "record/DynamicKeyBuffer.h"

namespace qdf {

class TQdfField;
class TQdfIndexObject;
class TQdfItemClass;
class TQdfTable;
class TvNode;

class TQdfIndex : public TQdfBtreeList {
  QDF_CLASS_INFO(TQdfIndex)

 public:
  TQdfIndex();
  ~TQdfIndex() override;
  const TClassInfo& HeaderClass() const override { return TQHIndex::kClassInfo; }

  // Finds IDX$Order; without it the index has no structure and stays
  // inactive. Otherwise the key structure reads the index cursor and the
  // B-tree compares and separates with the key class.
  void Loaded() override;
  void ClearData() override;

  bool Active() const { return key_class_ != nullptr; }
  TQdfIndexObject* KeyClass() const { return key_class_; }
  // IDX$Structure (or IDX$Order when it has none).
  TQdfItemClass* KeyStructure() const { return structure_; }
  // The key fields (IDX$Order's fields) and all fields of the key structure.
  const std::vector<TQdfField*>& KeyFields() const;
  TQdfField* StructureField(int i) const;
  int StructureFieldCount() const;
  bool Unique() const { return !BtreeHeader()->AllowDuplicates() && reference_in_key_ < 0; }

  // ---- the table ----
  // Binds the key fields to the table's fields of the same name (the REF$
  // field takes the record address) and listens to the table's events.
  // False, and nothing bound, when the table's class tree lacks the covered
  // class or a key field (other than the reference) has no table field.
  bool AttachTable(TQdfTable* table);
  // Stops listening and unbinds (nothing when not attached to `table`).
  void DetachTable(TQdfTable* table);
  TQdfTable* Table() const { return table_; }
  // Listening to the table's events can be suspended (while a table empties).
  void SetListening(bool on);
  bool Listening() const { return listening_; }

  // ---- keys ----
  // The key of the key structure's field values (edit mode; trailing null
  // fields dropped with `trim`, at least one kept) in KeyBuffer(); the index
  // returns to browse mode. Returns the key's length.
  int BuildKeyFromFields(bool trim);
  // The key of the table's current record in KeyBuffer(); returns its length.
  int BuildKeyFromRecord();
  TDynamicKeyBuffer& KeyBuffer() { return key_buffer_; }
  // Values of the key fields of the key at `key` joined by "," ("Invalid
  // Key-Value" when one cannot be shown as text).
  std::string KeyText(const uint8_t* key);
  // The record address a key refers to (null when it has none).
  TItemAdr RecordOfKey(const uint8_t* key) const;
  // True when records of `record_class` have keys in this index (the table's
  // class it names, or one derived from it).
  bool Covers(const TQdfItemClass* record_class) const;

  // Empties the index and builds it again from every record of the table, in
  // physical order; with `restrict_to_class` only records of the covered
  // class or derived ones. A unique index raises "Duplicate Key in Index: %s
  // Value: %s" for two records with equal keys (and is left empty then).
  // REQUIRES: attached to a table.
  void Rebuild(bool restrict_to_class);

  // "a,DESC b": the key fields, descending ones (ascending ones when
  // `reversed`) prefixed with "DESC ".
  std::string OrderText(bool reversed) const;

  // ---- ranges ----
  // Keeps copies of the bounds (key items; nullptr: no bound).
  void SetRange(const uint8_t* low, const uint8_t* high);
  void ClearRange() { SetRange(nullptr, nullptr); }
  bool HasRange() const { return !low_.empty() || !high_.empty(); }
  // -1 below the lower bound, 1 above the upper bound, 0 inside; -2 for no key.
  // Only the fields a bound has are compared.
  int InRange(const uint8_t* key) const;

  // ---- cursor ----
  // Each move puts the table's cursor on the key's record; past the end the
  // index cursor is null (Eof), before the beginning it is the before-first
  // address (Bof).
  void First() override;
  void Next() override;
  void Last();
  void Prior();
  // Loads the current key's values into the key structure's fields, edit
  // mode. Raises "Cannot edit EOF: <adr>" past the end.
  void Edit();
  // Puts the key structure into insert mode with every field null.
  TQdfItemClass* Insert();
  // Writes the key built from the key structure's fields (mode 3 inserts,
  // mode 2 replaces the current key). A duplicate in a unique index raises
  // EAbort "Key Violation". The index returns to browse mode.
  void Post();
  void Cancel() override;
  // Deletes the key at the cursor; the cursor moves to the following key.
  void DeleteCurrent() override;
  int64_t Count() override;

  // Position on the key built from the key structure's fields (trailing nulls
  // dropped); both return whether an equal key exists.
  //   GotoKey(false): first key above the search key;
  //   GotoKey(true):  last key at or below it;
  //   GotoNearest(true):  first key at or above it;
  //   GotoNearest(false): last key below it.
  // Without `move_table` only the index cursor moves (a walk that reads the
  // keys first and the record later, or never).
  bool GotoKey(bool back, bool move_table = true);
  bool GotoNearest(bool forward, bool move_table = true);

  // Takes the search key from an index filter (query/IndexFilter.h): the
  // values of its key comparisons, evaluated now, in key order, up to the
  // last one that is not null. The key structure is left in insert mode
  // holding those values, so that GotoKey / GotoNearest position on them;
  // the key is also in KeyBuffer(). Returns the number of key fields given.
  // Raises EQdfException "Invalid Filter Type" for anything that is not an
  // index filter on this index's key fields. Carried out by the query layer
  // (table/TableQueries.h).
  int ApplyFilter(TvNode* filter);
  // Puts the values of the first `count` key fields (set through the key
  // structure in insert mode) into KeyBuffer() as the search key.
  void BuildSearchKey(int count);

  // From DeferUpkeep until ApplyDeferred, the keys of records the table
  // inserts and deletes are collected instead of changing the tree; an edit
  // of a record of the covered class applies them first. Meanwhile the tree
  // lacks them: the caller reads nothing through this index. DeferUpkeep
  // returns false and defers nothing for a unique index, which must refuse a
  // duplicate at the post. ApplyDeferred deletes the collected keys of
  // deleted records, then inserts the others, each set in key order, and
  // ends the deferral; it raises "Index <name> out of order" when a deleted
  // record's key is missing (the collected keys are dropped then).
  bool DeferUpkeep();
  void ApplyDeferred();
  bool Deferring() const { return deferring_; }
  // Bytes of the keys collected so far; FlushDeferred applies them as
  // ApplyDeferred does but goes on deferring.
  size_t DeferredBytes() const { return deferred_keys_.size(); }
  void FlushDeferred();

  // The index cursor's key item, or nullptr.
  uint8_t* CurrentKey() { return cursor_->Item(); }
  const TItemAdr& Position() const { return cursor_->Address(); }
  // Puts the index cursor on `adr` (a key address, null or before-first) and
  // the table's cursor on its record.
  void MoveTo(const TItemAdr& adr, bool move_table = true);
  // Moves the index cursor one key on (back with `backward`), ending the walk
  // outside the range as Next and Prior do, but leaves the table's cursor
  // where it is and does not follow it first: the caller walks the keys and
  // reads a record only for the keys it wants.
  void StepKey(bool backward);

  // Packed field `i` of the key structure in the key item `key` (nullptr and
  // length 0 when absent). Key fields hold the bytes the record holds.
  const uint8_t* KeyField(const uint8_t* key, int i, int* length) const;
  // The table field structure field `i` is built from (nullptr for the
  // record reference and for unlinked fields).
  TQdfField* LinkedField(int i) const {
    return i >= 0 && i < static_cast<int>(linked_.size()) ? linked_[static_cast<size_t>(i)]
                                                          : nullptr;
  }

 private:
  static int CompareRoutine(void* context, const uint8_t* item, const uint8_t* key);
  static int SeparatorRoutine(void* context, const uint8_t* left, const uint8_t* right,
                              uint8_t* out, int capacity);
  // Compares a key with another over the key fields, only the fields both have.
  int ComparePartial(const uint8_t* a, const uint8_t* b) const;
  // Brings the index cursor to the key of the table's current record when the
  // table's cursor stands elsewhere.
  void SyncWithTable();
  // Steps while the key is inside the range; null / before-first outside.
  void CheckRangeForward(TItemAdr& adr);
  void SetMode(int mode);
  // Loads the key at `key` into the key structure's fields.
  void LoadFields(const uint8_t* key);
  // Table events.
  void OnBeforePost(TQdfItemClass* record_class);
  void OnAfterPost();
  void OnAbandon();
  void OnBeforeDelete(TQdfItemClass* record_class);
  // Copies the key buffer (the buffer is reused by every search).
  std::vector<uint8_t> TakeKey();
  // Appends the key buffer to the deferred keys, under `offsets`.
  void DeferKey(std::vector<uint32_t>& offsets);

  TQdfIndexObject* key_class_ = nullptr;
  TQdfItemClass* structure_ = nullptr;
  std::vector<TQdfField*> structure_fields_;
  // For each structure field: the table field it is linked to (nullptr for
  // the reference and unlinked fields).
  std::vector<TQdfField*> linked_;
  int reference_field_ = -1;   // position of REF$ among the structure fields
  int reference_in_key_ = -1;  // position of REF$ among the key fields (non-unique)
  TDynamicKeyBuffer key_buffer_;
  TQdfTable* table_ = nullptr;
  TQdfItemClass* covered_ = nullptr;  // the table's class named by BaseObjectClass
  bool listening_ = false;
  bool pending_ = false;
  int pending_mode_ = 0;
  std::vector<uint8_t> stored_key_;  // an edited record's key as stored
  std::vector<uint8_t> low_, high_;
  // Deferred upkeep: key items one after another, and the offsets of the
  // keys to insert and of those to delete.
  bool deferring_ = false;
  std::vector<uint8_t> deferred_keys_;
  std::vector<uint32_t> deferred_inserts_, deferred_deletes_;
};

// Defers the upkeep of a table's non-unique indexes while it lives (see
// TQdfIndex::DeferUpkeep). Apply applies the collected keys and ends the
// deferral. When Apply is not reached (an error left the bulk operation),
// the destructor applies them, so that the records already written or
// removed keep their index consistent; an error there is traced.
class TDeferredIndexUpkeep {
 public:
  explicit TDeferredIndexUpkeep(TQdfTable& table);
  ~TDeferredIndexUpkeep();
  TDeferredIndexUpkeep(const TDeferredIndexUpkeep&) = delete;
  TDeferredIndexUpkeep& operator=(const TDeferredIndexUpkeep&) = delete;
  // Between rows, outside every reader bracket (the cache trims meanwhile):
  // applies the keys of each index that collected 1 MB of them.
  void Step();
  void Apply();

 private:
  std::vector<TQdfIndex*> indexes_;
};

}  // namespace qdf
