// TScriptWords and TScriptBook: the dictionary of a script.
//
// A book maps each word name (without regard to case) to the head of that
// name's overload chain, and owns its named sections, which own their words.
// Words of a disabled section are skipped by every lookup.
#pragma once

#include <string>
#include <string_view>

#include "base/HashList.h"
#include "base/Object.h"
#include "base/ObjectList.h"
#include "base/StringList.h"
#include "script/ScriptWord.h"

namespace qdf {

class TBasicScript;
class TScriptBook;

// A named section of words.
class TScriptWords : public TObject {
 public:
  TScriptWords(TScriptBook* book, std::string name);
  // Destroys the words (each unlinks itself from the book).
  ~TScriptWords() override;

  const std::string& Name() const { return name_; }
  TScriptBook* Book() const { return book_; }
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled) { enabled_ = enabled; }

  int Count() const { return words_.Count(); }
  TScriptWord* Word(int index) const { return words_[index]; }
  // Destroys `word`, which must belong to this section.
  void DeleteWord(TScriptWord* word);

 private:
  friend class TScriptBook;

  std::string name_;
  TScriptBook* book_;
  bool enabled_ = true;
  TaObjectListOf<TScriptWord> words_{true};
};

class TScriptBook : public TObject {
 public:
  // An empty, enabled book belonging to `script` (may be null for a book
  // that is only used as an external book).
  // `buckets`: size of the name table; small books (a compile's FROM book,
  // made and dropped for every filter) take a small one.
  explicit TScriptBook(TBasicScript* script = nullptr, size_t buckets = kDefaultBuckets);
  static constexpr size_t kDefaultBuckets = 1021;  // prime: names spread, lookups one probe deep
  ~TScriptBook() override;

  TScriptBook(const TScriptBook&) = delete;
  TScriptBook& operator=(const TScriptBook&) = delete;

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled) { enabled_ = enabled; }
  TBasicScript* Script() const { return script_; }
  void SetScript(TBasicScript* script) { script_ = script; }

  // Adds a section. Raises EAListError "In der Stringliste sind Duplikate
  // nicht erlaubt" when a section of that name exists.
  TScriptWords* AddSection(std::string_view name);
  // The section of that name, or null.
  TScriptWords* Section(std::string_view name) const;
  int SectionCount() const { return sections_.Count(); }

  // Adds a word named `name` to `section` (creating a TScriptWord when `word`
  // is null), makes it the head of its name's chain and moves it down past
  // every word whose argument types compare lower. Set the argument types
  // before adding. Returns the word, now owned by the section. Adding a cast
  // word invalidates the script's cast table.
  // REQUIRES: section belongs to this book; word (if given) was created for
  // section and is not yet added.
  TScriptWord* AddWord(TScriptWords* section, std::string_view name, TScriptWord* word = nullptr);

  // The first word of that name whose section is enabled, or null.
  TScriptWord* FindWord(std::string_view name) const;
  // The head of the name's chain regardless of sections, or null.
  TScriptWord* ChainHead(std::string_view name) const;

 private:
  friend class TScriptWord;

  // Unlinks `word` from its chain (called by the word's destructor).
  void Unlink(TScriptWord* word);

  bool enabled_ = true;
  TBasicScript* script_;
  THashList names_;
  // Sorted by name, case-insensitive, owning, duplicates are an error.
  TaStringList sections_;
};

// The name of the cast words.
inline constexpr const char* kCastWordName = "__cast__";

}  // namespace qdf
