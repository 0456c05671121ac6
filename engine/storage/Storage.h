// TQdfStorage: the root object of one database. Its data list holds the
// header items of every persistent object of the database; its object tree
// holds the schema.
//
// This part covers what the object model needs: header items read, written
// and deleted through the storage's own data list, the schema change number,
// the registry of working instances, and creating or opening the root.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "list/DataList.h"
#include "object/PersistentObjectFactory.h"
#include "table/TableStore.h"

namespace qdf {

class TQHStorage;
class TQdfIndex;
class TQdfItemClass;
class TQdfTable;
struct TClassInfo;

class TQdfStorage : public TQdfDataList, public TQdfTableStore {
  QDF_CLASS_INFO(TQdfStorage)

 public:
  TQdfStorage();
  ~TQdfStorage() override;
  const TClassInfo& HeaderClass() const override;
  TQHStorage* Root() const;

  // ---- TQdfObjectStore ----
  const uint8_t* ReadHeaderItem(const TItemAdr& adr, int* size) override;
  void WriteHeaderItem(TItemAdr& adr, const uint8_t* item, int size) override;
  void DeleteHeaderItem(const TItemAdr& adr) override;
  void RecordSchemaChange() override;
  void RegisterInstance(TQdfPersistentObject* instance) override;
  void FreeInstancesOf(TQdfPersistentObject* tmpl) override;
  void ObjectRemoved(TQdfPersistentObject* object) override;

  // Opens the database on the reader: a new, empty file gets the bootstrap
  // schema ($ID, the blob classes, $BLOB with IDX_POSITION), an existing one
  // its root header and object tree. The reader must be in a write
  // transaction for a new file.
  virtual void OpenRoot(TQdfPageReader* reader);
  // Binds $ID and $BLOB and builds the address table.
  void Loaded() override;
  // Runs data-definition statements (see DdlStatements.h).
  void Execute(const std::string& text) override;

  // ---- hooks for the storage inside a transaction ----
  // The storage changed while its transaction was starting (a new database
  // got its schema): the transaction should commit and start again.
  virtual void ChangeHook() {}
  // A replayed record holds a reference that may name a replaced address:
  // the 24-byte description (table handle, record address, referenced
  // address, FieldIndex, class handle) is kept for fixing it up later.
  virtual void AddFixupReference(const uint8_t* record24) { (void)record24; }
  // A replayed change named `old_adr`; the record got `new_adr` here.
  void AddFixupAddress(const TItemAdr& old_adr, const TItemAdr& new_adr) override {
    (void)old_adr;
    (void)new_adr;
  }
  // True when the last OpenRoot created a new database.
  bool CreatedNew() const { return created_new_; }

  // Starts a new, empty database on the reader: the storage's header item
  // ("$ROOT") becomes the first item of the file, and its $SPARE is created.
  void CreateRoot(TQdfPageReader* reader);
  // Opens the root of an existing database: the header item is the first
  // item of the first data page (page 1, slot 0).
  void OpenRootHeader(TQdfPageReader* reader);
  // Loads the object tree of an opened root: every header item of the data
  // list becomes an object of the class it names, linked under the object at
  // its parent address in the order of its ParentIndex. Objects whose parent
  // is gone are orphans: their items are deleted when the reader may write.
  // Raises "Struktur kann nicht neu eingelesen werden" while working instances
  // exist, "Cannot create %s" for a class the factory does not know, and an
  // error while the reader's write transaction allocates through the
  // database's free list (a tree object the filer still uses).
  void LoadObjectTree();
  // The loaded object whose header item is at `adr`, or nullptr.
  TQdfPersistentObject* ObjectAt(const TItemAdr& adr) const;

  // ---- objects by name ----
  // A working instance of the object at `path` ("name" or "name.child"),
  // looked up under `start` (the storage when nullptr); item classes also
  // resolve their classes by name. A missing single name raises "Objekt: <path>
  // existiert nicht."; a missing later part gives nullptr. The caller owns the
  // result.
  std::unique_ptr<TQdfPersistentObject> ObjectByPath(
      std::string_view path, TQdfPersistentObject* start = nullptr) override;
  // A new working instance of the table `name` (owned by the caller). Raises
  // "Objekt: <name> existiert nicht." and "<name> ist keine Tabelle".
  std::unique_ptr<TQdfTable> TableByName(std::string_view name);
  // The item class "Class" or "Class.Subclass", or nullptr.
  TQdfItemClass* ClassByPath(std::string_view path) const override;
  // The registered instance made from `tmpl`, or nullptr.
  TQdfPersistentObject* FindInstance(const TQdfPersistentObject* tmpl) const override;

  // ---- schema statements ----
  // The top of the parent stack (the storage when it is empty).
  TQdfPersistentObject* Top() const;
  // Removes the top, records a schema change, stores the modified objects
  // when the stack became empty, and finishes the object (Loaded).
  void Pop();
  // Pops until `object` was popped (nullptr: until the stack is empty).
  void PopUntil(TQdfPersistentObject* object);
  // Empties the stack, then pushes the object's template.
  void PushParent(TQdfPersistentObject* object);
  // Creates a schema object of `class_name` named `object_name` under Top(),
  // saves its header and pushes it (popping it at once with pop_at_once).
  // Raises "<name> existiert bereits in <parent>" and "Class: <class>
  // kann nicht generiert werden".
  TQdfPersistentObject* CreateSchemaObject(const std::string& class_name,
                                           const std::string& object_name, bool pop_at_once);
  // Saves the headers of the modified objects; unmodified schema objects are
  // skipped unless the schema changed in this transaction. Only while the
  // reader may write and no statement runs.
  void StoreModified();
  // Loads every header of the tree again (schema objects skipped on request).
  void Refresh(bool skip_schema);
  int nesting_count = 0;

  // ---- object IDs ----
  // The storage's working instances of $ID and $BLOB (nullptr before OpenRoot).
  TQdfIndex* IDIndex() const { return id_index_.get(); }
  TQdfTable* BlobTable() const override { return blob_table_.get(); }
  TQdfPersistentObject* RootObject() override { return this; }
  // The address of the record with object ID `id` through $ID; false (and
  // the null address) when the ID is not there.
  bool AddressOfID(const TObjectID& id, TItemAdr* adr);
  // The table holding the record at `adr`, its cursor on that record; nullptr
  // when no table of this storage owns the record's page.
  TQdfTable* RecordAt(const TItemAdr& adr);
  // RecordAt of the address of `id`; nullptr when the ID is not there.
  TQdfTable* RecordByID(const TObjectID& id);
  // Enters `id` -> `adr` in $ID; false when $ID refuses it (the ID is there
  // already). True without an $ID.
  bool InsertIDEntry(const TObjectID& id, const TItemAdr& adr) override;
  // Removes the entry of `id` from $ID; false when it is missing. True
  // without an $ID.
  bool DeleteIDEntry(const TObjectID& id) override;
  // Walks $ID and counts the entries whose record is gone or carries another
  // ThisID; with `remove` those entries are deleted. Returns the count.
  int RebuildIDIndex(bool remove);
  // Rebuilds the index at `path` ("table.index"; "$ID" rebuilds the object-ID
  // index). Raises "Objekt: <path> ist kein Index" for anything else.
  void RebuildIndexAt(std::string_view path);

  // ---- item classes from accessor classes ----
  // The statements that create the item classes of the accessor class chain
  // of `accessor` (below TQdfInterfaceStruct, without TQdfInterfaceObject)
  // that do not exist yet; empty when all exist. `options` (may be empty) is
  // appended to every class definition as a settings group.
  std::string ItemClassStatements(const TClassInfo& accessor, const std::string& options) const;
  // Runs those statements.
  void GenerateItemClasses(const TClassInfo& accessor, const std::string& options = "");

  // Address of the root header item of every database.
  static TItemAdr RootAddress() { return TItemAdr{1, 0}; }

  // The schema's change number: the transaction that last changed it.
  uint32_t SchemaTAN() const;

  const std::vector<TQdfPersistentObject*>& Instances() const { return instances_; }

 protected:
  bool KeepSpareApart() const override { return true; }

 private:
  // The bootstrap schema of a new database.
  void Bootstrap();
  // Binds $ID and $BLOB (working instances) once the tree is there.
  void BindSystemObjects();
  void ReleaseSystemObjects();
  // The address table from the whole tree / one new object entered.
  void RebuildAddressTable();
  void AddToAddressTable(TQdfPersistentObject* object);
  // The $ID key of `id` (and `adr` when given) in $ID's key buffer.
  int BuildIDKey(const TObjectID& id, const TItemAdr* adr);

  bool created_new_ = false;
  std::vector<TQdfPersistentObject*> instances_;  // not owned
  std::unique_ptr<TQdfIndex> id_index_;
  std::unique_ptr<TQdfTable> blob_table_;
  std::vector<TQdfPersistentObject*> parent_stack_;
  // Every loaded object by the address of its header item, sorted by address.
  std::vector<std::pair<TItemAdr, TQdfPersistentObject*>> address_table_;
};

// Why `name` cannot name a schema object, or nullptr when it can: paths
// join names with ".", so a name holding one could never be found again by
// its path (tables are opened that way), and a zero byte would end the
// stored name early.
const char* ObjectNameDefect(std::string_view name);

// `name` for a message: a zero byte shows as "\0".
std::string PrintableName(std::string_view name);

}  // namespace qdf
