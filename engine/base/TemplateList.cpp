#include "base/TemplateList.h"

namespace qdf {

void ThrowListIndexError(int index) {
  throw EAListError(Format("Der Index der Liste überschreitet das Maximum (%d)", index));
}

void ThrowListDuplicateError() {
  throw EAListError("In der Stringliste sind Duplikate nicht erlaubt");
}

}  // namespace qdf
