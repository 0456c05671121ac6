// TObject: common root of the engine's polymorphic classes, so that owning
// containers (TaObjectList, TaStringList) can destroy what they hold.
#pragma once

namespace qdf {

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = default;
  TObject& operator=(const TObject&) = default;
  virtual ~TObject() = default;
};

}  // namespace qdf
