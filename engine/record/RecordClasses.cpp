#include "record/RecordClasses.h"

#include "list/ListClasses.h"
#include "object/PersistentObjectFactory.h"
#include "record/BlobClass.h"
#include "record/Fields.h"
#include "record/IndexObject.h"
#include "record/ItemClass.h"

namespace qdf {
namespace {

void Register(TQdfPersistentObjectFactory& factory) {
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
  factory.RegisterClass(TBlobClassNode::kClassInfo);
  factory.RegisterClass(TBlobClass::kClassInfo);
}

}  // namespace

void UseRecordClasses() {
  UseListClasses();
  TQdfPersistentObjectFactory::AddClassPackage(&Register);  // idempotent
}

}  // namespace qdf
