#include "script/ScriptWord.h"

#include "base/Helpers.h"
#include "script/BasicScript.h"
#include "script/ScriptBook.h"

namespace qdf {

TScriptWord::TScriptWord(TScriptWords* section) : section_(section) {}

TScriptWord::~TScriptWord() {
  if (!linked_) return;
  TScriptBook* book = Book();
  book->Unlink(this);
  if (SameText(info_.text, kCastWordName) && book->Script() != nullptr)
    book->Script()->InvalidateCasts();
}

TScriptBook* TScriptWord::Book() const { return section_->Book(); }

bool TScriptWord::Enabled() const { return section_->Enabled(); }

int TScriptWord::CompareArgs(const std::vector<TScriptType>& a, const std::vector<TScriptType>& b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

}  // namespace qdf
