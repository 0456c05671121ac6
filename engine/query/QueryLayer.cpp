#include "query/QueryLayer.h"

#include "object/PersistentObjectFactory.h"
#include "query/IndexFilter.h"
#include "query/QScript.h"
#include "query/ResultSet.h"
#include "query/TableOp.h"
#include "table/TableClasses.h"
#include "table/TableQueries.h"

namespace qdf {
namespace {

void Register(TQdfPersistentObjectFactory& factory) {
  factory.RegisterClass(TQdfResultSet::kClassInfo);
}

}  // namespace

void UseQueryLayer() {
  static const bool once = [] {
    UseTableClasses();
    TQdfPersistentObjectFactory::AddClassPackage(&Register);
    TQdfTableQueries queries;
    queries.compile_filter = &CompileTableFilter;
    queries.for_each_match = &ForEachMatchOf;
    queries.delete_where = &DeleteWhereOf;
    queries.apply_filter = &ApplyIndexFilter;
    InstallTableQueries(queries);
    return true;
  }();
  (void)once;
}

}  // namespace qdf
