// Columns of a query: expressions over the fields of a record class, each
// with a name and the class of field that would hold its values.
//
// A column text is a field name ("a"), an expression followed by AS and a
// name ("a + b AS total"), or any other expression (named "Field_<n>", n its
// 1-based position among the columns kept). The single text "*" stands for
// every field of the record class in field order. Texts are compiled with the
// shared query script; a text that does not compile, or whose value is of a
// type a record field cannot hold, gives no column.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "script/Node.h"

namespace qdf {

class TQdfItemClass;

class TQdfColumn {
 public:
  // Compiles `text` with the shared query script as it stands (the caller
  // sets FROM); `default_name` names a column that is neither "expr AS name"
  // nor a plain field. A compile error or an unaccepted result type leaves
  // the column without a node.
  TQdfColumn(const std::string& text, const std::string& default_name);

  // The compiled expression, or nullptr.
  TvNode* Node() const { return node_.get(); }
  const std::string& Name() const { return name_; }
  // "TQdfIntegerField", "TQdfCharField", ...; empty when unknown.
  const std::string& FieldClassName() const { return field_class_name_; }

 private:
  std::unique_ptr<TvNode> node_;
  std::string name_;
  std::string field_class_name_;
};

class TQdfColumnSelection {
 public:
  // Compiles `texts` against `cls` (FROM is set for the compile and cleared
  // afterwards; with nullptr the script is used as it stands). Columns
  // without a node are dropped.
  TQdfColumnSelection(TQdfItemClass* cls, const std::vector<std::string>& texts);

  int Count() const { return static_cast<int>(columns_.size()); }
  TQdfColumn& Column(int i) const { return *columns_[static_cast<size_t>(i)]; }
  TQdfItemClass* ItemClass() const { return item_class_; }

 private:
  void Add(const std::string& text);

  std::vector<std::unique_ptr<TQdfColumn>> columns_;
  TQdfItemClass* item_class_;
};

}  // namespace qdf
