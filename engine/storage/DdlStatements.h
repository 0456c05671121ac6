// The data-definition statements a storage runs (TQdfStorage::Execute).
//
// A text is a list of statements separated by ";":
//   create Type Name [settings] (children)      any tree of schema objects
//   create table Name on ClassName              a table of a record class
//   create [unique] index Name on Table [Class] (key list)
//   parent Path     the next definitions go inside the object at Path
//   drop Path       deletes the object at Path with everything below it
//   rebuild Path    rebuilds the index at Path
//   set Path [settings]
//   version V       raises the storage's schema version to V
// Statement names and keywords are compared without regard to case; class,
// object and property names are passed on as written. There are no quoted
// strings: a name or value holding a blank, ";" or a bracket must stand inside
// a group ("(...)" or "[...]"). "//" starts a comment that runs to the end of
// its line. An empty statement (";;") ends the run.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qdf {

// Cuts the first statement off `text` and returns it. The statement ends at
// the first ";" outside parentheses, brackets and comments; it is returned as
// written and `text` continues after the ";". Without such a ";" the whole
// rest, trimmed, is the statement (empty when it holds only blanks and
// comments) and `text` becomes empty. Brackets are counted inside comments
// too, so that statements and their groups are always cut the same way.
std::string NextStatement(std::string& text);

// Cuts the first word or group off `text` (blanks and "//" comments before it
// are skipped) and returns it; `*kind` (when kind != nullptr) tells what it
// was:
//   "(" or "["  a group: the text inside the matching closer (nested groups
//               counted; a group never closed runs to the end of the text);
//               `text` continues after the closer.
//   ";"         a ";": the word is empty; `text` continues after it.
//   ""          nothing is left: the word is empty and `text` becomes empty.
//   otherwise   a plain word, which is its own kind. It ends before a blank or
//               control character, "(", "[", ";" or "//"; `text` continues
//               after the blank that ended it, or at the character that did.
std::string NextWord(std::string& text, std::string* kind);

}  // namespace qdf
