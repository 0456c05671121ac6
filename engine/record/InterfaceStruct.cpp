#include "record/InterfaceStruct.h"

#include <utility>

#include "object/PersistentObject.h"

namespace qdf {
namespace {

const TPropInfo kInterfaceObjectProps[] = {
    // Bound to a field object; as text it reads as the field's name.
    {"ThisID", TPropKind::kObject, false,
     [](const TObject& o) {
       const TQdfPersistentObject* field = static_cast<const TQdfInterfaceObject&>(o).ThisID();
       return field ? field->ObjectName() : std::string();
     },
     nullptr},
};

}  // namespace

const TClassInfo TQdfInterfaceStruct::kClassInfo = {
    "TQdfInterfaceStruct", nullptr,
    [](TQdfPersistentObject*) -> TObject* { return new TQdfInterfaceStruct(); }, nullptr, 0};
QDF_DEFINE_INTERFACE_CLASS(TQdfInterfaceObject, TQdfInterfaceStruct, kInterfaceObjectProps, 1);

void TQdfInterfaceStruct::SetRecordBuffer(uint8_t* buffer) {
  if (owned_ != nullptr && buffer == owned_.get()) return;
  owned_.reset();
  buffer_ = buffer;
}

void TQdfInterfaceStruct::AdoptRecordBuffer(std::unique_ptr<uint8_t[]> buffer) {
  owned_ = std::move(buffer);
  buffer_ = owned_.get();
}

}  // namespace qdf
