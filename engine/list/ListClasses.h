// The persistent list classes a database file may name.
#pragma once

namespace qdf {

// Registers the persistent classes of this layer (and of the layers below)
// with the object factory. Idempotent.
void UseListClasses();

}  // namespace qdf
