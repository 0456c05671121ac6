// The words of the section "SYSTEM_ARITHMETIC": casts, punctuation,
// functions, operators and constants. Registration order matters: overloads
// of equal argument types keep the newest first, and the cast table takes
// the first cast word for each pair of types.
#include "script/CustomScript.h"
#include "script/NodesArith.h"
#include "script/NodesLogic.h"

namespace qdf {

void TCustomScript::RegisterSystemArithmetic() {
  TScriptWords* s = AddSection("SYSTEM_ARITHMETIC");
  system_ = s;

  constexpr TScriptType I = kTypeInteger, D = kTypeDouble, B = kTypeBoolean, P = kTypePChar,
                        T = kTypeDateTime, V = kTypeVariant, L = kTypeInt64;

  // Casts.
  AddCast(s, &TdCast::kClass, I, D, 1);
  AddCast(s, &TdCast::kClass, L, D, 1);
  AddCast(s, &TiCast::kClass, I, L, 1);
  AddCast(s, nullptr, T, D, 1);  // a date-time is a double: relabel only
  AddCast(s, &TvCast::kClass, I, V, 2);
  AddCast(s, &TvCast::kClass, D, V, 2);
  AddCast(s, &TvCast::kClass, B, V, 2);
  AddCast(s, &TvCast::kClass, P, V, 2);
  AddCast(s, &TvCast::kClass, L, V, 2);

  // Punctuation.
  AddWord(s, "(", nullptr, kWfPair | kWfPrefix, 0, {}, kTypeToken);
  AddWord(s, ")", nullptr, kWfPair | kWfClosing, 255, {}, kTypeToken);
  AddWord(s, ",", nullptr, kWfSeparator, 0, {}, kTypeNull);
  TScriptWord* member = AddWord(s, ".", nullptr, kWfMember, 255, {}, kTypeNull);
  member->SetParseHandler([this](TBasicScript&, TScriptWord& word, const char*& pos) {
    return ResolveMember(word, pos);
  });

  // Functions.
  AddFunction(s, "Copy", &TsSubString::kClass, {P, I, I}, P);
  AddFunction(s, "Upper", &TsUpperCase::kClass, {P}, P);
  AddFunction(s, "ToStr", &TsCast::kClass, {I}, P);
  AddFunction(s, "ToStr", &TsCast::kClass, {D}, P);
  AddFunction(s, "ToStr", &TsCast::kClass, {V}, P);
  AddFunction(s, "ToInt", &TiCast::kClass, {P}, I);
  AddFunction(s, "ToInt", &TiCast::kClass, {D}, I);
  AddFunction(s, "ToInt", &TiCast::kClass, {V}, I);
  AddFunction(s, "ToFloat", &TdCast::kClass, {P}, D);
  AddFunction(s, "ToFloat", &TdCast::kClass, {V}, D);
  AddFunction(s, "ToBoolean", &TbCast::kClass, {P}, B);
  AddFunction(s, "ToBoolean", &TbCast::kClass, {V}, B);
  AddFunction(s, "Round", &TiRound::kClass, {D}, I);
  AddFunction(s, "Round", &TdRound::kClass, {D, I}, D);
  AddFunction(s, "Trunc", &TiTrunc::kClass, {D}, I);
  AddFunction(s, "Date", &TdtDate::kClass, {I, I, I}, T);
  AddFunction(s, "Time", &TdtTime::kClass, {I, I, I, I}, T);

  // Operators: prefix forms, then the binary ones.
  AddWord(s, "-", &TiNeg::kClass, kWfPrefix, 10, {I}, I);
  AddWord(s, "-", &TdNeg::kClass, kWfPrefix, 10, {D}, D);
  AddWord(s, "-", &TdNeg::kClass, kWfPrefix, 10, {T}, T);
  AddWord(s, "not", &TbNot::kClass, kWfPrefix, 10, {B}, B);
  AddWord(s, "-", &TiMinus::kClass, 0, 5, {I, I}, I);
  AddWord(s, "-", &TdMinus::kClass, 0, 5, {D, D}, D);
  AddWord(s, "-", &TdMinus::kClass, 0, 5, {T, T}, T);
  AddWord(s, "*", &TiMul::kClass, 0, 6, {I, I}, I);
  AddWord(s, "*", &TdMul::kClass, 0, 6, {D, D}, D);
  AddWord(s, "+", &TiPlus::kClass, 0, 5, {I, I}, I);
  AddWord(s, "+", &TdPlus::kClass, 0, 5, {D, D}, D);
  AddWord(s, "+", &TdPlus::kClass, 0, 5, {T, T}, T);
  AddWord(s, "+", &TsPlus::kClass, 0, 5, {P, P}, P);

  // Constants are plain values.
  AddIntConst(s, "null", kTypeNullVar, 0);
  AddDoubleConst(s, "pi", 3.141592653589793);
  AddBoolConst(s, "true", true);
  AddBoolConst(s, "false", false);

  struct Comparison {
    const char* name;
    const TNodeClass* int_class;
    const TNodeClass* double_class;
    const TNodeClass* string_class;
  };
  static const Comparison kComparisons[] = {
      {"=", &TiEQ::kClass, &TdEq::kClass, &TsEq::kClass},
      {"<>", &TiNEQ::kClass, &TdNEQ::kClass, &TsNEQ::kClass},
      {"<", &TiLT::kClass, &TdLT::kClass, &TsLT::kClass},
      {">", &TiGT::kClass, &TdGT::kClass, &TsGT::kClass},
      {"<=", &TiLE::kClass, &TdLE::kClass, &TsLE::kClass},
      {">=", &TiGE::kClass, &TdGE::kClass, &TsGE::kClass},
  };
  for (const Comparison& c : kComparisons) {
    AddWord(s, c.name, c.int_class, 0, 4, {I, I}, B);
    AddWord(s, c.name, c.double_class, 0, 4, {D, D}, B);
    AddWord(s, c.name, c.string_class, 0, 2, {P, P}, B);
  }
  AddWord(s, "and", &TbAnd::kClass, 0, 3, {B, B}, B);
  AddWord(s, "or", &TbOr::kClass, 0, 2, {B, B}, B);
  AddWord(s, "like", &TsLike::kClass, 0, 2, {P, P}, B);
}

}  // namespace qdf
