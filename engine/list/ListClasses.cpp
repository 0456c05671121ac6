#include "list/ListClasses.h"

#include "list/BtreeList.h"
#include "list/DataList.h"
#include "list/ServerUpdateList.h"
#include "object/PersistentObjectFactory.h"

namespace qdf {
namespace {

void Register(TQdfPersistentObjectFactory& factory) {
  factory.RegisterClass(TQdfPageList::kClassInfo);
  factory.RegisterClass(TQdfItemList::kClassInfo);
  factory.RegisterClass(TQdfDataListBase::kClassInfo);
  factory.RegisterClass(TQdfDataList::kClassInfo);
  factory.RegisterClass(TQdfSortableList::kClassInfo);
  factory.RegisterClass(TQdfBtreeList::kClassInfo);
  factory.RegisterClass(TQdfServerUpdateList::kClassInfo);
}

}  // namespace

void UseListClasses() {
  TQdfPersistentObjectFactory::AddClassPackage(&Register);  // idempotent
}

}  // namespace qdf
