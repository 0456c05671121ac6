#include "record/BlobClass.h"

namespace qdf {
namespace {

const TPropInfo kBlobClassNodeProps[] = {
    QDF_ACCESSOR_FIELD(TBlobClassNode, TQdfObjectIDField, BlobID),
    QDF_ACCESSOR_FIELD(TBlobClassNode, TQdfIntegerField, Position),
    QDF_ACCESSOR_FIELD(TBlobClassNode, TQdfByteArrayField, Data),
};
const TPropInfo kBlobClassProps[] = {
    QDF_ACCESSOR_FIELD(TBlobClass, TQdfIntegerField, BlobSize),
};

}  // namespace

QDF_DEFINE_INTERFACE_CLASS(TBlobClassNode, TQdfInterfaceStruct, kBlobClassNodeProps, 3);
QDF_DEFINE_INTERFACE_CLASS(TBlobClass, TBlobClassNode, kBlobClassProps, 1);

}  // namespace qdf
