// TScriptParams: the named parameters of an expression, ":name" in its text.
//
// A parameter is a slot of this object with a kind (integer, double, text)
// and a value. Compiling with Book() turns every ":name" into a variable
// node that reads its slot by reference, so binding a new value changes
// what the compiled expression computes without compiling it again; only a
// new kind needs a new compile (the parser chose the operations by the
// kinds), which Shape() tells the owner. Slots never move, so compiled
// nodes stay valid while the object lives.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qdf {

class TScriptBook;
class TBasicScript;

class TScriptParams {
 public:
  enum TKind : uint8_t { kUnbound = 0, kInteger = 1, kDouble = 2, kText = 3 };

  // The parameters `names` (without colons), every one unbound.
  explicit TScriptParams(const std::vector<std::string>& names);
  ~TScriptParams();
  TScriptParams(const TScriptParams&) = delete;
  TScriptParams& operator=(const TScriptParams&) = delete;

  int Count() const { return static_cast<int>(slots_.size()); }
  const std::string& Name(int i) const { return slots_[static_cast<size_t>(i)]->name; }
  TKind Kind(int i) const { return slots_[static_cast<size_t>(i)]->kind; }
  // The position of parameter `name` (compared without regard to case, as
  // the script looks words up), or -1.
  int IndexOf(std::string_view name) const;
  // The first parameter still unbound, or -1.
  int FirstUnbound() const;

  // Bind parameter i. REQUIRES: 0 <= i < Count().
  void SetInteger(int i, int32_t value);
  void SetDouble(int i, double value);
  void SetText(int i, std::string value);
  int32_t Integer(int i) const { return slots_[static_cast<size_t>(i)]->integer; }
  double Double(int i) const { return slots_[static_cast<size_t>(i)]->dbl; }
  const std::string& Text(int i) const { return slots_[static_cast<size_t>(i)]->text; }

  // Changes whenever a parameter changes its kind: expressions compiled
  // before must be compiled again.
  uint32_t Shape() const { return shape_; }

  // A book (for TCustomScript::UseBook) with one variable word ":name" per
  // bound parameter, reading its slot.
  std::unique_ptr<TScriptBook> Book(TBasicScript* script) const;

 private:
  struct TSlot {
    std::string name;
    TKind kind = kUnbound;
    int32_t integer = 0;
    double dbl = 0;
    std::string text;
  };
  void SetKind(TSlot& slot, TKind kind);

  std::vector<std::unique_ptr<TSlot>> slots_;
  uint32_t shape_ = 0;
};

}  // namespace qdf
