#include "query/ClassExpr.h"

#include "base/Bytes.h"
#include "base/Helpers.h"
#include "base/QdfException.h"
#include "list/ItemList.h"
#include "record/Fields.h"
#include "record/ItemClass.h"
#include "storage/Storage.h"
#include "table/Table.h"

namespace qdf {

QDF_DEFINE_NODE_CLASS(TndItemClass, TvObjectNode, "");
QDF_DEFINE_NODE_CLASS(TndNullItemClass, TndItemClass, "");
QDF_DEFINE_NODE_CLASS(TndItemProvider, TvObjectNode, "");
QDF_DEFINE_NODE_CLASS(TfByName, TndField, "os");
QDF_DEFINE_NODE_CLASS(TbClassIs, TvBool, "oo");
QDF_DEFINE_NODE_CLASS(TndFieldByObjectID, TndField, "os");
QDF_DEFINE_NODE_CLASS(TndItemClassByObjectID, TndItemClass, "o");
QDF_DEFINE_NODE_CLASS(TndItemClassOfProvider, TndItemClass, "o");

namespace {

TQdfItemClass* AsItemClass(TObject* object) { return dynamic_cast<TQdfItemClass*>(object); }

// The class held by an operand that must be a class node (checked when the
// node is built).
TQdfItemClass* ClassOperand(TvNode* node) {
  EvaluateIfNeeded(node);
  return static_cast<TndItemClass*>(node)->Class();
}

void CheckOperand(const TvNode* node, const TNodeClass& wanted, const char* cls) {
  if (node == nullptr || !node->InheritsFrom(wanted)) {
    throw Exception(Format("%s needs a %s operand", cls, wanted.name));
  }
}

bool ClassWalks(const TQdfItemClass* cls, const void* item_list) {
  return cls != nullptr && cls->Provider() != nullptr &&
         static_cast<const void*>(cls->Provider()->List()) == item_list;
}

// The template table holding the record whose object ID `id_field` holds,
// its cursor on that record, and the record's class; nullptr when the field
// is null or the record does not exist.
TQdfTable* ReferencedRecord(TndField* id_node, TQdfItemClass** record_class) {
  *record_class = nullptr;
  EvaluateIfNeeded(id_node);
  TQdfField* field = id_node->Field();
  if (field == nullptr || !field->IsKindOf(TQdfObjectIDField::kClassInfo)) return nullptr;
  auto* id_field = static_cast<TQdfObjectIDField*>(field);
  if (id_field->IsNull()) return nullptr;
  auto* storage = dynamic_cast<TQdfStorage*>(id_field->Storage());
  if (storage == nullptr) return nullptr;
  TQdfTable* table = storage->RecordByID(id_field->AsID());
  if (table == nullptr || table->ItemClass() == nullptr) return nullptr;
  const uint8_t* item = table->Cursor().Item();
  if (item == nullptr) return nullptr;
  TQdfItemClass* root = table->ItemClass()->RootClass();
  if (root == nullptr) root = table->ItemClass();
  *record_class = root->ClassByAddress(LoadAdr(item + kRecClassOffset));
  return *record_class != nullptr ? table : nullptr;
}

}  // namespace

// ---- classes ----------------------------------------------------------------------

TQdfItemClass* TndItemClass::Class() const { return AsItemClass(object_); }

bool TndItemClass::RefersTo(const void* item_list) const {
  return ClassWalks(Class(), item_list) || TvNode::RefersTo(item_list);
}

TQdfItemClass* NullItemClass() {
  static const std::unique_ptr<TQdfPersistentObject> cls =
      TQdfPersistentObject::Create(TQdfItemClass::kClassInfo, nullptr);
  return static_cast<TQdfItemClass*>(cls.get());
}

TndNullItemClass::TndNullItemClass() { SetObject(NullItemClass()); }

TndNullItemClass& NullItemClassNode() {
  static TndNullItemClass node;
  return node;
}

TndItemProvider::TndItemProvider() { SetNotFoldable(); }

TQdfItemClass* TndItemProvider::Class() const { return AsItemClass(object_); }

TQdfItemProvider* TndItemProvider::Provider() const {
  TQdfItemClass* cls = Class();
  return cls != nullptr ? cls->Provider() : nullptr;
}

bool TndItemProvider::RefersTo(const void* item_list) const {
  return ClassWalks(Class(), item_list);
}

// ---- field by name and class test -------------------------------------------------

std::unique_ptr<TvNode> TfByName::Optimize() {
  CheckOperand(args_[0].get(), TndItemClass::kClass, "TfByName");
  return nullptr;
}

void TfByName::Evaluate() {
  TQdfItemClass* cls = ClassOperand(args_[0].get());
  TvNode* name = args_[1].get();
  EvaluateIfNeeded(name);
  field_ = cls != nullptr ? cls->FieldByName(static_cast<TvString*>(name)->Str()) : nullptr;
}

std::unique_ptr<TvNode> TbClassIs::Optimize() {
  CheckOperand(args_[0].get(), TndItemClass::kClass, "TbClassIs");
  CheckOperand(args_[1].get(), TndItemClass::kClass, "TbClassIs");
  return TvBool::Optimize();
}

void TbClassIs::Evaluate() {
  const TQdfItemClass* a = ClassOperand(args_[0].get());
  const TQdfItemClass* b = ClassOperand(args_[1].get());
  value_ = a != nullptr && b != nullptr && a != NullItemClass() && b != NullItemClass() &&
           b->IsKindOfClass(a);
}

// ---- references -------------------------------------------------------------------

std::unique_ptr<TvNode> TndFieldByObjectID::Optimize() {
  CheckOperand(args_[0].get(), TndField::kClass, "TndFieldByObjectID");
  return nullptr;
}

void TndFieldByObjectID::Evaluate() {
  field_ = NullField();
  TQdfItemClass* cls = nullptr;
  if (ReferencedRecord(static_cast<TndField*>(args_[0].get()), &cls) == nullptr) return;
  TvNode* name = args_[1].get();
  EvaluateIfNeeded(name);
  if (TQdfField* f = cls->FieldByName(static_cast<TvString*>(name)->Str())) field_ = f;
}

TndItemClassByObjectID::TndItemClassByObjectID() { SetNotFoldable(); }

std::unique_ptr<TvNode> TndItemClassByObjectID::Optimize() {
  CheckOperand(args_[0].get(), TndField::kClass, "TndItemClassByObjectID");
  return nullptr;
}

void TndItemClassByObjectID::Evaluate() {
  TQdfItemClass* cls = nullptr;
  ReferencedRecord(static_cast<TndField*>(args_[0].get()), &cls);
  object_ = cls != nullptr ? cls : NullItemClass();
}

TndItemClassOfProvider::TndItemClassOfProvider() { SetNotFoldable(); }

std::unique_ptr<TvNode> TndItemClassOfProvider::Optimize() {
  CheckOperand(args_[0].get(), TndItemProvider::kClass, "TndItemClassOfProvider");
  return nullptr;
}

void TndItemClassOfProvider::Evaluate() {
  auto* node = static_cast<TndItemProvider*>(args_[0].get());
  TQdfItemClass* cls = node->Class();
  TQdfItemProvider* provider = node->Provider();
  const uint8_t* item = provider != nullptr ? provider->Item() : nullptr;
  TQdfItemClass* found = nullptr;
  if (cls != nullptr && item != nullptr &&
      LoadU16(item) >= kRecClassOffset + static_cast<int>(kItemAdrSize)) {
    TQdfItemClass* root = cls->RootClass() != nullptr ? cls->RootClass() : cls;
    found = root->ClassByAddress(LoadAdr(item + kRecClassOffset));
  }
  object_ = found != nullptr ? found : NullItemClass();
}

}  // namespace qdf
