#include "script/ScriptTypes.h"

namespace qdf {

std::string ScriptTypeName(TScriptType code) {
  static const char* const kNames[] = {"NULL",    "TOKEN",  "INTEGER", "DOUBLE",
                                       "BOOLEAN", "STRING", "PCHAR",   "DATETIME",
                                       "VARIANT", "INT64",  "NULLVAR", "UNKNOWN"};
  if (code < sizeof kNames / sizeof kNames[0]) return kNames[code];
  return "Type(" + std::to_string(code) + ")";
}

}  // namespace qdf
