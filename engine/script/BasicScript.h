// TBasicScript: the scanner and the precedence parser of the expression
// language.
//
// Scan cuts a text into parse items through a 256-entry table of character
// handlers and looks every identifier and operator up in the book. Parse
// turns the items into postfix order with a two-state operator-precedence
// parser, choosing the overload of every operation by the types of its
// operands through the cast table, and wraps operands in cast items where a
// conversion is needed. Turning the postfix list into nodes is the business
// of TCustomScript. Not thread-safe: one compile at a time.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/Object.h"
#include "script/ParserResultList.h"
#include "script/ScriptBook.h"
#include "script/ScriptTypes.h"
#include "script/ScriptWord.h"

namespace qdf {

struct TNodeClass;

// One scanned token. kind: kWfLiteral, kWfNamed (identifier) or
// kWfOperation (operator text).
struct TToken {
  std::string text;
  bool valid = false;
  uint16_t kind = 0;
  TScriptType type = kTypeNull;
};

// One step of a cast path; a step whose word has no node class only
// relabels the type.
struct TCastStep {
  TScriptType from;
  TScriptType to;
  TScriptWord* word;
};

struct TCastPath {
  std::vector<TCastStep> steps;
  int32_t cost = 0;
  TScriptType From() const { return steps.front().from; }
  TScriptType To() const { return steps.back().to; }
};

class TBasicScript : public TObject {
 public:
  // A character handler: called with the scan position at its byte; delivers
  // a valid token and moves past it, or moves forward without a token, or
  // leaves the position (the scan fails there).
  using TCharHandler = void (TBasicScript::*)(const char*& pos, TToken& token);
  using TUnknownWordHandler = std::function<TScriptWord*(const std::string& name)>;

  // Creates the result list, the book and an empty cast table, and fills the
  // dispatch table.
  TBasicScript();
  ~TBasicScript() override;

  TBasicScript(const TBasicScript&) = delete;
  TBasicScript& operator=(const TBasicScript&) = delete;

  // A word for a name the book does not hold: the unknown-word handler's
  // answer when one is set, else null.
  virtual TScriptWord* UnknownWord(const std::string& name);
  // "NULL", "TOKEN", "INTEGER", ... (the low 15 bits of the code are named).
  virtual std::string TypeName(TScriptType code) const;
  // Clears the receiving list and appends one parse item per token. Raises
  // "unexpected Char" for a byte no handler accepts, "Error at: " + up to
  // 100 characters of text where a token is malformed, and "no Context for
  // parsing" when there is no receiving list.
  virtual void Scan(std::string_view text);

  // Builds the cast table when invalid, then returns the head of the postfix
  // output of the items from `first` on. Raises Exception with the parser's
  // messages on syntax and type errors.
  TParseItem* Parse(TParseItem* first);

  TScriptBook& Book() { return *book_; }
  TParserResultList& Result() { return *result_; }
  // The list that receives scanned items (the result list by default; null
  // makes Scan fail).
  TParserResultList* Receiver() const { return receiver_; }
  void SetReceiver(TParserResultList* list) { receiver_ = list; }
  void SetUnknownWordHandler(TUnknownWordHandler handler) {
    unknown_word_handler_ = std::move(handler);
  }
  // Replaces the handler of byte `c`.
  void SetCharHandler(uint8_t c, TCharHandler handler) { handlers_[c] = handler; }

  // The names of the parameters (":name", without the colon) of `text`,
  // each once, in the order they first appear. Scanning stops quietly where
  // the text has no valid token; compiling it reports the error.
  std::vector<std::string> ParameterNames(std::string_view text);

  // Scans the one token at `pos` (skipping whitespace and comments) without
  // building an item; used by parse-time handlers. Returns false at the end
  // of the text or when no valid token stands there.
  bool ScanToken(const char*& pos, TToken& token);

  // ---- registration ----
  TScriptWords* AddSection(std::string_view name) { return book_->AddSection(name); }
  // Adds a word. Unless flags hold a value, separator or member bit, the
  // word is an operation binding to the right (0x0024 is added).
  TScriptWord* AddWord(TScriptWords* section, std::string_view name, const TNodeClass* node_class,
                       uint16_t flags, uint16_t precedence, std::vector<TScriptType> args,
                       TScriptType result);
  // A function: flags 0x0200, precedence 255.
  TScriptWord* AddFunction(TScriptWords* section, std::string_view name,
                           const TNodeClass* node_class, std::vector<TScriptType> args,
                           TScriptType result);
  // A cast from `from` to `to` at `cost`: a word "__cast__" with one argument.
  TScriptWord* AddCast(TScriptWords* section, const TNodeClass* node_class, TScriptType from,
                       TScriptType to, uint16_t cost);
  // The first enabled word of that name in the book, or null.
  TScriptWord* FindWord(std::string_view name) const { return book_->FindWord(name); }

  // ---- cast table ----
  void InvalidateCasts() { casts_valid_ = false; }
  bool CastsValid() const { return casts_valid_; }
  // Rebuilds the table from the enabled cast words and its closure.
  void BuildCastTable();
  // The path from `from` to `to`, or null. REQUIRES: the table is valid.
  const TCastPath* FindCast(TScriptType from, TScriptType to) const;
  // Appends a path whose pair of types has none yet.
  void AddCastPath(TCastPath path);
  const std::vector<TCastPath>& CastTable() const { return casts_; }

  // The description of an item used in messages: "INTEGER (1)",
  // "INTEGER operator +", "PCHAR function Upper", or a word's name.
  std::string Describe(const TParseItem& item) const;

 protected:
  // Character handlers.
  void RejectChar(const char*& pos, TToken& token);
  void SkipWhitespace(const char*& pos, TToken& token);
  void ScanIdentifier(const char*& pos, TToken& token);
  void ScanString(const char*& pos, TToken& token);
  void ScanNumber(const char*& pos, TToken& token);
  void ScanOperator(const char*& pos, TToken& token);
  void ScanCommentOrOperator(const char*& pos, TToken& token);
  // ":name" is a parameter, an identifier token that keeps its colon; a
  // colon before anything else begins an operator.
  void ScanParameterOrOperator(const char*& pos, TToken& token);

  // Turns a valid token into an item of the receiving list (may run the
  // word's parse-time handler).
  void BuildItem(const TToken& token);
  // Copies `word`'s info into `item`, keeping nothing of the old binding.
  static void BindItem(TParseItem* item, const TScriptWord* word);

 private:
  class Parser;

  std::array<TCharHandler, 256> handlers_;
  std::unique_ptr<TParserResultList> result_;
  TParserResultList* receiver_;
  std::unique_ptr<TScriptBook> book_;
  std::string text_;           // the text being scanned
  const char* pos_ = nullptr;  // the scan position, inside text_
  std::vector<TCastPath> casts_;
  // (from << 16 | to) -> its path in casts_ (one path per pair of types).
  std::unordered_map<uint32_t, size_t> cast_index_;
  bool casts_valid_ = false;
  TUnknownWordHandler unknown_word_handler_;
};

}  // namespace qdf
