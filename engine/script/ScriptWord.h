// TScriptWord: one entry of a script's book, and TWordInfo, the record that
// words and parse items share.
//
// A word is an operator, function, constant, variable, pair, separator or
// type cast. Words of the same name form an overload chain, sorted ascending
// by argument types, that the parser walks to choose an overload.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/Object.h"
#include "script/ScriptTypes.h"

namespace qdf {

class TBasicScript;
class TScriptBook;
class TScriptWords;
class TScriptWord;
struct TNodeClass;

// The value place of a word or parse item: a literal's value, a constant's
// value, or the address of the host variable a variable word reads.
union TWordValue {
  bool b;
  int32_t i;
  int64_t i64;
  double d;
  const void* ref;
};

// Copied from a word into every parse item made from it.
struct TWordInfo {
  uint16_t flags = 0;
  std::string text;
  TScriptWord* word = nullptr;
  TScriptType type = kTypeNull;
  // Precedence of operators and functions; cost of a cast word.
  uint16_t precedence = 0;
  TWordValue value{.i64 = 0};
};

// Parse-time handler: called when a scanned token resolves to the word, with
// the scan position (which it may move). Returns true when it consumed the
// token (no item is appended for it).
using TParseHandler =
    std::function<bool(TBasicScript& script, TScriptWord& word, const char*& pos)>;
// Member resolver: the word a member name names, or null.
using TMemberResolver = std::function<TScriptWord*(const std::string& member)>;

class TScriptWord : public TObject {
 public:
  // A word of `section`, not yet linked into the book (TScriptBook::AddWord
  // links it). The section's list owns the word once added.
  explicit TScriptWord(TScriptWords* section);
  // Unlinks the word from its book's chain; a cast word invalidates the
  // script's cast table.
  ~TScriptWord() override;

  TScriptWord(const TScriptWord&) = delete;
  TScriptWord& operator=(const TScriptWord&) = delete;

  const std::string& Name() const { return info_.text; }
  TScriptWords* Section() const { return section_; }
  TScriptBook* Book() const;
  // True when the word's section is enabled.
  bool Enabled() const;
  // Next word of the same name (overload chain), or null.
  TScriptWord* Next() const { return next_; }

  TWordInfo& Info() { return info_; }
  const TWordInfo& Info() const { return info_; }
  uint16_t Flags() const { return info_.flags; }
  TScriptType ResultType() const { return info_.type; }
  uint16_t Precedence() const { return info_.precedence; }

  // The node class the compiler instantiates for this word, or null.
  const TNodeClass* NodeClass() const { return node_class_; }
  void SetNodeClass(const TNodeClass* cls) { node_class_ = cls; }

  const std::vector<TScriptType>& ArgTypes() const { return args_; }
  void SetArgTypes(std::vector<TScriptType> args) { args_ = std::move(args); }

  const TParseHandler& ParseHandler() const { return parse_handler_; }
  void SetParseHandler(TParseHandler handler) { parse_handler_ = std::move(handler); }
  const TMemberResolver& MemberResolver() const { return member_resolver_; }
  void SetMemberResolver(TMemberResolver resolver) { member_resolver_ = std::move(resolver); }

  // Orders argument arrays: pairwise from the first; a proper prefix is lower.
  static int CompareArgs(const std::vector<TScriptType>& a, const std::vector<TScriptType>& b);

 private:
  friend class TScriptBook;

  TScriptWords* section_;
  TScriptWord* next_ = nullptr;
  bool linked_ = false;
  const TNodeClass* node_class_ = nullptr;
  TWordInfo info_;
  std::vector<TScriptType> args_;
  TParseHandler parse_handler_;
  TMemberResolver member_resolver_;
};

}  // namespace qdf
