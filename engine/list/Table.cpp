#include "list/Table.h"

#include "base/QdfException.h"
#include "list/Index.h"

namespace qdf {

QDF_DEFINE_PERSISTENT_CLASS(TQdfTable, TQdfDataList);

TQdfTable::TQdfTable() = default;
TQdfTable::~TQdfTable() = default;
void TQdfTable::Loaded() { TQdfDataList::Loaded(); }
void TQdfTable::Cancel() { TQdfDataList::Cancel(); }
void TQdfTable::DeleteCurrent() { TQdfDataList::DeleteCurrent(); }
void TQdfTable::First() { TQdfDataList::First(); }
void TQdfTable::Next() { TQdfDataList::Next(); }
void TQdfTable::ReadItem(TQdfItemProvider& p) { TQdfDataList::ReadItem(p); }
int64_t TQdfTable::Count() { return TQdfDataList::Count(); }

}  // namespace qdf
