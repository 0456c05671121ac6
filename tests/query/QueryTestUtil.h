// A database for the query tests: class TRec (ThisID, k, a, b: integer, c:
// char, f: float, flag: boolean, r: object ID) with subclass TSub (d:
// integer), and the table t on TRec. Indexes are added by name and key list.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "EnvSize.h"
#include "list/ListTestUtil.h"
#include "query/QueryLayer.h"
#include "record/Fields.h"
#include "record/IndexObject.h"
#include "record/ItemClass.h"
#include "script/Node.h"
#include "storage/Storage.h"
#include "table/Index.h"
#include "table/Table.h"

namespace qdf_test {

struct TKey {
  const char* type;
  const char* name;
  bool ascending = true;
};

class TQueryDb {
 public:
  // Without `with_id`, TRec has no ThisID: a record can then be posted
  // without any value.
  explicit TQueryDb(TListFixture& fx, bool with_id = true) : storage(fx.New<qdf::TQdfStorage>()) {
    qdf::UseQueryLayer();            // filters of tables, without a system
    storage->OpenRoot(fx.Reader());  // with the object-ID index $ID
    qdf::TQdfStorage& s = *storage;
    s.CreateSchemaObject("TQdfItemClass", "TRec", false);
    if (with_id) s.CreateSchemaObject("TQdfObjectIDField", "ThisID", true);
    s.CreateSchemaObject("TQdfIntegerField", "k", true);
    s.CreateSchemaObject("TQdfIntegerField", "a", true);
    s.CreateSchemaObject("TQdfIntegerField", "b", true);
    s.CreateSchemaObject("TQdfCharField", "c", true);
    s.CreateSchemaObject("TQdfFloatField", "f", true);
    s.CreateSchemaObject("TQdfBooleanField", "flag", true);
    s.CreateSchemaObject("TQdfObjectIDField", "r", true);
    s.CreateSchemaObject("TQdfItemClass", "TSub", false);
    s.CreateSchemaObject("TQdfIntegerField", "d", true);
    s.PopUntil(nullptr);
    s.CreateSchemaObject("TQdfTable", "t", false)->SetProperties("BaseStructureName=TRec");
    s.PopUntil(nullptr);
  }

  // A non-unique index (or result set, by `kind`) under t (its last key
  // field is the record reference), or a unique one (the reference in
  // IDX$Structure).
  void AddIndex(const char* name, std::vector<TKey> keys, bool unique = false,
                const char* covered = "TRec", const char* kind = "TQdfIndex") {
    qdf::TQdfStorage& s = *storage;
    s.PushParent(s.ChildByName("t"));
    s.CreateSchemaObject(kind, name, false);
    s.CreateSchemaObject("TQdfIndexObject", "IDX$Order", false)
        ->SetProperties(std::string("BaseObjectClass=") + covered);
    for (const TKey& k : keys) {
      qdf::TQdfPersistentObject* f = s.CreateSchemaObject(k.type, k.name, false);
      f->SetProperties(k.ascending ? "ixAscending=True" : "ixAscending=False");
      s.Pop();
    }
    if (unique) s.CreateSchemaObject("TQdfItemClass", "IDX$Structure", false);
    s.CreateSchemaObject("TQdfShortReferenceField", "REF$t", true);
    s.PopUntil(nullptr);
  }

  std::unique_ptr<qdf::TQdfTable> Open() { return storage->TableByName("t"); }

  std::unique_ptr<qdf::TQdfStorage> storage;
};

// Class TDoc (name: char, body: blob with `body_properties`, and with `note`
// a second blob note) and a table on it for each of `tables`.
inline void BuildDocs(qdf::TQdfStorage& s, const std::vector<const char*>& tables,
                      const char* body_properties = "", bool note = false) {
  s.CreateSchemaObject("TQdfItemClass", "TDoc", false);
  s.CreateSchemaObject("TQdfCharField", "name", true);
  s.CreateSchemaObject("TQdfBlobField", "body", true)->SetProperties(body_properties);
  if (note) s.CreateSchemaObject("TQdfBlobField", "note", true);
  s.PopUntil(nullptr);
  for (const char* name : tables) {
    s.CreateSchemaObject("TQdfTable", name, false)->SetProperties("BaseStructureName=TDoc");
    s.PopUntil(nullptr);
  }
  s.StoreModified();
}

// Inserts a TDoc named `name` whose body holds `bytes`.
inline void AddDoc(qdf::TQdfTable& t, const std::string& name, const std::string& bytes) {
  t.Insert();
  t.FieldByName("name")->SetAsString(name);
  t.FieldByName("body")->SetAsString(bytes);
  t.Post();
}

// One record's values; nullopt is null (an empty text is a null char).
struct TRow {
  int k = 0;
  std::optional<int> a, b;
  std::string c;
  std::optional<double> f;
  std::optional<bool> flag;
};

inline qdf::TQdfField& Fld(qdf::TQdfTable& t, const char* name, qdf::TQdfItemClass* cls = nullptr) {
  qdf::TQdfField* f = (cls != nullptr ? cls : t.ItemClass())->FieldByName(name);
  EXPECT_NE(f, nullptr) << name;
  return *f;
}

inline void SetInt(qdf::TQdfTable& t, const char* name, std::optional<int> v,
                   qdf::TQdfItemClass* cls = nullptr) {
  if (v) static_cast<qdf::TQdfIntegerField&>(Fld(t, name, cls)).SetAsInteger(*v);
}

// Gives the record being inserted or edited the row's values but k; a null
// clears the field.
inline void Put(qdf::TQdfTable& t, const TRow& row, qdf::TQdfItemClass* cls = nullptr) {
  auto field = [&](const char* name, bool has) -> qdf::TQdfField* {
    qdf::TQdfField& f = Fld(t, name, cls);
    if (!has) f.Clear();
    return has ? &f : nullptr;
  };
  using qdf::TQdfIntegerField;
  if (auto* f = field("a", row.a.has_value()))
    static_cast<TQdfIntegerField*>(f)->SetAsInteger(*row.a);
  if (auto* f = field("b", row.b.has_value()))
    static_cast<TQdfIntegerField*>(f)->SetAsInteger(*row.b);
  if (auto* f = field("c", !row.c.empty())) f->SetAsString(row.c);
  if (auto* f = field("f", row.f.has_value()))
    static_cast<qdf::TQdfFloatField*>(f)->SetAsFloat(*row.f);
  if (auto* f = field("flag", row.flag.has_value())) {
    static_cast<qdf::TQdfBooleanField*>(f)->SetAsBoolean(*row.flag);
  }
}

// Inserts a record of `cls` (TRec when nullptr) with the row's values.
inline void Insert(qdf::TQdfTable& t, const TRow& row, qdf::TQdfItemClass* cls = nullptr) {
  t.Insert(cls);
  SetInt(t, "k", row.k, cls);
  Put(t, row, cls);
  t.Post();
}

// The k of every record a full scan accepts, in physical order.
inline std::vector<int> Scan(qdf::TQdfTable& t, qdf::TvNode* filter) {
  std::vector<int> out;
  auto& k = static_cast<qdf::TQdfIntegerField&>(Fld(t, "k"));
  for (t.First(); t.Cursor().Item() != nullptr; t.Next()) {
    qdf::EvaluateIfNeeded(filter);
    if (static_cast<qdf::TvBool*>(filter)->Bool()) out.push_back(k.AsInteger());
  }
  return out;
}

}  // namespace qdf_test
