// TQdfPersistentObject: base of everything stored in a database (the storage,
// tables, indexes, record classes, fields, lists), a node of the storage's
// object tree with a stored header item.
//
// Templates and instances: an object loaded from its header item or created
// by a statement is a template; it owns its header. CreateInstance clones a
// template subtree into working instances that share the templates' headers.
//
// Ownership: a parent owns its children (and frees them). An object without a
// parent is owned by whoever created it; SetParent(p) hands it to p, and
// SetParent(nullptr) hands it back to the caller. An instance whose parent is
// the storage is only registered there, not owned.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/HashList.h"
#include "base/ItemAdr.h"
#include "object/ClassInfo.h"
#include "object/QHPersistentObject.h"

namespace qdf {

// Process-wide counter that changes whenever the object tree may have
// changed: an object made or destroyed, a child added or removed, a header
// renamed or read again. Caches keyed by object pointers (the filter
// compiler's name table of a record class) compare it.
inline std::atomic<uint32_t> g_object_tree_epoch{1};
inline uint32_t ObjectTreeEpoch() { return g_object_tree_epoch.load(std::memory_order_acquire); }
inline void BumpObjectTreeEpoch() { g_object_tree_epoch.fetch_add(1, std::memory_order_acq_rel); }

class TQdfPageReader;
class TQdfPersistentObject;

// What persistent objects need from the storage that holds their header items.
class TQdfObjectStore {
 public:
  virtual ~TQdfObjectStore() = default;
  // The header item at `adr` (prefix included) and its length, or nullptr
  // when there is none. The pointer is valid until the next page access.
  virtual const uint8_t* ReadHeaderItem(const TItemAdr& adr, int* size) = 0;
  // Stores a header item at `adr`, appending a new item (and setting `adr`)
  // when it is null.
  virtual void WriteHeaderItem(TItemAdr& adr, const uint8_t* item, int size) = 0;
  virtual void DeleteHeaderItem(const TItemAdr& adr) = 0;
  // The schema changed in the running transaction.
  virtual void RecordSchemaChange() = 0;
  // Working instances handed out with the store as parent.
  virtual void RegisterInstance(TQdfPersistentObject* instance) = 0;
  // Frees every registered instance whose class object is `tmpl`.
  virtual void FreeInstancesOf(TQdfPersistentObject* tmpl) = 0;
  // The object is going away: drop it from the store's lists.
  virtual void ObjectRemoved(TQdfPersistentObject* object) = 0;
};

// One listener of a persistent object's events (tables fire them). Each
// callback is optional and gets the sender and the record class concerned;
// the subscriber key identifies the listener.
//
// A post tells every listener before_post, writes the record, then tells
// every listener after_post. When the post fails in between, the listeners
// that were told before_post are told abandon instead of after_post, so that
// they can take back what they prepared (an index's trial key).
//
// Every edit or insert ends in one of two ways, told to every listener:
// posted once a post has written the record and told everyone after_post;
// cancel when the edit ends with nothing written (Cancel, navigation, a post
// that failed or had nothing to write). Values a listener keeps outside the
// record (a blob's chunks) follow the record through these two.
struct TQdfEventListner {
  using TNotify = std::function<void(TQdfPersistentObject* sender, void* record_class)>;
  TNotify before_post;
  TNotify before_delete;
  TNotify after_post;
  TNotify insert;
  TNotify abandon;
  TNotify posted;
  TNotify cancel;
  const void* subscriber = nullptr;
};

class TQdfEvents {
 public:
  // The listener of `subscriber`, added when there is none yet.
  TQdfEventListner& Add(const void* subscriber);
  void Remove(const void* subscriber);
  TQdfEventListner* Find(const void* subscriber);
  const std::vector<std::unique_ptr<TQdfEventListner>>& Listeners() const { return list_; }

 private:
  std::vector<std::unique_ptr<TQdfEventListner>> list_;
};

class TQdfPersistentObject : public TObject {
  QDF_ROOT_CLASS_INFO(TQdfPersistentObject)

 public:
  TQdfPersistentObject();
  ~TQdfPersistentObject() override;
  TQdfPersistentObject(const TQdfPersistentObject&) = delete;
  TQdfPersistentObject& operator=(const TQdfPersistentObject&) = delete;

  // Creates an object of `info` through its virtual constructor: with a class
  // object it becomes an instance sharing that template's header, without one
  // a template with a new header of its own. nullptr for abstract classes.
  static std::unique_ptr<TQdfPersistentObject> Create(const TClassInfo& info,
                                                      TQdfPersistentObject* class_object);

  // ---- stored header ----
  // Reads the header item at Address() (defaults when there is none).
  virtual void LoadHeader();
  // Writes the header item (appending it when Address() is null).
  virtual void SaveHeader();
  // Called after the object was loaded or cloned.
  virtual void Loaded();
  // Releases what the object owns in the file besides its header.
  virtual void ClearData();
  // The header class of this object's class.
  virtual const TClassInfo& HeaderClass() const;

  // Clones this template subtree: a new instance of the same class with
  // `parent`, storage and page reader; children cloned in order; Loaded().
  // Raises "Class: <name> kann nicht generiert werden" when the class cannot
  // be constructed. The result belongs to `parent` (or to the caller when
  // parent is the storage or nullptr).
  TQdfPersistentObject* CreateInstance(TQdfPersistentObject* parent, TQdfObjectStore* storage,
                                       TQdfPageReader* reader);
  // Saves modified headers of the subtree (children first, numbering their
  // ParentIndex); with `skip_unmodified_schema`, unmodified schema objects are
  // skipped. Nothing on a read-only or shadow page reader.
  void Flush(bool skip_unmodified_schema);
  // Loads the headers of the subtree again (schema objects skipped on request).
  void Reload(bool skip_schema);
  // Deletes the object from the database: its data, its children, its
  // instances and its header item; then the object is freed. REQUIRES: the
  // object belongs to its parent, or (without a parent) the caller gave up
  // its ownership. Nothing happens on a read-only page reader.
  void DeleteObject();

  // ---- the tree ----
  TQdfPersistentObject* Parent() const { return parent_; }
  void SetParent(TQdfPersistentObject* parent);
  int ObjectsCount() const { return static_cast<int>(children_.size()); }
  TQdfPersistentObject* ChildAt(int i) const { return children_[static_cast<size_t>(i)]; }
  int IndexOfChild(const TQdfPersistentObject* child) const;
  TQdfPersistentObject* ChildByName(std::string_view name) const;
  // Follows a dotted path of child names; nullptr when a part is missing.
  TQdfPersistentObject* ChildByPath(std::string_view path) const;
  // The names from the topmost ancestor below the storage down to this, joined by ".".
  std::string FullName() const;
  // Applies "name=value;..." assignments to the header's published
  // properties; "child.name=value" reaches a child. Unknown names are skipped.
  void SetProperties(const std::string& text);
  // Keeps the parent's child index in step with a rename.
  void RenameInParent(const std::string& old_name, const std::string& new_name);

  // ---- context ----
  TQdfObjectStore* Storage() const { return storage_; }
  // Sets the storage on this object and every descendant.
  void SetStorage(TQdfObjectStore* storage);
  TQdfPageReader* PageReader() const { return page_reader_; }
  void SetPageReader(TQdfPageReader* reader);
  void RecordSchemaChange();

  TQHPersistentObject* Header() const { return header_; }
  bool IsTemplate() const { return is_template_; }
  TQdfPersistentObject* ClassObject() const { return class_object_; }
  const TItemAdr& Address() const { return header_->Address(); }
  const std::string& ObjectName() const { return header_->ObjectName(); }
  // True when the object is (or is an instance of) a class derived from `info`.
  bool IsKindOf(const TClassInfo& info) const { return ClassInfo()->InheritsFrom(&info); }
  TQdfEvents& Events();

  // The virtual constructor's body: header, template or instance state.
  // Called once, by the class's creator, right after the C++ constructor.
  virtual void Construct(TQdfPersistentObject* class_object);

 protected:
  // True while the page reader may write (not read-only, not shadow).
  bool CanWrite() const;
  // Takes a child out of this object's list (the caller owns it afterwards).
  void RemoveChild(TQdfPersistentObject* child);
  // A store that is itself a persistent object clears the storage links of its
  // tree with this before it goes away, so that destroying the tree does not
  // call back into a store that is being destroyed.
  void ForgetStorage() { SetStorage(nullptr); }

 private:
  void AddChild(TQdfPersistentObject* child);

  TQdfPersistentObject* parent_ = nullptr;
  TQdfObjectStore* storage_ = nullptr;
  TQdfPageReader* page_reader_ = nullptr;
  std::vector<TQdfPersistentObject*> children_;  // owned
  std::unique_ptr<THashList> child_index_;       // name -> child, made on first child
  std::unique_ptr<TQdfEvents> events_;
  TQHPersistentObject* header_ = nullptr;
  // The header belongs to the template; instances share it, so that an
  // instance that outlives its template still has a valid header.
  std::shared_ptr<TQHPersistentObject> header_holder_;
  TQdfPersistentObject* class_object_ = nullptr;
  bool is_template_ = true;
};

// Marker base of fields and item classes.
class TQdfSchemaObject : public TQdfPersistentObject {
  QDF_CLASS_INFO(TQdfSchemaObject)
};

// Defines T::kClassInfo for a persistent class with a default constructor.
#define QDF_DEFINE_PERSISTENT_CLASS(T, BASE)                             \
  const ::qdf::TClassInfo T::kClassInfo = {                              \
      #T, &BASE::kClassInfo,                                             \
      [](::qdf::TQdfPersistentObject* class_object) -> ::qdf::TObject* { \
        std::unique_ptr<T> o(new T());                                   \
        o->Construct(class_object);                                      \
        return o.release();                                              \
      },                                                                 \
      nullptr, 0}

}  // namespace qdf
