// TClassInfo: the small metadata record every persistent, header and accessor
// class carries: its name, its base, how to create it, and its published
// properties. It gives the class registry and factory by name, IsKindOf by
// class, ObjectClassName and setting properties by name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/Object.h"

namespace qdf {

class TQdfPersistentObject;

// Kinds of published properties, as far as setting them from text needs.
enum class TPropKind : uint8_t {
  kInteger,   // 32-bit signed
  kCardinal,  // 32-bit unsigned
  kInt64,
  kBoolean,  // enumeration with the value names False and True
  kFloat,
  kString,
  kObject,  // a reference to another object: not settable from text
};

// One published property: its name, kind, and access as text.
struct TPropInfo {
  const char* name;
  TPropKind kind;
  bool read_only;
  // Reads the property as text (integers in decimal, booleans False/True).
  std::string (*get)(const TObject& self);
  // Sets the property from (trimmed) text; nullptr for read-only properties.
  // Raises EConvertError when the text does not fit the kind.
  void (*set)(TObject& self, const std::string& value);
  // kObject only: the declared class name of the referenced object, and the
  // setter that binds it (nullptr unbinds).
  const char* type_name = nullptr;
  void (*set_object)(TObject& self, TObject* value) = nullptr;
};

struct TClassInfo {
  const char* name;
  const TClassInfo* parent;
  // Creates an object of the class (nullptr for abstract classes). For
  // persistent classes the argument is the class object (template) or nullptr.
  TObject* (*create)(TQdfPersistentObject* class_object);
  // Properties this class introduces, in declaration order.
  const TPropInfo* props;
  int prop_count;

  // True when this class is `base` or derives from it.
  bool InheritsFrom(const TClassInfo* base) const {
    for (const TClassInfo* c = this; c; c = c->parent) {
      if (c == base) return true;
    }
    return false;
  }
  // Number of bases between this class and the root of its tree.
  int Depth() const {
    int d = 0;
    for (const TClassInfo* c = parent; c; c = c->parent) ++d;
    return d;
  }
  // Every published property, base classes first.
  std::vector<const TPropInfo*> AllProperties() const;
  // The published property of that name (case-insensitive), or nullptr.
  const TPropInfo* FindProperty(std::string_view prop_name) const;
};

}  // namespace qdf

// Declares the class's metadata inside its class body.
#define QDF_CLASS_INFO(T)                    \
 public:                                     \
  static const ::qdf::TClassInfo kClassInfo; \
  const ::qdf::TClassInfo* ClassInfo() const override { return &kClassInfo; }

// The root of a class tree declares ClassInfo() as a new virtual.
#define QDF_ROOT_CLASS_INFO(T)               \
 public:                                     \
  static const ::qdf::TClassInfo kClassInfo; \
  virtual const ::qdf::TClassInfo* ClassInfo() const { return &kClassInfo; }
