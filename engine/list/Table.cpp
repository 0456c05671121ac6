#include "list/Table.h"

namespace qdf {

QDF_DEFINE_PERSISTENT_CLASS(TQdfTable, TQdfDataList);

}  // namespace qdf
