// TQdfPreparedFilter: a filter text of a table compiled once and run many
// times with new values of its parameters (":name", script/ScriptParams.h).
//
// Each kind of walk (rows, count, sum of a field) keeps a filtered table
// operation of its own, with its own compiled filter and its index choice,
// and starts it again for every run: binding a value touches only the
// parameter's slot, which the compiled nodes read by reference, and the
// index range is positioned on the bound values at every start
// (PositionOnRange evaluates the bounds again).
//
// The operations are made again when a parameter changes its kind (the
// parser chose the operations by the kinds) or when a text value crosses
// what the index choice looks at: the empty text keys as null, and a text
// too long for a key field matches no key (see MakeTerm in IndexFilter.cpp).
// Nothing else about a value changes the choice.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "query/TableOp.h"
#include "script/ScriptParams.h"

namespace qdf {

class TQdfField;
class TQdfIndex;
class TQdfTable;

class TQdfPreparedFilter {
 public:
  // The walks a prepared filter serves.
  enum class TWalk : uint8_t {
    kRows,      // every row in the walk's order; the caller may edit or delete them
    kReadRows,  // every row in the walk's order, read only (nothing collected first)
    kCount,     // the rows' addresses only, in any order
    kSum,       // one field of each row, in any order
  };

  // Finds the parameters of `text` and compiles it at once when it has none
  // (raising the compiler's errors then); a text with parameters is compiled
  // at the first walk, when their kinds are known. `index`, when given, is
  // the only index the walks may use (lookups by key).
  TQdfPreparedFilter(TQdfTable& table, std::string text, TQdfIndex* index = nullptr);
  ~TQdfPreparedFilter();
  TQdfPreparedFilter(const TQdfPreparedFilter&) = delete;
  TQdfPreparedFilter& operator=(const TQdfPreparedFilter&) = delete;

  const std::string& Text() const { return text_; }
  TScriptParams& Params() { return params_; }

  // The operation of `walk` (for kSum over `field`) for the current values,
  // started (First) and ready for Next. Raises "Parameter :name is not
  // bound" while a parameter has no value, and the compiler's errors.
  TQdfFilteredTableOp& Start(TWalk walk, TQdfField* field = nullptr);
  // Forgets the operations (the table's schema changed; they compile again).
  void Reset();
  // Compiles made since construction (tests watch that binding alone
  // compiles nothing).
  int Compiles() const { return compiles_; }

 private:
  // What the operations were made for: the parameters' kinds and, for
  // texts, whether the value is empty, fits a key or is too long for one.
  std::vector<uint8_t> Signature() const;
  std::unique_ptr<TvNode> Compile();

  TQdfTable& table_;
  std::string text_;
  TQdfIndex* index_;
  TScriptParams params_;
  std::vector<uint8_t> signature_;
  // By walk (kSum: one per field, keyed by the field).
  std::map<std::pair<int, const TQdfField*>, std::unique_ptr<TQdfFilteredTableOp>> ops_;
  std::unique_ptr<TvNode> first_;  // compiled at construction, until the first walk
  int compiles_ = 0;
};

}  // namespace qdf
