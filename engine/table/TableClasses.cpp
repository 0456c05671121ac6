#include "table/TableClasses.h"

#include "object/PersistentObjectFactory.h"
#include "record/RecordClasses.h"
#include "table/BlobField.h"
#include "table/Index.h"
#include "table/Table.h"

namespace qdf {
namespace {

void Register(TQdfPersistentObjectFactory& factory) {
  factory.RegisterClass(TQdfBlobField::kClassInfo);
  factory.RegisterClass(TQdfTable::kClassInfo);
  factory.RegisterClass(TQdfIndex::kClassInfo);
}

}  // namespace

void UseTableClasses() {
  UseRecordClasses();
  TQdfPersistentObjectFactory::AddClassPackage(&Register);  // idempotent
}

}  // namespace qdf
