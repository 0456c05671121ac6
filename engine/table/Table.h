// TQdfTable: a data list of records of one record class tree (the item class
// named by BaseStructureName and its subclasses), with a record cursor and an
// edit state: a record is inserted or edited by setting the fields of its
// class, then posted or cancelled. Posting packs the field values into a
// record item and tells the table's event listeners, through which the
// table's indexes and the object-ID index keep themselves in step.
//
// Record item (a data-list item):
//   0  u16 item length
//   2  u8 flags (data list)
//   3  6-byte header address of the record's class (u32 page, u16 slot)
//   9  u32 number of the transaction that wrote the record (its version)
//  13  packed item: the field values of the class in FieldIndex order; a
//      field absent from it is null.
//
// Applications open a table with TQdfStorage::TableByName, which hands out a
// working instance (owned by the caller); the stored table in the schema tree
// is its template.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/ItemAdr.h"
#include "list/DataList.h"
#include "object/QHStorage.h"

namespace qdf {

class TQdfField;
class TQdfIndex;
class TQdfInterfaceStruct;
class TQdfItemClass;
class TQdfTableStore;
class TQdfTable;
class TvNode;

inline constexpr int kRecClassOffset = 3;
inline constexpr int kRecVersionOffset = 9;
inline constexpr int kRecBodyStart = 13;

// Called for each record a filtered walk accepts, with the table's cursor on
// the record; setting `stop` ends the walk.
using TRecordVisitor = std::function<void(TQdfTable& table, bool& stop)>;

// What the visitor of a filtered walk needs of the records it is shown
// (TQdfTable::ForEachMatch). The defaults ask for everything.
struct TVisitNeeds {
  // With `reads_known` the visitor reads only `reads` (fields of the table's
  // record class) of the current record. A walk through an index that holds
  // them, and the fields of the filter, then answers from the keys: the
  // cursor stands on an image of the record (TQdfTable::SetCursorToImage)
  // and the record itself is not read.
  bool reads_known = false;
  std::vector<TQdfField*> reads;
  // The visitor relies on the key order of a walk through an index. Without
  // it the records of a key range are visited in page order, or the table
  // is read in physical order when the range covers most of it.
  bool ordered = true;
};

class TQdfTable : public TQdfDataList {
  QDF_CLASS_INFO(TQdfTable)

 public:
  TQdfTable();
  ~TQdfTable() override;
  const TClassInfo& HeaderClass() const override { return TQHTable::kClassInfo; }
  TQHTable* TableHeader() const { return static_cast<TQHTable*>(Header()); }

  // Binds the record class (a template's stored class, an instance's own
  // working copy of the class tree), the ThisID listener, the cursor of every
  // field, and attaches the child indexes. State becomes browse.
  void Loaded() override;

  // ---- records ----
  // Starts a new record of `cls` (the table's class when nullptr): every
  // field null, state insert. Raises "Try to append unknown class" for a
  // class that is not in the table's class tree. Returns the class used.
  TQdfItemClass* Insert(TQdfItemClass* cls = nullptr);
  // Insert of the class named `class_name`; returns its accessor (nullptr
  // when the class has none). Raises "Try to append unknown class: <name>".
  TQdfInterfaceStruct* InsertByName(const std::string& class_name);
  // Loads the fields of the current record, state edit; returns its class.
  // Raises "Already in Edit-Mode", "Cannot edit EOF: <adr>" and
  // "Item at: <adr> try to edit Unknown class: <class adr>".
  TQdfItemClass* Edit();
  // Writes the modified fields (nothing when none was modified) and tells the
  // listeners; the state is browse afterwards, also after an error.
  void Post();
  // Raises when the table lies on a database server (changes would not
  // reach it).
  void RequireLocalChanges() const;
  // Back to browse; unposted values are lost.
  void Cancel() override;
  // Deletes the current record (its keys first); with `move_on` the cursor
  // then holds the record that followed. Raises "Cannot delete EOF: <adr>".
  void Delete(bool move_on);
  // Deletes the current record; the cursor moves to the record that followed.
  void DeleteCurrent() override;
  // Deletes every record of `cls` (the table's class when nullptr) that
  // satisfies `filter` (every record when nullptr): the addresses are
  // collected first (from the keys alone when an index holds the filter's
  // fields), sorted, then deleted from the last to the first, each with its
  // keys and object-ID entry. Returns the number deleted.
  // (Carried out by the query layer: table/TableQueries.h.)
  int64_t DeleteWhere(std::unique_ptr<TvNode> filter, TQdfItemClass* cls = nullptr);
  // Empties the table. A working instance suspends its indexes, tells the
  // remaining listeners (the object-ID handler, indexes of other parents)
  // of every record's deletion, empties the suspended indexes and frees its
  // pages. A template empties its registered working instance, or a
  // temporary one.
  void ClearPages() override;
  // Replays a change made elsewhere (a server update list entry). `item` is
  // a record item (prefix and packed body); kinds 1 and 2 insert it (kind 2
  // tells the storage the pair of addresses), kind 3 writes the fields
  // marked in `field_mask` (bit i: field i; fields from 64 on are always
  // written) into the record at `adr`, kind 4 checks that the record at `adr`
  // is not newer than the item's version. Raises "Updating deleted Record",
  // "Record updated by another transaction" and "incompatible Classes".
  void ApplyUpdate(const TItemAdr& adr, int kind, const uint8_t* item, uint64_t field_mask);

  // ---- navigation (physical order without a current index) ----
  void First() override;
  void Next() override;
  void Last();
  void Prior();
  // Fills the cursor (cancelling an edit first, unless a post runs).
  void ReadItem(TQdfItemProvider& provider) override;
  // Entries of the current index, else the records of the list.
  int64_t Count() override;
  // Puts the cursor on `adr` (a record, the null or the before-first
  // address), cancelling an edit of another record. A cursor on an image
  // (SetCursorToImage) of that record reads the record.
  void SetCursorAddress(const TItemAdr& adr);
  // Physical-order scans read a page's records without looking the page up
  // per record. ScanPage: the buffer of `page` when it is a live page of this
  // table's chain (its slot count in *slots), else nullptr. The buffer stays
  // valid while ItemLayoutStamp() keeps the value it had after the call.
  uint8_t* ScanPage(uint32_t page, int* slots);
  // Puts the cursor on `adr`, a slot of the page whose still valid buffer
  // ScanPage gave; returns the record there (nullptr for a free slot).
  const uint8_t* SetCursorInPage(uint8_t* page_buf, const TItemAdr& adr);
  // Puts the cursor on the record at `adr` with `image` standing in for it:
  // a record item (prefix and packed body, laid out as stored) that holds
  // some of the record's fields, built by an index walk from a key. Fields
  // absent from the image read as null. The image must stay valid while the
  // cursor stands on it; it is dropped for the stored record when items move
  // (ItemLayoutStamp), and before Edit or Delete use the record.
  void SetCursorToImage(const TItemAdr& adr, uint8_t* image);
  // The cursor stands on an image (SetCursorToImage), not on the stored record.
  bool CursorOnImage() const { return on_image_; }

  // ---- state ----
  int State() const { return state_; }
  bool Busy() const { return busy_; }
  // True while ApplyUpdate replays a change made elsewhere: the record comes
  // as it was written there, values outside it included.
  bool Replaying() const { return replaying_; }
  TQdfItemClass* ItemClass() const { return item_class_; }
  // Class of the record the cursor stands on (or of the record being
  // inserted); nullptr when there is none.
  TQdfItemClass* CursorClass() const { return cursor_class_; }
  // The field of that name in the table's record class, or nullptr.
  TQdfField* FieldByName(const std::string& name) const;

  // ---- filters ----
  // Compiles a filter text against `cls` (the table's record class when
  // nullptr) with the shared query script; the caller owns the node. Raises
  // the parser's errors, and Exception "Filter is no boolean expression: "
  // with the text for an expression of another type.
  // (Carried out by the query layer: table/TableQueries.h.)
  std::unique_ptr<TvNode> CompileFilter(const std::string& text, TQdfItemClass* cls = nullptr);
  // Walks the records that satisfy `filter` (all when nullptr) through a filtered table
  // operation with `options` (3: choose an index, else physical order) and calls `visitor`
  // (may be empty) for each. With `deferred`, the addresses are collected as well and
  // `deferred` is then called for each from the last to the first (by descending address
  // when `needs` asks for no order), so that it may delete or change records. The visitor's
  // stop flag ends the walk (the deferred visitor then sees the rows found so far); the
  // deferred one's ends its own phase. `needs` may relax the order of the visits and the
  // reading of records (see TVisitNeeds).
  // (Carried out by the query layer: table/TableQueries.h.)
  void ForEachMatch(std::unique_ptr<TvNode> filter, uint8_t options, const TRecordVisitor& visitor,
                    const TRecordVisitor& deferred = nullptr, const TVisitNeeds& needs = {});

  // A field is dropped from a class: removes the value at `field_index`,
  // the last place of records of the classes with header addresses
  // `classes`, from every such record, so that a field created later in
  // that place starts out null. Returns the number of records rewritten.
  int64_t DropTrailingValues(const std::vector<TItemAdr>& classes, int field_index);

  // ---- indexes ----
  const std::vector<TQdfIndex*>& Indexes() const { return indexes_; }
  TQdfIndex* CurrentIndex() const { return current_index_; }
  void SetCurrentIndex(TQdfIndex* index) { current_index_ = index; }
  // The attached index of that name, or nullptr.
  TQdfIndex* IndexByName(const std::string& name) const;
  // Binds the index to this table (its key fields to the table's fields of
  // the same name) and lets it listen to the table's events; a child index
  // is added to Indexes(). Nothing when the index cannot be attached.
  void AttachIndex(TQdfIndex* index);
  // An attached index is going away: the table forgets it.
  void IndexRemoved(TQdfIndex* index);
  // Creates an index through a statement run by `parent` (the table's parent
  // when nullptr): `key_list` is "a, DESC b"; `class_name` the record class
  // (the table's class when empty). Returns the index (a working instance
  // attached to this table when the table is one), or nullptr for an unknown
  // field or class. Raises "<name> existiert bereits in <table>".
  TQdfIndex* CreateIndex(const std::string& name, const std::string& key_list, bool build,
                         TQdfPersistentObject* parent, bool unique, const std::string& class_name);

 private:
  // Cancels an edit or insert (navigation does this first).
  void CheckBrowse();
  // Fires one kind of event to every listener that has it.
  void Fire(TQdfEventListner::TNotify TQdfEventListner::*kind);
  // Tells abandon, last first, to listeners skip .. told-1 that were told
  // before_post. Errors are traced, not raised: the post's own error wins.
  void Abandon(size_t told, size_t skip = 0);
  // Takes back a record write whose post failed afterwards: a new record is
  // deleted, an edited one gets its previous bytes (undo_) again.
  void UndoWrite(const TItemAdr& adr, bool inserted);
  // Post's step that always runs: browse state, not busy.
  void EndPost();
  // Tells every listener that the edit or insert ended without a write.
  // Errors are traced, not raised: the table is browsing again either way.
  void FireCancel();
  // After a move: no record, no record class.
  void SyncCursorClass();
  // Releases the class binding, the listener and the indexes (Loaded binds
  // again; the destructor releases for good).
  void Unbind();
  TQdfTableStore* OwnStorage() const;
  // The ThisID handlers.
  void ThisIDInsert();
  void ThisIDBeforePost();
  void ThisIDAfterPost();
  void ThisIDBeforeDelete();
  void ThisIDAbandon();

  TQdfItemClass* item_class_ = nullptr;
  std::unique_ptr<TQdfPersistentObject> own_class_;  // an instance's class tree
  TQdfItemClass* cursor_class_ = nullptr;
  int state_ = kModeBrowse;
  bool busy_ = false;
  bool replaying_ = false;
  std::vector<TQdfIndex*> indexes_;  // children, not owned here
  TQdfIndex* current_index_ = nullptr;
  std::vector<std::pair<const uint8_t*, int>> field_data_;
  // The record being edited (null while inserting): reading it again (items
  // moved in memory) keeps the edit, reading another record cancels it.
  TItemAdr edit_adr_ = kNullAdr;
  // The edited record's bytes before the post, to take a failed post back.
  std::vector<uint8_t> undo_;
  // The running post entered its record's ID in the object-ID index.
  bool id_entered_ = false;
  // SetCursorInPage hands ReadItem the record it found already.
  bool preset_ = false;
  TItemAdr preset_adr_ = kNullAdr;
  uint8_t* preset_item_ = nullptr;
  // The preset item is an image, and the cursor holds one.
  bool preset_image_ = false;
  bool on_image_ = false;
  // Indexes outside this table attached by CreateIndex: their path in the
  // storage, so that they are detached only while they still exist.
  std::vector<std::pair<std::string, TQdfIndex*>> foreign_indexes_;
};

}  // namespace qdf
