// TQScript: the query language. The system arithmetic plus the section
// "QUERY_ARITHMETIC" (field comparisons, null tests, LIKE on fields, class
// tests, fields by name and through references), and a per-compile book
// "FROM" that names the fields and classes of the record class filtered.
//
// One shared script (QueryScript) serves every filter and column expression
// of the engine. It is not locked: one compile at a time. Typical use:
//
//   TQScript& s = QueryScript();
//   s.SetFrom(table.ItemClass());
//   s.Scan("b >= 1000 and c like 'abc%'");
//   s.Compile();
//   std::unique_ptr<TvNode> filter = s.TakeResult();
//   s.ClearFrom();
//
// (TQdfTable::CompileFilter does exactly this, clearing FROM on every exit.)
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "script/CustomScript.h"

namespace qdf {

class TQdfField;
class TQdfItemClass;
class TQdfTable;
class TScriptParams;

// A field of the record class; its result type is the field's TypeCode.
// BuildNode pushes a bound field node.
class TQFieldWord : public TCustomScriptWord {
 public:
  TQFieldWord(TScriptWords* section, TQdfField* field);
  TQdfField* Field() const { return field_; }
  TvNode* BuildNode(TCustomScript& script, TParseItem*& item, TvNodeArray& stack) override;

 private:
  TQdfField* field_;
};

// An item class (type 12, node TndItemClass). Its member resolver gives the
// class's fields and subclasses: "K.f" and "K.Sub".
class TQItemClassWord : public TObjectVarWord {
 public:
  TQItemClassWord(TScriptWords* section, TQdfItemClass* cls);
  TQdfItemClass* Class() const;
  // The word named Name() + "." + member in this word's section; created
  // there on first use for a field of the class or a class derived from it.
  // nullptr when the class has neither.
  TScriptWord* ResolveMember(const std::string& member);
};

// A comparison of a field with a value under a mask; BuildNode pops the value
// and the field node and pushes NewFieldComparison of them.
class TQFieldCompareWord : public TCustomScriptWord {
 public:
  TQFieldCompareWord(TScriptWords* section, uint8_t mask);
  uint8_t Mask() const { return mask_; }
  TvNode* BuildNode(TCustomScript& script, TParseItem*& item, TvNodeArray& stack) override;

 private:
  uint8_t mask_;
};

class TQScript : public TCustomScript {
 public:
  // The system arithmetic, then "QUERY_ARITHMETIC".
  TQScript();
  ~TQScript() override;

  // Names the record class `cls` for the following compiles: a new FROM book
  // (replacing one that is set) with the word "This" (the class's cursor),
  // one field word per field of the class (inherited ones included) and one
  // class word for the class and each class derived from it.
  void SetFrom(TQdfItemClass* cls);
  // Removes the FROM book and its words.
  void ClearFrom();
  // The class named by SetFrom, or nullptr.
  TQdfItemClass* FromClass() const { return from_class_; }

  TScriptWords* QuerySection() const { return query_; }

 private:
  void RegisterQueryArithmetic();
  TQFieldCompareWord* AddCompare(TScriptWords* section, const char* name, uint8_t mask,
                                 TScriptType field_type, TScriptType value_type);
  void AddClassWords(TScriptWords* section, TQdfItemClass* cls, TQdfItemClass* from);

  TScriptWords* query_ = nullptr;
  TQdfItemClass* from_class_ = nullptr;
  // The name table of the last FROM class, kept for the next compile on the
  // same class: filters are compiled per query, and the table costs more
  // than many a filter. Valid while the object tree is unchanged and the
  // class still has the same fields.
  std::unique_ptr<TScriptBook> spare_from_;
  TQdfItemClass* spare_class_ = nullptr;
  uint32_t spare_epoch_ = 0;
  std::vector<const void*> spare_fields_;
  uint32_t from_epoch_ = 0;  // epoch when the book in use was made
};

// The shared query script, created on first use.
TQScript& QueryScript();

// Sets FROM of the shared script for the life of the guard.
class TFromScope {
 public:
  TFromScope(TQScript& script, TQdfItemClass* cls) : script_(script) { script_.SetFrom(cls); }
  ~TFromScope() { script_.ClearFrom(); }
  TFromScope(const TFromScope&) = delete;
  TFromScope& operator=(const TFromScope&) = delete;

 private:
  TQScript& script_;
};

// TQdfTable::CompileFilter: compiles `text` against `cls` (the table's record
// class when nullptr) with the shared query script; the caller owns the node.
// Raises the parser's errors, and Exception "Filter is no boolean
// expression: " with the text for an expression of another type.
std::unique_ptr<TvNode> CompileTableFilter(TQdfTable& table, const std::string& text,
                                           TQdfItemClass* cls);
// The same with the parameters `params` (nullptr: none): each ":name" of
// the text reads its bound slot (script/ScriptParams.h). Raises "Parameter
// :name is not bound" for a parameter without a value.
std::unique_ptr<TvNode> CompileTableFilter(TQdfTable& table, const std::string& text,
                                           TQdfItemClass* cls, const TScriptParams* params);

}  // namespace qdf
