#include "storage/DdlStatements.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <optional>
#include <utility>

#include "base/HashList.h"
#include "base/Helpers.h"
#include "base/QdfException.h"
#include "object/QHStorage.h"
#include "record/Field.h"
#include "record/IndexObject.h"
#include "record/ItemClass.h"
#include "record/KeyList.h"
#include "storage/SchemaCheck.h"
#include "storage/Storage.h"
#include "table/BlobField.h"
#include "table/Index.h"
#include "table/Table.h"

namespace qdf {

// ---- lexical structure ----

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

bool IsCommentAt(const std::string& text, size_t i) {
  return text[i] == '/' && i + 1 < text.size() && text[i + 1] == '/';
}

// Keeps the nesting of parentheses and brackets. A stray closer does not
// count below zero, so that it cannot swallow the statements that follow.
struct TNesting {
  int parens = 0;
  int brackets = 0;

  void Count(char c) {
    switch (c) {
      case '(':
        ++parens;
        break;
      case ')':
        if (parens > 0) --parens;
        break;
      case '[':
        ++brackets;
        break;
      case ']':
        if (brackets > 0) --brackets;
        break;
      default:
        break;
    }
  }
  bool Outside() const { return parens == 0 && brackets == 0; }
};

// True when `text` holds a character above the blank outside "//" comments.
bool HasContent(const std::string& text) {
  bool comment = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      comment = false;
    } else if (!comment && IsCommentAt(text, i)) {
      comment = true;
      ++i;
    } else if (!comment && !IsBlank(c)) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string NextStatement(std::string& text) {
  TNesting nesting;
  bool comment = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      comment = false;
    } else if (IsCommentAt(text, i)) {
      comment = true;
      ++i;
    } else if (c == ';') {
      if (!comment && nesting.Outside()) {
        std::string statement = text.substr(0, i);
        text.erase(0, i + 1);
        return statement;
      }
    } else {
      nesting.Count(c);  // in comments too
    }
  }
  std::string statement = HasContent(text) ? Trim(text) : std::string();
  text.clear();
  return statement;
}

std::string NextWord(std::string& text, std::string* kind) {
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    if (IsBlank(text[i])) {
      ++i;
    } else if (IsCommentAt(text, i)) {
      i += 2;
      while (i < n && text[i] != '\r' && text[i] != '\n') ++i;
    } else {
      break;
    }
  }
  std::string word;
  std::string word_kind;
  if (i >= n) {
    text.clear();
  } else if (text[i] == '(' || text[i] == '[') {
    const char close = text[i] == '(' ? ')' : ']';
    TNesting nesting;
    size_t end = n;  // a group never closed runs to the end
    for (size_t j = i; j < n; ++j) {
      nesting.Count(text[j]);
      if (text[j] == close && nesting.Outside()) {
        end = j;
        break;
      }
    }
    word_kind.assign(1, text[i]);
    word = text.substr(i + 1, end - i - 1);
    text.erase(0, end < n ? end + 1 : n);
  } else if (text[i] == ';') {
    word_kind = ";";
    text.erase(0, i + 1);
  } else {
    size_t j = i;
    while (j < n && !IsBlank(text[j]) && text[j] != '(' && text[j] != '[' && text[j] != ';' &&
           !IsCommentAt(text, j)) {
      ++j;
    }
    word = text.substr(i, j - i);
    word_kind = word;
    // The blank that ended the word goes with it; "(", "[", ";" and "//"
    // stay for the next call.
    if (j < n && IsBlank(text[j])) ++j;
    text.erase(0, j);
  }
  if (kind != nullptr) *kind = std::move(word_kind);
  return word;
}

// ---- statements ----

namespace {

enum TKeyword : int { kNoKeyword = 0, kIndex = 1, kTable = 2, kUnique = 3, kOn = 4 };

// The keyword table: "INDEX", "TABLE", "UNIQUE", "ON", without regard to case.
class TKeywordTable : public THashList {
 public:
  TKeywordTable() : THashList(&CaseInsensitiveTraits(), 100) {
    Add("INDEX", const_cast<int*>(&kValues[kIndex]));
    Add("TABLE", const_cast<int*>(&kValues[kTable]));
    Add("UNIQUE", const_cast<int*>(&kValues[kUnique]));
    Add("ON", const_cast<int*>(&kValues[kOn]));
  }
  ~TKeywordTable() override { Clear(); }

  // The keyword `word` stands for; kNoKeyword for any other word.
  int ValueOf(const std::string& word) const {
    const void* data = Get(word);
    return data != nullptr ? *static_cast<const int*>(data) : kNoKeyword;
  }

 private:
  static constexpr int kValues[] = {kNoKeyword, kIndex, kTable, kUnique, kOn};
};

int KeywordOf(const std::string& word) {
  static const TKeywordTable table;
  return table.ValueOf(word);
}

// Raises "Unexpected keyword before ^<word> <rest>".
[[noreturn]] void UnexpectedKeyword(const std::string& word, const std::string& rest) {
  throw EQdfException::FmtHelp(kHelpSyntax, "Unexpected keyword before ^%s %s", word.c_str(),
                               rest.c_str());
}

// Reads definitions from `text` and creates them under the top of the parent
// stack: "Type Name [settings] (children)", definitions separated by ";".
// `first_word`/`first_kind` is a word already read (none when the kind is
// empty). `expected` is the number of definitions required (0: any). The
// last definition may stay on the parent stack; the caller pops it.
void DefineObjects(TQdfStorage& storage, std::string& text, std::string first_word,
                   std::string first_kind, int expected) {
  TQdfPersistentObject* current = nullptr;  // defined last, not yet closed
  int count = 0;
  std::string last_name;
  bool have_first = !first_kind.empty();
  for (;;) {
    std::string word;
    std::string kind;
    if (have_first) {
      word = std::move(first_word);
      kind = std::move(first_kind);
      have_first = false;
    } else {
      word = NextWord(text, &kind);
    }
    kind = Trim(kind);
    if (kind.empty()) break;
    if (kind == "(") {
      if (current == nullptr)
        throw EQdfException::FmtHelp(kHelpSyntax, "Error in DDL: Create ^(%s)", word.c_str());
      DefineObjects(storage, word, std::string(), std::string(), 0);  // children of current
      storage.PopUntil(current);
      current = nullptr;
    } else if (kind == ";") {
      if (current != nullptr) storage.PopUntil(current);
      current = nullptr;
    } else if (kind == "[") {
      if (current == nullptr)
        throw EQdfException::FmtHelp(kHelpSyntax, "Error in DDL: Create ^[%s]", word.c_str());
      current->SetProperties(word);
    } else {
      const std::string& type = kind;
      if (expected != 0 && count >= expected) {
        throw EQdfException::FmtHelp(kHelpSyntax, "Unexpected Definition: %s", last_name.c_str());
      }
      std::string name = NextWord(text, nullptr);
      if (Trim(name).empty()) {
        throw EQdfException::FmtHelp(kHelpSyntax, "Unexpected DDL: %s %s", type.c_str(),
                                     text.c_str());
      }
      if (current != nullptr) {
        throw EQdfException::FmtHelp(kHelpSyntax, "Unexpected DDL: %s %s %s", type.c_str(),
                                     name.c_str(), text.c_str());
      }
      current = storage.CreateSchemaObject(type, name, false);
      last_name = std::move(name);
      ++count;
    }
  }
  if (expected != 0 && count != expected) {
    throw EQdfException("Create: \"Type\" \"Name\" expected", kHelpSyntax);
  }
}

void CreateStatement(TQdfStorage& storage, std::string& text);

// "create table Name on ClassName": a TQdfTable whose BaseStructureName names
// the record class. Anything after the class name is dropped.
void CreateTable(TQdfStorage& storage, std::string& text) {
  const std::string name = NextWord(text, nullptr);
  std::string on_kind;
  const std::string on_word = NextWord(text, &on_kind);
  if (KeywordOf(on_kind) != kOn) {
    throw EQdfException::FmtHelp(kHelpSyntax, "create Table %s ^ON expected. Found: %s",
                                 name.c_str(), on_word.c_str());
  }
  const std::string class_name = NextWord(text, nullptr);
  // A table without its class could hold no record and would lose its class
  // for good at the next load.
  if (storage.ClassByPath(class_name) == nullptr) {
    throw EQdfException::FmtHelp(kHelpUnknownName, "create Table %s on ^%s: unknown record class",
                                 name.c_str(), class_name.c_str());
  }
  std::string definition =
      Format("TQdfTable %s [BaseStructureName=%s]", name.c_str(), class_name.c_str());
  CreateStatement(storage, definition);
}

// Names the first key field (or the record class) of an index definition
// that the table's record class does not have.
void CheckKeyList(const TQdfTable& table, const std::string& name, const std::string& key_list,
                  const std::string& class_name) {
  const TQdfItemClass* cls = table.ItemClass();
  if (cls != nullptr && !class_name.empty()) cls = cls->ClassByName(class_name);
  if (cls == nullptr) {
    throw EQdfException::Fmt(
        "create index %s on %s [^%s]: unknown record class", name.c_str(),
        table.ObjectName().c_str(),
        (class_name.empty() ? table.TableHeader()->BaseStructureName() : class_name).c_str());
  }
  for (const TKeyListItem& key : SplitKeyList(key_list)) {
    const std::string& item = key.name;
    if (cls->FieldByName(item) == nullptr) {
      throw EQdfException::FmtHelp(
          kHelpUnknownName, "create index %s on %s (^%s): unknown field of %s", name.c_str(),
          table.ObjectName().c_str(), item.c_str(), cls->ObjectName().c_str());
    }
  }
}

// "create [unique] index Name on Table [ClassName] (key list)": the table
// creates the index in its own parent and builds it at once.
void CreateIndex(TQdfStorage& storage, std::string& text, bool unique) {
  const std::string name = NextWord(text, nullptr);
  std::string kind;
  std::string word = NextWord(text, &kind);
  if (KeywordOf(kind) != kOn) {
    throw EQdfException::FmtHelp(kHelpSyntax, "create index %s ^ON expected. Found: %s",
                                 name.c_str(), word.c_str());
  }
  const std::string table_name = NextWord(text, nullptr);
  TQdfPersistentObject* found = storage.ChildByName(table_name);
  if (found == nullptr || !found->IsKindOf(TQdfTable::kClassInfo)) {
    throw EQdfException::Fmt("create index %s: %s ist keine Tabelle", name.c_str(),
                             table_name.c_str());
  }
  auto* table = static_cast<TQdfTable*>(found);
  std::string class_name;
  word = NextWord(text, &kind);
  if (kind == "[") {
    class_name = word;
    word = NextWord(text, &kind);
  }
  if (kind != "(") {
    throw EQdfException::FmtHelp(kHelpSyntax, "create index %s on %s ^( expected. Found: %s",
                                 name.c_str(), table->ObjectName().c_str(), word.c_str());
  }
  CheckKeyList(*table, name, word, class_name);
  // CreateIndex answers an unknown key field or record class with nullptr;
  // the statement must not pass as done then.
  if (table->CreateIndex(name, word, true, table->Parent(), unique, class_name) == nullptr) {
    throw EQdfException::FmtHelp(kHelpUnknownName,
                                 "create index %s on %s (^%s): unknown field or record class",
                                 name.c_str(), table->ObjectName().c_str(), word.c_str());
  }
}

// CREATE: "UNIQUE" and "ON" are collected until "INDEX", "TABLE" or a type
// name decides the form. The parent stack is empty afterwards.
void CreateStatement(TQdfStorage& storage, std::string& text) {
  bool unique = false;
  bool on = false;
  std::string word;
  std::string kind;
  int keyword = kNoKeyword;
  for (;;) {
    word = NextWord(text, &kind);
    keyword = KeywordOf(kind);
    if (keyword == kUnique) {
      unique = true;
    } else if (keyword == kOn) {
      on = true;
    } else {
      break;
    }
  }
  if (keyword == kIndex) {
    if (on) UnexpectedKeyword(word, text);
    CreateIndex(storage, text, unique);
  } else if (keyword == kTable) {
    if (unique || on) UnexpectedKeyword(word, text);
    CreateTable(storage, text);
  } else {
    if (unique || on) UnexpectedKeyword(word, text);
    DefineObjects(storage, text, word, kind, 1);
    storage.PopUntil(storage.Top());
  }
  storage.PopUntil(nullptr);
}

// PARENT Path: the following definitions are created inside that object.
void ParentStatement(TQdfStorage& storage, std::string& text) {
  const std::string path = NextWord(text, nullptr);
  TQdfPersistentObject* object = storage.ChildByPath(path);
  if (object == nullptr)
    throw EQdfException::FmtHelp(kHelpUnknownName, "Unknown Parent: %s", path.c_str());
  storage.PushParent(object);
}

// Calls `visit` for every table in the tree below `node`.
void ForEachTable(const TQdfPersistentObject& node, const std::function<void(TQdfTable&)>& visit) {
  for (int i = 0; i < node.ObjectsCount(); ++i) {
    TQdfPersistentObject* child = node.ChildAt(i);
    if (child->IsKindOf(TQdfTable::kClassInfo)) visit(static_cast<TQdfTable&>(*child));
    ForEachTable(*child, visit);
  }
}

// The record class a table names, resolved as the table resolves it.
const TQdfItemClass* ClassOfTable(const TQdfStorage& storage, const TQdfTable& table) {
  return storage.ClassByPath(table.TableHeader()->BaseStructureName());
}

// Refuses drops that would leave the database unable to load or its records
// without their class.
void CheckDrop(const TQdfStorage& storage, const TQdfPersistentObject& object,
               const std::string& path) {
  if (IsSystemObject(storage, object)) {
    throw EQdfException::Fmt("drop ^%s: the database's own objects cannot be dropped",
                             path.c_str());
  }
  const TQdfPersistentObject* parent = object.Parent();
  if (object.IsKindOf(TQdfField::kClassInfo) && parent != nullptr &&
      parent->IsKindOf(TQdfItemClass::kClassInfo)) {
    // FieldIndex numbers must stay without gaps; only the last field of a
    // class tree's branch can go.
    const auto& field = static_cast<const TQdfField&>(object);
    std::function<int(const TQdfItemClass*)> last = [&](const TQdfItemClass* c) {
      int n = c->FieldCount() - 1;
      for (const TQdfItemClass* sub : c->Subclasses()) n = std::max(n, last(sub));
      return n;
    };
    const int highest = last(static_cast<const TQdfItemClass*>(parent));
    if (field.FieldIndex() < highest) {
      throw EQdfException::FmtHelp(kHelpConstraint,
                                   "drop ^%s: fields follow it in the record (FieldIndex %d of %d)",
                                   path.c_str(), field.FieldIndex(), highest);
    }
  }
  if (object.IsKindOf(TQdfItemClass::kClassInfo) && !object.IsKindOf(TQdfIndexObject::kClassInfo)) {
    const TQdfItemClass* root = static_cast<const TQdfItemClass&>(object).RootClass();
    ForEachTable(storage, [&](TQdfTable& table) {
      const TQdfItemClass* used = ClassOfTable(storage, table);
      if (used != nullptr && root != nullptr && used->RootClass() == root) {
        throw EQdfException::FmtHelp(kHelpConstraint,
                                     "drop ^%s: the record class is used by table %s", path.c_str(),
                                     table.FullName().c_str());
      }
    });
  }
  if (object.IsKindOf(TQdfField::kClassInfo) && parent != nullptr &&
      parent->IsKindOf(TQdfItemClass::kClassInfo) &&
      !parent->IsKindOf(TQdfIndexObject::kClassInfo)) {
    // An index keeps the field's values in its keys; without the field it
    // could no longer follow its table.
    const TQdfItemClass* root = static_cast<const TQdfItemClass*>(parent)->RootClass();
    ForEachTable(storage, [&](TQdfTable& table) {
      const TQdfItemClass* used = ClassOfTable(storage, table);
      if (used == nullptr || used->RootClass() != root) return;
      for (int i = 0; i < table.ObjectsCount(); ++i) {
        const TQdfPersistentObject* child = table.ChildAt(i);
        if (!child->IsKindOf(TQdfIndex::kClassInfo)) continue;
        const auto& index = static_cast<const TQdfIndex&>(*child);
        for (int k = 0; k < index.StructureFieldCount(); ++k) {
          if (SameText(index.StructureField(k)->ObjectName(), object.ObjectName())) {
            throw EQdfException::FmtHelp(kHelpConstraint,
                                         "drop ^%s: index %s keys the field; drop the index first",
                                         path.c_str(), index.FullName().c_str());
          }
        }
      }
    });
  }
}

// The header addresses of `cls` and every class derived from it.
void CollectClassAddresses(const TQdfItemClass& cls, std::vector<TItemAdr>& out) {
  out.push_back(cls.Address());
  for (const TQdfItemClass* sub : cls.Subclasses()) CollectClassAddresses(*sub, out);
}

// A blob field leaves its class: every record of `classes` that names a
// blob is posted without it, so that the blob's chunks go as they go for
// any cleared blob.
void ClearBlobs(TQdfTable& table, const std::vector<TItemAdr>& classes, const std::string& name) {
  table.SetCurrentIndex(nullptr);
  for (table.First(); !table.Eof(); table.Next()) {
    const TQdfItemClass* cls = table.CursorClass();
    if (cls == nullptr ||
        std::find(classes.begin(), classes.end(), cls->Address()) == classes.end()) {
      continue;
    }
    auto* blob = static_cast<TQdfBlobField*>(cls->FieldByName(name));
    if (blob == nullptr || blob->IsNull()) continue;
    table.Edit();
    blob->ClearBlob();
    table.Post();
  }
}

// A field leaves its class: the records of that class (and of the classes
// derived from it) lose their value in its place, which is the last one
// they have. A field created later in the same place then starts out null
// instead of reading the old bytes as its own type.
void DropFieldValues(TQdfStorage& storage, const TQdfField& field) {
  const auto* owner = static_cast<const TQdfItemClass*>(field.Parent());
  std::vector<TItemAdr> classes;
  CollectClassAddresses(*owner, classes);
  std::vector<std::string> tables;
  ForEachTable(storage, [&](TQdfTable& table) {
    const TQdfItemClass* used = ClassOfTable(storage, table);
    if (used != nullptr && used->RootClass() == owner->RootClass()) {
      tables.push_back(table.FullName());
    }
  });
  for (const std::string& name : tables) {
    std::unique_ptr<TQdfTable> table = storage.TableByName(name);
    if (field.IsKindOf(TQdfBlobField::kClassInfo)) ClearBlobs(*table, classes, field.ObjectName());
    table->DropTrailingValues(classes, field.FieldIndex());
  }
}

// A renamed record class keeps its tables and indexes. They name it in the
// form they were written with (any case; a table also as "Top.Name", a
// class inside the tree of the storage's class Top), so they are found by
// what their names resolve to before the rename and rewritten after it.
class TClassRename {
 public:
  TClassRename(const TQdfStorage& storage, const TQdfItemClass& renamed) {
    ForEachTable(storage, [&](TQdfTable& table) {
      const std::string name = table.TableHeader()->BaseStructureName();
      const size_t dot = name.find('.');
      const TQdfPersistentObject* top = storage.ChildByName(std::string_view(name).substr(0, dot));
      const bool names_top = top == &renamed;
      const bool names_inner = dot != std::string::npos && ClassOfTable(storage, table) == &renamed;
      if (names_top || names_inner) tables_.push_back({&table, names_top, names_inner});
      const TQdfItemClass* tree = ClassOfTable(storage, table);
      if (tree == nullptr) return;
      for (int i = 0; i < table.ObjectsCount(); ++i) {
        TQdfPersistentObject* child = table.ChildAt(i);
        if (!child->IsKindOf(TQdfIndex::kClassInfo)) continue;
        TQdfIndexObject* key = static_cast<TQdfIndex*>(child)->KeyClass();
        if (key != nullptr &&
            tree->ClassByName(key->IndexObjectHeader()->BaseObjectClass()) == &renamed) {
          keys_.push_back(key);
        }
      }
    });
  }

  void Apply(const std::string& new_name) {
    for (const TTable& t : tables_) {
      TQHTable* h = t.table->TableHeader();
      const std::string name = h->BaseStructureName();
      const size_t dot = name.find('.');
      std::string top = name.substr(0, dot);
      std::string inner = dot != std::string::npos ? name.substr(dot + 1) : std::string();
      if (t.top) top = new_name;
      if (t.inner) inner = new_name;
      h->SetBaseStructureName(inner.empty() ? top : top + "." + inner);
    }
    for (TQdfIndexObject* key : keys_) key->IndexObjectHeader()->SetBaseObjectClass(new_name);
  }

 private:
  struct TTable {
    TQdfTable* table;
    bool top;    // the first part of its name names the renamed class
    bool inner;  // the part after the dot does
  };
  std::vector<TTable> tables_;
  std::vector<TQdfIndexObject*> keys_;
};

// DROP Path: deletes the object with its subtree; a missing object is fine.
void DropStatement(TQdfStorage& storage, std::string& text) {
  const std::string path = NextWord(text, nullptr);
  TQdfPersistentObject* object = storage.ChildByPath(path);
  if (object == nullptr) return;
  CheckDrop(storage, *object, path);
  // The parent stack must not keep an object that is about to be freed: when
  // the current parent is the object or lies below it, later definitions go
  // to the storage.
  for (TQdfPersistentObject* p = storage.Top(); p != nullptr && p != &storage; p = p->Parent()) {
    if (p == object) {
      storage.PopUntil(nullptr);
      break;
    }
  }
  // A class tree that loses a field or a subclass builds its structure anew.
  TQdfItemClass* root = nullptr;
  if (object->Parent() != nullptr && object->Parent()->IsKindOf(TQdfItemClass::kClassInfo)) {
    root = static_cast<TQdfItemClass*>(object->Parent())->RootClass();
    if (object->IsKindOf(TQdfField::kClassInfo) &&
        !object->Parent()->IsKindOf(TQdfIndexObject::kClassInfo)) {
      DropFieldValues(storage, static_cast<const TQdfField&>(*object));
    }
  }
  object->DeleteObject();
  if (root != nullptr) root->Loaded();
}

// REBUILD Path: rebuilds the index at Path ("$ID": the object-ID index).
void RebuildStatement(TQdfStorage& storage, std::string& text) {
  storage.RebuildIndexAt(NextWord(text, nullptr));
}

// Properties the engine keeps itself: page anchors, counts, field places
// and the stored class name. Setting one would commit a tree that cannot be
// read again, or counts that lie.
constexpr const char* kKeptProperties[] = {
    "FirstPg", "LastPg",      "CountPg",    "CountIt",     "UpdateCount",     "FirstFreePg",
    "RootPg",  "CountUnused", "FieldIndex", "ParentIndex", "ObjectClassName", "SchemaTAN"};

// Refuses settings that would damage the tree: kept properties, and a name
// that is empty or taken by a sibling.
void CheckSettings(const TQdfStorage& storage, const TQdfPersistentObject& object,
                   const std::string& path, const std::string& settings) {
  size_t pos = 0;
  while (pos <= settings.size()) {
    size_t end = settings.find(';', pos);
    if (end == std::string::npos) end = settings.size();
    const std::string assignment = settings.substr(pos, end - pos);
    pos = end + 1;
    const size_t eq = assignment.find('=');
    if (eq == std::string::npos) continue;
    std::string name = Trim(assignment.substr(0, eq));
    const bool own = name.find('.') == std::string::npos;
    if (!own) name = name.substr(name.rfind('.') + 1);
    for (const char* kept : kKeptProperties) {
      if (SameText(name, kept)) {
        throw EQdfException::Fmt("set %s [^%s]: %s is kept by the engine and cannot be set",
                                 path.c_str(), settings.c_str(), kept);
      }
    }
    const std::string value = Trim(assignment.substr(eq + 1));
    if (own && SameText(name, "BaseStructureName") && object.IsKindOf(TQdfTable::kClassInfo)) {
      // The records name their class by its header; a table that holds some
      // keeps the class they were written with.
      const auto& table = static_cast<const TQdfTable&>(object);
      const TQdfItemClass* now = ClassOfTable(storage, table);
      if (table.ItemListHeader()->CountIt() > 0 && storage.ClassByPath(value) != now) {
        throw EQdfException::Fmt(
            "set %s [^%s]: the table holds records of class %s; its record class cannot change",
            path.c_str(), settings.c_str(), table.TableHeader()->BaseStructureName().c_str());
      }
      continue;
    }
    if (!SameText(name, "ObjectName")) continue;
    if (const char* defect = ObjectNameDefect(value)) {
      throw EQdfException("set " + path + " [^" + PrintableName(settings) + "]: " + defect);
    }
    if (!own) continue;
    if (value.empty()) {
      throw EQdfException::Fmt("set %s [^%s]: an object needs a name", path.c_str(),
                               settings.c_str());
    }
    const TQdfPersistentObject* parent = object.Parent();
    const TQdfPersistentObject* same = parent != nullptr ? parent->ChildByName(value) : nullptr;
    if (same != nullptr && same != &object) {
      throw EQdfException(value + " existiert bereits in " + parent->ObjectName());
    }
  }
}

// SET Path [settings]
void SetStatement(TQdfStorage& storage, std::string& text) {
  const std::string path = NextWord(text, nullptr);
  TQdfPersistentObject* object = storage.ChildByPath(path);
  if (object == nullptr)
    throw EQdfException::FmtHelp(kHelpUnknownName, "Unknown Object: %s", path.c_str());
  // The engine finds its own objects by name and relies on their shape: a
  // renamed chunk field or a blob table of another class leaves a database
  // that no longer opens.
  if (IsSystemObject(storage, *object)) {
    throw EQdfException::Fmt("set ^%s: the database's own objects cannot be changed", path.c_str());
  }
  std::string kind;
  const std::string settings = NextWord(text, &kind);
  if (kind != "[")
    throw EQdfException::FmtHelp(kHelpSyntax, "Invalid Command in SET : %s", settings.c_str());
  const bool is_class =
      object->IsKindOf(TQdfItemClass::kClassInfo) && !object->IsKindOf(TQdfIndexObject::kClassInfo);
  const std::string old_name = object->ObjectName();
  CheckSettings(storage, *object, path, settings);
  std::optional<TClassRename> rename;
  if (is_class) rename.emplace(storage, static_cast<const TQdfItemClass&>(*object));
  try {
    object->SetProperties(settings);
  } catch (const EQdfException&) {
    throw;
  } catch (const Exception& e) {
    throw EQdfException::Fmt("set %s [^%s]: %s", path.c_str(), settings.c_str(),
                             e.Message().c_str());
  }
  if (is_class && object->ObjectName() != old_name) {
    rename->Apply(object->ObjectName());
    TQdfItemClass* root = static_cast<TQdfItemClass*>(object)->RootClass();
    if (root != nullptr) root->Loaded();  // the class index knows it by the new name
  }
}

// VERSION V: raises the schema version; it never goes down.
void VersionStatement(TQdfStorage& storage, std::string& text) {
  const std::string word = NextWord(text, nullptr);
  int32_t version = 0;
  try {
    version = VersionToInt(word);
  } catch (const EConvertError& e) {
    throw EQdfException::Fmt("version ^%s: %s", word.c_str(), e.Message().c_str());
  }
  const int32_t stored = storage.Root()->SchemaVersion();
  if (version < stored) {
    throw EQdfException::Fmt("Storage Schema has higher Version: %s than %s",
                             IntToVersion(version).c_str(), IntToVersion(stored).c_str());
  }
  storage.Root()->SetSchemaVersion(version);
}

// A statement handler gets the storage and the statement after its first word.
using TStatementHandler = void (*)(TQdfStorage& storage, std::string& rest);

struct TStatement {
  const char* name;
  TStatementHandler handler;
};

constexpr TStatement kStatements[] = {
    {"CREATE", CreateStatement},   {"PARENT", ParentStatement}, {"DROP", DropStatement},
    {"REBUILD", RebuildStatement}, {"SET", SetStatement},       {"VERSION", VersionStatement},
};

// The statement table: statement names without regard to case.
class TStatementTable : public THashList {
 public:
  TStatementTable() : THashList(&CaseInsensitiveTraits(), 100) {
    for (const TStatement& s : kStatements) Add(s.name, const_cast<TStatement*>(&s));
  }
  ~TStatementTable() override { Clear(); }

  // The handler of statement `word`, or nullptr.
  TStatementHandler HandlerOf(const std::string& word) const {
    const void* data = Get(word);
    return data != nullptr ? static_cast<const TStatement*>(data)->handler : nullptr;
  }
};

TStatementHandler StatementHandler(const std::string& word) {
  static const TStatementTable table;
  return table.HandlerOf(word);
}

}  // namespace

void TQdfStorage::Execute(const std::string& text) {
  // Ends the run: the parent stack is emptied while the run still counts, so
  // that the last pop does not store anything; then the count goes down.
  // Finishing a popped object may raise; the stack is emptied all the same
  // and the first error is raised again.
  auto finish_run = [this] {
    std::exception_ptr error;
    while (Top() != this) {
      try {
        PopUntil(nullptr);
      } catch (...) {
        if (!error) error = std::current_exception();
      }
    }
    --nesting_count;
    if (error) std::rethrow_exception(error);
  };

  // Statements must leave a schema whose tables can be read; a damage that
  // was there before the run (an old file) does not stop it.
  const bool outermost = nesting_count == 0;
  std::vector<std::string> problems_before;
  if (outermost) problems_before = SchemaProblems(*this);
  ++nesting_count;
  try {
    PopUntil(nullptr);
    std::string rest = text;
    for (;;) {
      std::string statement = NextStatement(rest);
      std::string kind;
      const std::string word = NextWord(statement, &kind);
      if (kind.empty()) break;  // an empty statement ends the run
      TStatementHandler handler = StatementHandler(kind);
      if (handler == nullptr) throw EQdfException::Fmt("Unknown DDL Command: %s", word.c_str());
      handler(*this, statement);
    }
    if (outermost) {
      for (const std::string& problem : SchemaProblems(*this)) {
        if (std::find(problems_before.begin(), problems_before.end(), problem) ==
            problems_before.end()) {
          throw EQdfException("The statements would leave the schema damaged: " + problem);
        }
      }
    }
    RecordSchemaChange();
  } catch (...) {
    try {
      finish_run();
    } catch (...) {
      // The statement's own error is the one to report.
    }
    throw;
  }
  finish_run();
  StoreModified();
}

}  // namespace qdf
