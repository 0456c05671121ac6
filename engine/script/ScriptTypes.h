// Type codes and word flags of the expression language.
//
// Every value, word argument and word result carries a 16-bit type code. Bit
// 15 marks a value read through a reference to a host variable; the low 15
// bits are the type. Word flags are stored in every word and copied into
// every parse item made from it.
#pragma once

#include <cstdint>
#include <string>

namespace qdf {

using TScriptType = uint16_t;

inline constexpr TScriptType kTypeNull = 0;     // no value (separators, member word)
inline constexpr TScriptType kTypeToken = 1;    // bare identifier passed by name; pairs
inline constexpr TScriptType kTypeInteger = 2;  // 32-bit signed
inline constexpr TScriptType kTypeDouble = 3;   // 64-bit float
inline constexpr TScriptType kTypeBoolean = 4;
inline constexpr TScriptType kTypeString = 5;
inline constexpr TScriptType kTypePChar = 6;     // string literal type; string operators use it
inline constexpr TScriptType kTypeDateTime = 7;  // double: days since 1899-12-30
inline constexpr TScriptType kTypeVariant = 8;
inline constexpr TScriptType kTypeInt64 = 9;
inline constexpr TScriptType kTypeNullVar = 10;  // the null value
inline constexpr TScriptType kTypeUnknown = 11;

// Set on the type of a value that is read through a reference to a variable.
inline constexpr TScriptType kTypeByRef = 0x8000;
inline constexpr TScriptType kTypeMask = 0x7FFF;

// Word flags.
inline constexpr uint16_t kWfLiteral = 0x0001;    // number or string scanned from the text
inline constexpr uint16_t kWfNamed = 0x0002;      // identifier: variable, constant, bare token
inline constexpr uint16_t kWfOperation = 0x0004;  // applies to operands, yields a result
inline constexpr uint16_t kWfPrefix = 0x0008;     // no left operand (unary, opening pair)
inline constexpr uint16_t kWfClosing = 0x0010;    // binds to the left only
inline constexpr uint16_t kWfRight = 0x0020;      // binds to the right
inline constexpr uint16_t kWfPair = 0x0040;       // bracket
inline constexpr uint16_t kWfNoNode = 0x0080;     // operation that builds no node
inline constexpr uint16_t kWfSeparator = 0x0100;  // argument delimiter
inline constexpr uint16_t kWfFunction = 0x0200;   // called with a parenthesised list
inline constexpr uint16_t kWfMember = 0x0400;     // member access with a parse-time handler

// Composite tests used by the parser.
inline constexpr uint16_t kWfOperator = kWfOperation | kWfRight;  // 0x0024
inline constexpr uint16_t kWfCloser = kWfOperator | kWfClosing;   // 0x0034
inline constexpr uint16_t kWfOpener = kWfPair | kWfPrefix;        // 0x0048
inline constexpr uint16_t kWfValue = kWfLiteral | kWfNamed;       // 0x0003

// The printed name of a type code: "NULL", "TOKEN", "INTEGER", ... "UNKNOWN";
// codes of 12 or more print as "Type(<code>)".
std::string ScriptTypeName(TScriptType code);

}  // namespace qdf
