// The typed accessors of the chunk records of the storage's blob table:
// every chunk is a TBlobClassNode record (blob ID, byte position, data); the
// first chunk of a blob is a TBlobClass record that adds the blob's size.
// The item classes of the same names are generated from these accessors when
// a database is created.
#pragma once

#include "record/Fields.h"
#include "record/InterfaceStruct.h"

namespace qdf {

class TBlobClassNode : public TQdfInterfaceStruct {
  QDF_CLASS_INFO(TBlobClassNode)

 public:
  TQdfObjectIDField* BlobID = nullptr;
  TQdfIntegerField* Position = nullptr;
  TQdfByteArrayField* Data = nullptr;
};

class TBlobClass : public TBlobClassNode {
  QDF_CLASS_INFO(TBlobClass)

 public:
  TQdfIntegerField* BlobSize = nullptr;
};

}  // namespace qdf
