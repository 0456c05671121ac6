// Expression nodes for record classes and object references: class nodes,
// the record cursor of a class ("This"), a class's field by name, the class
// test, and fields and classes reached through an object-ID field.
//
// A reference through an object-ID field that holds no existing object yields
// the null field or the null class, so comparisons on it see a null field.
#pragma once

#include <memory>

#include "query/FieldExpr.h"
#include "script/Node.h"

namespace qdf {

class TQdfItemClass;
class TQdfItemProvider;

// An item class (the object of the node; null class when none).
class TndItemClass : public TvObjectNode {
  QDF_NODE_CLASS(TndItemClass)
 public:
  // The class held, or nullptr.
  TQdfItemClass* Class() const;
  // Keeps its class: a constant class node is not turned into a plain object.
  std::unique_ptr<TvNode> Optimize() override { return nullptr; }
  // True when the class's cursor walks `item_list`.
  bool RefersTo(const void* item_list) const override;
};

// The null class: an item class bound to nothing, without fields. One shared
// node lives as long as the process.
class TndNullItemClass : public TndItemClass {
  QDF_NODE_CLASS(TndNullItemClass)
 public:
  TndNullItemClass();
};
TndNullItemClass& NullItemClassNode();
TQdfItemClass* NullItemClass();

// The record cursor of a class (the word "This"): the node holds the class
// whose cursor it stands for. Never foldable.
class TndItemProvider : public TvObjectNode {
  QDF_NODE_CLASS(TndItemProvider)
 public:
  TndItemProvider();
  TQdfItemClass* Class() const;
  // The class's cursor, or nullptr.
  TQdfItemProvider* Provider() const;
  std::unique_ptr<TvNode> Optimize() override { return nullptr; }
  bool RefersTo(const void* item_list) const override;
};

// Operands (class, name): the class's field of that name, none when absent.
class TfByName : public TndField {
  QDF_NODE_CLASS(TfByName)
 public:
  void Evaluate() override;
  std::unique_ptr<TvNode> Optimize() override;
};

// Operands (class a, class b): a is b or derived from it.
class TbClassIs : public TvBool {
  QDF_NODE_CLASS(TbClassIs)
 public:
  void Evaluate() override;
  std::unique_ptr<TvNode> Optimize() override;
};

// Operands (object-ID field node, name): the field of that name of the
// record whose object ID the field holds; the null field when the field is
// null, names no existing record, or that record's class has no such field.
class TndFieldByObjectID : public TndField {
  QDF_NODE_CLASS(TndFieldByObjectID)
 public:
  void Evaluate() override;
  std::unique_ptr<TvNode> Optimize() override;
};

// Operand (object-ID field node): the class of the record whose object ID
// the field holds; the null class when there is none.
class TndItemClassByObjectID : public TndItemClass {
  QDF_NODE_CLASS(TndItemClassByObjectID)
 public:
  TndItemClassByObjectID();
  void Evaluate() override;
  std::unique_ptr<TvNode> Optimize() override;
};

// Operand (item provider): the class of the provider's current record; the
// null class when it stands on none.
class TndItemClassOfProvider : public TndItemClass {
  QDF_NODE_CLASS(TndItemClassOfProvider)
 public:
  TndItemClassOfProvider();
  void Evaluate() override;
  std::unique_ptr<TvNode> Optimize() override;
};

}  // namespace qdf
