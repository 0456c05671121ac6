// TQdfTable: a data list of records of one record class. This part holds its
// class, header and registration; records, cursors and events come with the
// table operations.
#pragma once

#include "list/DataList.h"
#include "list/QHStorage.h"

namespace qdf {

class TQdfTable : public TQdfDataList {
  QDF_CLASS_INFO(TQdfTable)

 public:
  const TClassInfo& HeaderClass() const override { return TQHTable::kClassInfo; }
  TQHTable* TH() const { return static_cast<TQHTable*>(Header()); }
};

}  // namespace qdf
