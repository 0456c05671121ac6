// TQdfResultSet: an index whose key order is given by a text, its OrderBy
// ("a, DESC b": field names of the covered record class, each optionally
// preceded by ASC or DESC).
//
// Setting OrderBy stores the text in the header (TQHResultSet) and, when the
// fields or their directions differ from the current key fields, replaces
// the key fields of the stored key structure (IDX$Order) and builds the
// index again. An unknown field name is not raised: the fields before it
// are used and ErrorText() reports "Unknown Field <name>".
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "object/QHBtreeList.h"
#include "table/Index.h"

namespace qdf {

class TQdfField;

class TQdfResultSet : public TQdfIndex {
  QDF_CLASS_INFO(TQdfResultSet)

 public:
  const TClassInfo& HeaderClass() const override { return TQHResultSet::kClassInfo; }
  TQHResultSet* ResultSetHeader() const { return static_cast<TQHResultSet*>(Header()); }

  // The index's own binding, then the stored OrderBy is parsed again (for
  // ErrorText); the key structure as stored is kept: SetOrderBy stored the
  // key fields that go with the text.
  void Loaded() override;

  // Stores `text` and orders the result set by it (see above). Raises what
  // the schema change or the rebuild raise (e.g. on a read-only reader).
  void SetOrderBy(const std::string& text);
  const std::string& OrderBy() const { return ResultSetHeader()->OrderBy(); }
  // "Unknown Field <name>" after a text naming an unknown field, else empty.
  const std::string& ErrorText() const { return error_text_; }

 private:
  using TOrder = std::vector<std::pair<TQdfField*, bool>>;  // field, ascending
  // Parses `text` against the covered record class; sets error_text_.
  TOrder Parse(const std::string& text);
  // Replaces the key fields of the stored key structure by `order` and binds
  // this object (and its template) to the new structure.
  void ReplaceKeyFields(const TOrder& order);

  std::string error_text_;
  bool reloading_ = false;
};

}  // namespace qdf
