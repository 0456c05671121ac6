// The rules a schema tree must keep so that its tables can be read: every
// table lies directly under its database and names a record class there;
// every index covers a class of its table's tree and keys fields that the
// class has, of the same type. Statements are refused when they would break
// one (TQdfStorage::Execute); the integrity check reports each broken one.
#pragma once

#include <string>
#include <vector>

namespace qdf {

class TQdfPersistentObject;
class TQdfStorage;

// The database's own objects: its "$" children and the blob chunk classes
// (and everything below them).
bool IsSystemObject(const TQdfStorage& storage, const TQdfPersistentObject& object);

// One line per broken rule, naming the object ("t1: ..."); empty when the
// schema is sound. Reads only the object tree, never a record.
std::vector<std::string> SchemaProblems(const TQdfStorage& storage);

}  // namespace qdf
