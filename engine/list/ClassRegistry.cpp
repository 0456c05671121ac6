// The persistent classes the factory knows from the start, in registration
// order. A class that can be loaded from a database (its name is stored in
// its header item) must be listed here.
#include "list/BtreeList.h"
#include "list/DataList.h"
#include "list/Fields.h"
#include "list/BlobClasses.h"
#include "list/Index.h"
#include "list/IndexObject.h"
#include "list/ItemClass.h"
#include "list/PersistentObject.h"
#include "list/PersistentObjectFactory.h"
#include "list/ServerUpdateList.h"
#include "list/Table.h"
#include "query/ResultSet.h"

namespace qdf {

void RegisterEngineClasses(TQdfPersistentObjectFactory& factory) {
  factory.RegisterClass(TQdfPersistentObject::kClassInfo);
  factory.RegisterClass(TQdfPageList::kClassInfo);
  factory.RegisterClass(TQdfItemList::kClassInfo);
  factory.RegisterClass(TQdfDataListBase::kClassInfo);
  factory.RegisterClass(TQdfDataList::kClassInfo);
  factory.RegisterClass(TQdfSortableList::kClassInfo);
  factory.RegisterClass(TQdfBtreeList::kClassInfo);
  factory.RegisterClass(TQdfItemClass::kClassInfo);
  factory.RegisterClass(TQdfIndexObject::kClassInfo);
  factory.RegisterClass(TQdfField::kClassInfo);
  factory.RegisterClass(TQdfBooleanField::kClassInfo);
  factory.RegisterClass(TQdfIntegerField::kClassInfo);
  factory.RegisterClass(TQdfFloatField::kClassInfo);
  factory.RegisterClass(TQdfDateTimeField::kClassInfo);
  factory.RegisterClass(TQdfCharField::kClassInfo);
  factory.RegisterClass(TQdfByteArrayField::kClassInfo);
  factory.RegisterClass(TQdfObjectIDField::kClassInfo);
  factory.RegisterClass(TQdfShortReferenceField::kClassInfo);
  factory.RegisterClass(TQdfReferenceField::kClassInfo);
  factory.RegisterClass(TQdfBlobField::kClassInfo);
  factory.RegisterClass(TQdfTable::kClassInfo);
  factory.RegisterClass(TQdfIndex::kClassInfo);
  factory.RegisterClass(TQdfResultSet::kClassInfo);
  factory.RegisterClass(TQdfServerUpdateList::kClassInfo);
  factory.RegisterClass(TBlobClassNode::kClassInfo);
  factory.RegisterClass(TBlobClass::kClassInfo);
}

}  // namespace qdf
