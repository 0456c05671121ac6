// TCustomScript: the expression compiler.
//
// Registers the system arithmetic (section "SYSTEM_ARITHMETIC"), consults
// named external word books for names its own book lacks, and compiles a
// scanned text into a node tree. Typical use:
//
//   TCustomScript script;
//   script.Scan("b >= 1000 and b < 1100");
//   if (script.Compile() != kTypeBoolean) ...;
//   std::unique_ptr<TvNode> filter = script.TakeResult();
//
// The query language derives from it and adds its own sections and books.
// Not thread-safe: one compile at a time per script.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "base/Helpers.h"
#include "script/BasicScript.h"
#include "script/Node.h"

namespace qdf {

class TCustomScript;

// A word that builds its node itself at compile time (field words, object
// words).
class TCustomScriptWord : public TScriptWord {
 public:
  explicit TCustomScriptWord(TScriptWords* section) : TScriptWord(section) {}

  // Pushes the word's node on `stack` and returns it. `item` is the word's
  // postfix item; a word that consumes following postfix items leaves `item`
  // at the last one it consumed (null: the list is done). Base: builds
  // nothing and returns the current result node (the top of the stack).
  virtual TvNode* BuildNode(TCustomScript& script, TParseItem*& item, TvNodeArray& stack);
};

// A name bound to an object (not owned). Its node class defaults to
// TvObjectNode; BuildNode pushes a constant node of that class holding the
// object.
class TObjectVarWord : public TCustomScriptWord {
 public:
  explicit TObjectVarWord(TScriptWords* section) : TCustomScriptWord(section) {
    SetNodeClass(&TvObjectNode::kClass);
  }

  TObject* Object() const { return object_; }
  void SetObject(TObject* object) { object_ = object; }

  TvNode* BuildNode(TCustomScript& script, TParseItem*& item, TvNodeArray& stack) override;

 private:
  TObject* object_ = nullptr;
};

class TCustomScript : public TBasicScript {
 public:
  // The basic script plus the section "SYSTEM_ARITHMETIC" with its words.
  TCustomScript();
  ~TCustomScript() override;

  // Searches the enabled external books from the last name to the first;
  // the first that holds the name wins. Else the base behaviour.
  TScriptWord* UnknownWord(const std::string& name) override;
  // Parse-time handler of the member word ".": when the last scanned item is
  // bound to a word with a member resolver and the resolver knows the next
  // token, that item becomes the member's item, the "." is dropped and the
  // position moves past the member name. Returns true then.
  virtual bool ResolveMember(TScriptWord& member_word, const char*& pos);

  // Registers `book` under `name` (case-insensitive) and takes it; a name
  // already registered gets the new book (the old one is destroyed); a null
  // book removes the entry and destroys its book.
  void UseBook(std::string_view name, std::unique_ptr<TScriptBook> book);
  // The external book of that name, or null.
  TScriptBook* ExternalBook(std::string_view name) const;
  // Takes the external book of that name out of the script (nullptr when none).
  std::unique_ptr<TScriptBook> ReleaseBook(std::string_view name);

  // Parses from `first` (the head of the scanned list when null), builds the
  // node tree and keeps its root as the result node (a result not taken is
  // destroyed). Returns the expression's type (low 15 bits of the type of
  // the last postfix item). Raises the parser's errors and the conversion
  // errors of folding; no result node is left then.
  TScriptType Compile(TParseItem* first = nullptr);
  // Scan(text), then Compile().
  TScriptType CompileText(std::string_view text) {
    Scan(text);
    return Compile();
  }
  // The result node; the caller owns it and the script forgets it.
  std::unique_ptr<TvNode> TakeResult() { return std::move(result_node_); }
  // The result node without taking it (null when none).
  TvNode* ResultNode() const { return result_node_.get(); }

  TScriptWords* SystemSection() const { return system_; }

  // ---- registration shorthands (constants and object words carry 0x0001) ----
  TScriptWord* AddBoolConst(TScriptWords* section, std::string_view name, bool value);
  TScriptWord* AddDoubleConst(TScriptWords* section, std::string_view name, double value);
  TScriptWord* AddIntConst(TScriptWords* section, std::string_view name, TScriptType type,
                           int32_t value);
  TObjectVarWord* AddObjectWord(TScriptWords* section, std::string_view name, TObject* object,
                                TScriptType type, const TNodeClass* node_class = nullptr);
  // A variable word (flags 0x0002, type | 0x8000) over a host variable that
  // must outlive every node compiled from it: int32_t for INTEGER, double for
  // DOUBLE and DATETIME, std::string for PCHAR and STRING. Raises Exception
  // for other types.
  TScriptWord* AddVariable(TScriptWords* section, std::string_view name, TScriptType type,
                           const void* variable);

 protected:
  // A literal or variable node for a value item; raises for a type without
  // a value form.
  std::unique_ptr<TvNode> BuildValue(const TParseItem& item) const;

 private:
  void RegisterSystemArithmetic();

  struct NameLess {
    bool operator()(const std::string& a, const std::string& b) const {
      return CompareText(a, b) < 0;
    }
  };

  std::unique_ptr<TvNode> result_node_;
  std::map<std::string, std::unique_ptr<TScriptBook>, NameLess> books_;
  TScriptWords* system_ = nullptr;
};

}  // namespace qdf
