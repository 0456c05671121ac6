#include "script/ScriptBook.h"

#include <memory>

#include "base/Helpers.h"
#include "script/BasicScript.h"

namespace qdf {

// ---- TScriptWords ----------------------------------------------------------------

TScriptWords::TScriptWords(TScriptBook* book, std::string name)
    : name_(std::move(name)), book_(book) {}

TScriptWords::~TScriptWords() { words_.Clear(); }

void TScriptWords::DeleteWord(TScriptWord* word) {
  int index = words_.IndexOf(word);
  if (index >= 0) words_.Delete(index);
}

// ---- TScriptBook -----------------------------------------------------------------

TScriptBook::TScriptBook(TBasicScript* script, size_t buckets)
    : script_(script),
      names_(&CaseInsensitiveTraits(), buckets),
      sections_(/*sorted=*/true, /*case_sensitive=*/false, kDupError, /*owns_objects=*/true) {}

TScriptBook::~TScriptBook() {
  // The words unlink themselves from names_, which must still exist.
  sections_.Clear();
}

TScriptWords* TScriptBook::AddSection(std::string_view name) {
  auto section = std::make_unique<TScriptWords>(this, std::string(name));
  sections_.AddObject(name, section.get());  // raises on a duplicate name
  return section.release();
}

TScriptWords* TScriptBook::Section(std::string_view name) const {
  return static_cast<TScriptWords*>(sections_.Objects(name));
}

TScriptWord* TScriptBook::ChainHead(std::string_view name) const {
  return static_cast<TScriptWord*>(names_.Get(name));
}

TScriptWord* TScriptBook::FindWord(std::string_view name) const {
  for (TScriptWord* w = ChainHead(name); w != nullptr; w = w->next_)
    if (w->Enabled()) return w;
  return nullptr;
}

TScriptWord* TScriptBook::AddWord(TScriptWords* section, std::string_view name, TScriptWord* word) {
  std::unique_ptr<TScriptWord> created;
  if (word == nullptr) {
    created = std::make_unique<TScriptWord>(section);
    word = created.get();
  }
  word->info_.text.assign(name);
  word->info_.word = word;
  section->words_.Add(word);
  created.release();

  // Insert before the first chain member whose arguments do not compare lower.
  TScriptWord* prev = nullptr;
  TScriptWord* cur = ChainHead(name);
  while (cur != nullptr && TScriptWord::CompareArgs(cur->args_, word->args_) < 0) {
    prev = cur;
    cur = cur->next_;
  }
  word->next_ = cur;
  if (prev != nullptr) {
    prev->next_ = word;
  } else {
    names_.Put(name, word);
  }
  word->linked_ = true;
  if (SameText(name, kCastWordName) && script_ != nullptr) script_->InvalidateCasts();
  return word;
}

void TScriptBook::Unlink(TScriptWord* word) {
  const std::string& name = word->Name();
  TScriptWord* head = ChainHead(name);
  if (head == word) {
    if (word->next_ != nullptr) {
      names_.Put(name, word->next_);
    } else {
      names_.Remove(name);
    }
  } else {
    for (TScriptWord* p = head; p != nullptr; p = p->next_) {
      if (p->next_ == word) {
        p->next_ = word->next_;
        break;
      }
    }
  }
  word->next_ = nullptr;
  word->linked_ = false;
}

}  // namespace qdf
