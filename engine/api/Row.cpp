// Rows and edits of the public API: typed, checked access to the fields of
// a table's current record. Every access checks the column's type before it
// reads or writes, so a wrong type never reaches a field.
#include <cstring>
#include <istream>
#include <iterator>
#include <ostream>
#include <string>

#include "api/ApiImpl.h"
#include "base/QdfException.h"
#include "record/Fields.h"
#include "table/BlobField.h"
#include "table/Table.h"

namespace dbquillon {

using detail::Fail;
using detail::Guarded;

const char* ToString(FieldType type) {
  switch (type) {
    case FieldType::Integer:
      return "TQdfIntegerField";
    case FieldType::Float:
      return "TQdfFloatField";
    case FieldType::DateTime:
      return "TQdfDateTimeField";
    case FieldType::Boolean:
      return "TQdfBooleanField";
    case FieldType::Text:
      return "TQdfCharField";
    case FieldType::Bytes:
      return "TQdfByteArrayField";
    case FieldType::ObjectID:
      return "TQdfObjectIDField";
    case FieldType::Reference:
      return "TQdfReferenceField";
    case FieldType::Blob:
      return "TQdfBlobField";
  }
  return "TQdfField";
}

namespace {

[[noreturn]] void WrongType(qdf::TQdfField* f, const char* wanted) {
  Fail(ErrorCode::Type, "column " + f->ObjectName() + " is a " + ToString(detail::FieldTypeOf(f)) +
                            ", not " + wanted);
}

// The field of `column` with the table's cursor on the row.
qdf::TQdfField* AtRow(const std::shared_ptr<detail::TableImpl>& t, uint64_t position,
                      const ColumnRef& column) {
  if (!t) Fail(ErrorCode::Misuse, "an empty row");
  qdf::TQdfField* f = t->FieldOf(column);
  t->MoveTo(position);
  return f;
}

}  // namespace

// ---- Row ----

bool Row::IsNull(ColumnRef column) const {
  return Guarded([&] { return AtRow(table_, position_, column)->IsNull(); });
}

int64_t Row::GetInt64(ColumnRef column) const {
  return Guarded([&]() -> int64_t {
    qdf::TQdfField* f = AtRow(table_, position_, column);
    switch (detail::FieldTypeOf(f)) {
      case FieldType::Integer:
        return static_cast<qdf::TQdfIntegerField*>(f)->AsInteger();
      case FieldType::ObjectID:
        return static_cast<qdf::TQdfObjectIDField*>(f)->AsInt64();
      case FieldType::Reference:
        return static_cast<int64_t>(
            detail::PositionOf(static_cast<qdf::TQdfShortReferenceField*>(f)->AsAddress()));
      default:
        WrongType(f, "an integer");
    }
  });
}

double Row::GetDouble(ColumnRef column) const {
  return Guarded([&] {
    qdf::TQdfField* f = AtRow(table_, position_, column);
    const FieldType type = detail::FieldTypeOf(f);
    if (type != FieldType::Float && type != FieldType::DateTime) WrongType(f, "a float");
    return static_cast<qdf::TQdfFloatField*>(f)->AsFloat();
  });
}

std::string Row::GetString(ColumnRef column) const {
  return Guarded([&] {
    qdf::TQdfField* f = AtRow(table_, position_, column);
    const FieldType type = detail::FieldTypeOf(f);
    if (type != FieldType::Text && type != FieldType::Blob) WrongType(f, "a text");
    return f->GetAsString();
  });
}

bool Row::GetBool(ColumnRef column) const {
  return Guarded([&] {
    qdf::TQdfField* f = AtRow(table_, position_, column);
    if (detail::FieldTypeOf(f) != FieldType::Boolean) WrongType(f, "a boolean");
    return static_cast<qdf::TQdfBooleanField*>(f)->AsBoolean();
  });
}

std::string Row::GetText(ColumnRef column) const {
  return Guarded([&] { return AtRow(table_, position_, column)->GetAsString(); });
}

void Row::GetText(ColumnRef column, std::string& out) const {
  Guarded([&] {
    qdf::TQdfField* f = AtRow(table_, position_, column);
    if (detail::FieldTypeOf(f) != FieldType::Text) {
      out = f->GetAsString();
      return 0;
    }
    // The stored text up to its zero byte, without a temporary string.
    int length = 0;
    const uint8_t* data = f->GetData(&length);
    const void* zero =
        data != nullptr ? std::memchr(data, 0, static_cast<size_t>(length)) : nullptr;
    const size_t n = zero != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - data)
                                     : static_cast<size_t>(data != nullptr ? length : 0);
    out.assign(reinterpret_cast<const char*>(data), n);
    return 0;
  });
}

template <>
int64_t Row::Get<int64_t>(ColumnRef column) const {
  return GetInt64(column);
}
template <>
int Row::Get<int>(ColumnRef column) const {
  return static_cast<int>(GetInt64(column));
}
template <>
double Row::Get<double>(ColumnRef column) const {
  return GetDouble(column);
}
template <>
std::string Row::Get<std::string>(ColumnRef column) const {
  return GetString(column);
}
template <>
bool Row::Get<bool>(ColumnRef column) const {
  return GetBool(column);
}

namespace {

qdf::TQdfBlobField* BlobAtRow(const std::shared_ptr<detail::TableImpl>& t, uint64_t position,
                              const ColumnRef& column) {
  qdf::TQdfField* f = AtRow(t, position, column);
  if (detail::FieldTypeOf(f) != FieldType::Blob) WrongType(f, "a blob");
  return static_cast<qdf::TQdfBlobField*>(f);
}

}  // namespace

std::string Row::ReadBlob(ColumnRef column) const {
  return Guarded([&] {
    std::string out;
    BlobAtRow(table_, position_, column)->ReadBlob(out);
    return out;
  });
}

void Row::ReadBlob(ColumnRef column, std::ostream& out) const {
  const std::string bytes = ReadBlob(column);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) Fail(ErrorCode::Io, "the stream did not take the blob's bytes");
}

int64_t Row::BlobSize(ColumnRef column) const {
  return Guarded([&] { return int64_t{BlobAtRow(table_, position_, column)->BlobSize()}; });
}

Edit Row::Update() const {
  return Guarded([&] {
    if (!table_) Fail(ErrorCode::Misuse, "an empty row");
    table_->CheckWritable();
    table_->MoveTo(position_);
    table_->Live().Edit();
    table_->editing = true;
    return Edit(table_);
  });
}

void Row::Delete() const {
  Guarded([&] {
    if (!table_) Fail(ErrorCode::Misuse, "an empty row");
    table_->CheckWritable();
    table_->MoveTo(position_);
    table_->Live().Delete(false);
    return 0;
  });
}

// ---- Edit ----

Edit::~Edit() {
  if (!table_) return;
  std::lock_guard<std::recursive_mutex> lock(detail::ApiLock());
  if (table_->table && table_->editing) {
    try {
      table_->table->Cancel();
    } catch (...) {
    }
  }
  table_->editing = false;
}

Edit::Edit(Edit&& other) noexcept : table_(std::move(other.table_)) {}

namespace {

qdf::TQdfField* Editable(const std::shared_ptr<detail::TableImpl>& t, const ColumnRef& column) {
  if (!t || !t->editing) Fail(ErrorCode::Misuse, "the edit is closed");
  return t->FieldOf(column);
}

}  // namespace

Edit& Edit::SetInt64(ColumnRef column, int64_t value) {
  Guarded([&] {
    qdf::TQdfField* f = Editable(table_, column);
    switch (detail::FieldTypeOf(f)) {
      case FieldType::Integer:
        if (value < INT32_MIN || value > INT32_MAX) {
          Fail(ErrorCode::Range, "column " + f->ObjectName() + ": " + std::to_string(value) +
                                     " does not fit a 32-bit integer");
        }
        static_cast<qdf::TQdfIntegerField*>(f)->SetAsInteger(static_cast<int32_t>(value));
        break;
      case FieldType::ObjectID:
        static_cast<qdf::TQdfObjectIDField*>(f)->SetAsInt64(value);
        break;
      case FieldType::Float:
      case FieldType::DateTime:
        static_cast<qdf::TQdfFloatField*>(f)->SetAsFloat(static_cast<double>(value));
        break;
      default:
        WrongType(f, "an integer");
    }
    return 0;
  });
  return *this;
}

Edit& Edit::SetDouble(ColumnRef column, double value) {
  Guarded([&] {
    qdf::TQdfField* f = Editable(table_, column);
    const FieldType type = detail::FieldTypeOf(f);
    if (type != FieldType::Float && type != FieldType::DateTime) WrongType(f, "a float");
    static_cast<qdf::TQdfFloatField*>(f)->SetAsFloat(value);
    return 0;
  });
  return *this;
}

Edit& Edit::SetString(ColumnRef column, std::string_view value) {
  Guarded([&] {
    qdf::TQdfField* f = Editable(table_, column);
    const FieldType type = detail::FieldTypeOf(f);
    if (type == FieldType::Blob) {
      qdf::TBlobMemoryStream stream(value);
      static_cast<qdf::TQdfBlobField*>(f)->WriteBlob(stream);
      return 0;
    }
    if (type != FieldType::Text) WrongType(f, "a text");
    if (value.find('\0') != std::string_view::npos) {
      Fail(ErrorCode::Range, "column " + f->ObjectName() + ": a text holds no zero byte");
    }
    f->SetAsString(std::string(value));
    return 0;
  });
  return *this;
}

Edit& Edit::SetBool(ColumnRef column, bool value) {
  Guarded([&] {
    qdf::TQdfField* f = Editable(table_, column);
    if (detail::FieldTypeOf(f) != FieldType::Boolean) WrongType(f, "a boolean");
    static_cast<qdf::TQdfBooleanField*>(f)->SetAsBoolean(value);
    return 0;
  });
  return *this;
}

Edit& Edit::SetNull(ColumnRef column) {
  Guarded([&] {
    qdf::TQdfField* f = Editable(table_, column);
    if (detail::FieldTypeOf(f) == FieldType::Blob) {
      static_cast<qdf::TQdfBlobField*>(f)->ClearBlob();
    } else {
      f->Clear();
    }
    return 0;
  });
  return *this;
}

Edit& Edit::SetText(ColumnRef column, std::string_view text) {
  Guarded([&] {
    Editable(table_, column)->SetAsString(std::string(text));
    return 0;
  });
  return *this;
}

Edit& Edit::Set(ColumnRef column, const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Integer:
      return SetInt64(column, value.integer());
    case Value::Kind::Double:
      return SetDouble(column, value.dbl());
    case Value::Kind::Text:
      return SetString(column, value.text());
    case Value::Kind::Boolean:
      return SetBool(column, value.integer() != 0);
  }
  return *this;
}

Edit& Edit::WriteBlob(ColumnRef column, std::string_view bytes) {
  Guarded([&] {
    qdf::TQdfField* f = Editable(table_, column);
    if (detail::FieldTypeOf(f) != FieldType::Blob) WrongType(f, "a blob");
    qdf::TBlobMemoryStream stream(bytes);
    static_cast<qdf::TQdfBlobField*>(f)->WriteBlob(stream);
    return 0;
  });
  return *this;
}

Edit& Edit::WriteBlob(ColumnRef column, std::istream& in) {
  std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) Fail(ErrorCode::Io, "the stream failed while its blob was read");
  return WriteBlob(column, bytes);
}

Row Edit::Post() {
  return Guarded([&] {
    if (!table_ || !table_->editing) Fail(ErrorCode::Misuse, "the edit is closed");
    qdf::TQdfTable& t = table_->Live();
    // A failed post leaves the table browsing, the values gone: the edit
    // ends with it.
    table_->editing = false;
    t.Post();
    return Row(table_, detail::PositionOf(t.Cursor().Address()));
  });
}

void Edit::Cancel() {
  Guarded([&] {
    if (table_ && table_->editing && table_->table) table_->table->Cancel();
    if (table_) table_->editing = false;
    return 0;
  });
}

}  // namespace dbquillon
