// Tables, rows, edits, queries and walks of the public API over TQdfTable,
// its fields and TQdfPreparedFilter.
#include "table/Table.h"

#include <istream>
#include <ostream>
#include <string>

#include "api/ApiImpl.h"
#include "base/QdfException.h"
#include "db/InTransStorage.h"
#include "query/PreparedFilter.h"
#include "query/QScript.h"
#include "query/TableOp.h"
#include "record/Fields.h"
#include "record/ItemClass.h"
#include "table/BlobField.h"
#include "table/Index.h"

namespace dbquillon {

using detail::Fail;
using detail::Guarded;

namespace detail {

uint64_t PositionOf(const qdf::TItemAdr& adr) {
  return (static_cast<uint64_t>(adr.page) << 16) | adr.slot;
}

qdf::TItemAdr AddressOf(uint64_t position) {
  return qdf::TItemAdr{static_cast<uint32_t>(position >> 16),
                       static_cast<uint16_t>(position & 0xFFFF)};
}

FieldType FieldTypeOf(qdf::TQdfField* f) {
  using namespace qdf;
  if (f->IsKindOf(TQdfBlobField::kClassInfo)) return FieldType::Blob;
  if (f->IsKindOf(TQdfDateTimeField::kClassInfo)) return FieldType::DateTime;
  if (f->IsKindOf(TQdfFloatField::kClassInfo)) return FieldType::Float;
  if (f->IsKindOf(TQdfIntegerField::kClassInfo)) return FieldType::Integer;
  if (f->IsKindOf(TQdfBooleanField::kClassInfo)) return FieldType::Boolean;
  if (f->IsKindOf(TQdfCharField::kClassInfo)) return FieldType::Text;
  if (f->IsKindOf(TQdfShortReferenceField::kClassInfo)) return FieldType::Reference;
  if (f->IsKindOf(TQdfObjectIDField::kClassInfo)) return FieldType::ObjectID;
  return FieldType::Bytes;
}

std::vector<std::string> KeyNames(qdf::TQdfIndex& index) {
  std::vector<std::string> names;
  const std::string text = qdf::OrderTextOf(index, false);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    names.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

// ---- TableImpl ----

TableImpl::~TableImpl() {
  if (!table) return;
  std::lock_guard<std::recursive_mutex> lock(ApiLock());
  try {
    Close();
  } catch (...) {
  }
}

void TableImpl::Close() {
  if (!table) return;
  // The prepared filters' operations hold the table: they go first.
  for (auto& w : walks) {
    if (auto walk = w.lock()) walk->closed = true;
  }
  walks.clear();
  for (auto& w : expressions) {
    if (auto e = w.lock()) e->column.reset();
  }
  expressions.clear();
  lookups.clear();
  all_rows.reset();
  for (auto& w : queries) {
    if (auto q = w.lock()) q->filter.reset();
  }
  queries.clear();
  if (table->State() != qdf::kModeBrowse) table->Cancel();
  editing = false;
  table.reset();
}

qdf::TQdfTable& TableImpl::Live() const {
  if (!table) {
    Fail(ErrorCode::Misuse, "table " + name +
                                " is closed: its transaction ended or ran statements "
                                "(open the table again)");
  }
  return *table;
}

void TableImpl::CheckWritable() const {
  Live();
  if (tx->mode == Transaction::Mode::Read) {
    Fail(ErrorCode::ReadOnly, "table " + name + ": changes need a write transaction");
  }
}

Column TableImpl::MakeColumn(qdf::TQdfField* field, int index) const {
  Column c;
  c.table_ = this;
  c.index_ = index;
  c.name_ = field->ObjectName();
  c.type_ = FieldTypeOf(field);
  return c;
}

qdf::TQdfField* TableImpl::FieldOf(const ColumnRef& ref) const {
  qdf::TQdfItemClass* cls = Live().ItemClass();
  if (cls == nullptr) Fail(ErrorCode::Damaged, "table " + name + " has no record class");
  if (const Column* c = ref.column()) {
    if (c->table_ != this) {
      Fail(ErrorCode::Misuse, "column " + c->name() + " belongs to another table than " + name);
    }
    return cls->FieldAt(c->index_);
  }
  qdf::TQdfField* f = cls->FieldByName(ref.name());
  if (f == nullptr) {
    Fail(ErrorCode::NotFound, "table " + name + " has no column " + std::string(ref.name()));
  }
  return f;
}

void TableImpl::MoveTo(uint64_t position) {
  qdf::TQdfTable& t = Live();
  const qdf::TItemAdr adr = AddressOf(position);
  if (editing) {
    // The row being edited reads its edited values; moving to another row
    // would drop the edit.
    if (t.Cursor().Address() == adr && !t.CursorOnImage()) return;
    Fail(ErrorCode::Misuse, "table " + name + " has an edit open: post or cancel it");
  }
  if (!(t.Cursor().Address() == adr) || t.CursorOnImage()) t.SetCursorAddress(adr);
  if (t.Cursor().Item() == nullptr) Fail(ErrorCode::NotFound, "the row was deleted");
}

qdf::TQdfIndex* TableImpl::IndexNamed(std::string_view index) const {
  qdf::TQdfIndex* ix = Live().IndexByName(std::string(index));
  if (ix == nullptr) {
    Fail(ErrorCode::NotFound, "table " + name + " has no index " + std::string(index));
  }
  return ix;
}

// ---- QueryImpl, WalkImpl ----

QueryImpl::~QueryImpl() {
  if (!filter) return;
  std::lock_guard<std::recursive_mutex> lock(ApiLock());
  filter.reset();
}

qdf::TQdfPreparedFilter& QueryImpl::Live() const {
  table->Live();
  if (!filter) Fail(ErrorCode::Misuse, "the query's table is closed");
  return *filter;
}

void WalkImpl::Start() {
  table->Live();
  if (table->editing) {
    Fail(ErrorCode::Misuse, "table " + table->name + " has an edit open: post or cancel it");
  }
  closed = false;
  pending_first = true;
  if (query) {
    // A read transaction changes no row: its walks stream the rows, where
    // an updating walk through an index collects their addresses first.
    op = &query->Live().Start(table->tx->mode == Transaction::Mode::Read
                                  ? qdf::TQdfPreparedFilter::TWalk::kReadRows
                                  : qdf::TQdfPreparedFilter::TWalk::kRows);
    run = ++query->runs;
    return;
  }
  index->ClearRange();
  if (from.empty()) {
    index->First();
    return;
  }
  const std::vector<qdf::TQdfField*>& keys = index->KeyFields();
  if (from.size() > KeyNames(*index).size()) {
    Fail(ErrorCode::Misuse,
         "index " + index->ObjectName() + " has fewer key fields than keys given");
  }
  index->Insert();
  try {
    for (size_t i = 0; i < from.size(); ++i) {
      qdf::TQdfField* k = keys[i];
      const Value& v = from[i];
      switch (v.kind()) {
        case Value::Kind::Integer:
        case Value::Kind::Boolean:
          k->SetAsVariant(qdf::TVariant(static_cast<int32_t>(v.integer())));
          break;
        case Value::Kind::Double:
          k->SetAsVariant(qdf::TVariant(v.dbl()));
          break;
        case Value::Kind::Text:
          k->SetAsString(v.text());
          break;
      }
    }
    index->BuildSearchKey(static_cast<int>(from.size()));
  } catch (...) {
    index->Cancel();
    throw;
  }
  index->GotoNearest(true);
}

bool WalkImpl::Next(uint64_t* position) {
  if (closed || !table->table) Fail(ErrorCode::Misuse, "the walk's table is closed");
  qdf::TQdfTable& t = *table->table;
  if (table->editing) {
    Fail(ErrorCode::Misuse, "table " + table->name + " has an edit open: post or cancel it");
  }
  if (query) {
    if (query->runs != run || !query->filter || op == nullptr) {
      Fail(ErrorCode::Misuse, "the query was run again while this walk was under way");
    }
    if (!op->Next()) return false;
    *position = PositionOf(t.Cursor().Address());
    return true;
  }
  if (pending_first) {
    pending_first = false;
  } else {
    index->Next();
  }
  if (index->Position().IsNull() || index->CurrentKey() == nullptr) return false;
  *position = PositionOf(index->RecordOfKey(index->CurrentKey()));
  return true;
}

}  // namespace detail
}  // namespace dbquillon

namespace dbquillon {

// ---- Rows ----

Rows::iterator Rows::begin() {
  return Guarded([&] {
    walk_->Start();
    iterator it;
    it.walk_ = walk_;
    ++it;
    return it;
  });
}

Rows::iterator& Rows::iterator::operator++() {
  Guarded([&] {
    uint64_t position = 0;
    if (walk_ && walk_->Next(&position)) {
      row_.emplace(Row(walk_->table, position));
    } else {
      row_.reset();
      walk_.reset();
    }
    return 0;
  });
  return *this;
}

// ---- Query ----

namespace {

void BindValue(qdf::TScriptParams& params, int i, const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Integer:
      if (value.integer() < INT32_MIN || value.integer() > INT32_MAX) {
        Fail(ErrorCode::Range, "parameter :" + params.Name(i) + ": " +
                                   std::to_string(value.integer()) +
                                   " does not fit a 32-bit integer");
      }
      params.SetInteger(i, static_cast<int32_t>(value.integer()));
      break;
    case Value::Kind::Double:
      params.SetDouble(i, value.dbl());
      break;
    case Value::Kind::Text:
      params.SetText(i, value.text());
      break;
    case Value::Kind::Boolean:
      Fail(ErrorCode::Type, "parameter :" + params.Name(i) +
                                ": booleans cannot be bound; compare with true or false");
  }
}

std::shared_ptr<detail::QueryImpl> NewQuery(const std::shared_ptr<detail::TableImpl>& t,
                                            std::string text, qdf::TQdfIndex* index) {
  auto q = std::make_shared<detail::QueryImpl>();
  q->table = t;
  q->filter = std::make_unique<qdf::TQdfPreparedFilter>(t->Live(), std::move(text), index);
  t->queries.push_back(q);
  return q;
}

// Filters with more parameters than this are tried with one kind for all
// of them only (3^n mixes would be too many compiles).
constexpr int kMaxMixedParams = 5;

// A filter with parameters compiles at its first run, once the kinds of
// the values are known. Prepare tries the kinds now, so that a filter that
// compiles with no kinds at all (a syntax error, a filter that is no
// condition) is refused at once: first one kind for every parameter (the
// common case), then, for a few parameters, every mix of integer, double
// and text. Raises the first compile's error when none compiles.
void CheckCompiles(qdf::TQdfTable& table, const std::string& text,
                   const qdf::TScriptParams& params) {
  const int n = params.Count();
  if (n == 0 || text.empty()) return;
  std::vector<std::string> names;
  for (int i = 0; i < n; ++i) names.push_back(params.Name(i));
  std::optional<Error> first_error;
  // `kinds` gives the kind of each parameter in base-3 digits.
  auto compiles = [&](auto kind_of) {
    qdf::TScriptParams trial(names);
    for (int i = 0; i < n; ++i) {
      switch (kind_of(i)) {
        case 0:
          trial.SetInteger(i, 0);
          break;
        case 1:
          trial.SetDouble(i, 0.5);
          break;
        default:
          trial.SetText(i, "x");
          break;
      }
    }
    try {
      qdf::CompileTableFilter(table, text, nullptr, &trial);
      return true;
    } catch (const qdf::Exception& e) {
      if (!first_error) first_error = detail::Translate(e);
      return false;
    }
  };
  for (int kind = 0; kind < 3; ++kind) {
    if (compiles([kind](int) { return kind; })) return;
  }
  if (n <= kMaxMixedParams) {
    int mixes = 1;
    for (int i = 0; i < n; ++i) mixes *= 3;
    for (int mix = 0; mix < mixes; ++mix) {
      if (compiles([mix](int i) {
            int m = mix;
            for (int k = 0; k < i; ++k) m /= 3;
            return m % 3;
          })) {
        return;
      }
    }
  }
  throw *first_error;
}

}  // namespace

Query Query::Bind(std::string_view name, const Value& value) && {
  Bind(name, value);  // *this is an lvalue here
  return std::move(*this);
}

Query& Query::Bind(std::string_view name, const Value& value) & {
  Guarded([&] {
    qdf::TScriptParams& params = impl_->Live().Params();
    std::string_view bare = name.substr(name.starts_with(':') ? 1 : 0);
    const int i = params.IndexOf(bare);
    if (i < 0) Fail(ErrorCode::NotFound, "the filter has no parameter :" + std::string(bare));
    BindValue(params, i, value);
    return 0;
  });
  return *this;
}

Rows Query::rows() {
  return Guarded([&] {
    impl_->Live();
    auto walk = std::make_shared<detail::WalkImpl>();
    walk->table = impl_->table;
    walk->query = impl_;
    impl_->table->walks.push_back(walk);
    return Rows(walk);
  });
}

int64_t Query::Count() {
  return Guarded([&] {
    qdf::TQdfPreparedFilter& f = impl_->Live();
    ++impl_->runs;
    qdf::TQdfFilteredTableOp& op = f.Start(qdf::TQdfPreparedFilter::TWalk::kCount);
    int64_t n = 0;
    while (op.Next()) ++n;
    return n;
  });
}

namespace {

template <typename T>
T SumOf(const std::shared_ptr<detail::QueryImpl>& q, const ColumnRef& column, bool integer) {
  qdf::TQdfPreparedFilter& f = q->Live();
  qdf::TQdfField* field = q->table->FieldOf(column);
  const FieldType type = detail::FieldTypeOf(field);
  if (integer ? type != FieldType::Integer
              : (type != FieldType::Float && type != FieldType::DateTime)) {
    Fail(ErrorCode::Type, "column " + field->ObjectName() + " is not " +
                              (integer ? "an integer column" : "a float column"));
  }
  ++q->runs;
  qdf::TQdfFilteredTableOp& op = f.Start(qdf::TQdfPreparedFilter::TWalk::kSum, field);
  T sum = 0;
  if (integer) {
    auto* f32 = static_cast<qdf::TQdfIntegerField*>(field);
    while (op.Next()) sum += static_cast<T>(f32->AsInteger());
  } else {
    auto* fd = static_cast<qdf::TQdfFloatField*>(field);
    while (op.Next()) sum += static_cast<T>(fd->AsFloat());
  }
  return sum;
}

}  // namespace

int64_t Query::Sum(ColumnRef column) {
  return Guarded([&] { return SumOf<int64_t>(impl_, column, true); });
}

double Query::SumDouble(ColumnRef column) {
  return Guarded([&] { return SumOf<double>(impl_, column, false); });
}

std::optional<Row> Query::First() {
  Rows r = rows();
  auto it = r.begin();
  if (it == r.end()) return std::nullopt;
  return *it;
}

// ---- Table ----

const std::string& Table::name() const { return impl_->name; }

Column Table::column(std::string_view name) const {
  return Guarded([&] {
    qdf::TQdfField* f = impl_->FieldOf(ColumnRef(name));
    qdf::TQdfItemClass* cls = impl_->Live().ItemClass();
    for (int i = 0; i < cls->FieldCount(); ++i) {
      if (cls->FieldAt(i) == f) return impl_->MakeColumn(f, i);
    }
    Fail(ErrorCode::NotFound, "table " + impl_->name + " has no column " + std::string(name));
  });
}

std::vector<Column> Table::columns() const {
  return Guarded([&] {
    std::vector<Column> out;
    qdf::TQdfItemClass* cls = impl_->Live().ItemClass();
    for (int i = 0; cls != nullptr && i < cls->FieldCount(); ++i) {
      out.push_back(impl_->MakeColumn(cls->FieldAt(i), i));
    }
    return out;
  });
}

Edit Table::Insert() {
  return Guarded([&] {
    impl_->CheckWritable();
    if (impl_->editing) {
      Fail(ErrorCode::Misuse, "table " + impl_->name + " has an edit open: post or cancel it");
    }
    impl_->Live().Insert();
    impl_->editing = true;
    return Edit(impl_);
  });
}

Rows Table::rows() {
  return Guarded([&] {
    if (!impl_->all_rows) impl_->all_rows = NewQuery(impl_, std::string(), nullptr);
    auto walk = std::make_shared<detail::WalkImpl>();
    walk->table = impl_;
    walk->query = impl_->all_rows;
    impl_->walks.push_back(walk);
    return Rows(walk);
  });
}

int64_t Table::Count() {
  return Guarded([&] { return impl_->Live().Count(); });
}

Query Table::Prepare(std::string_view filter) {
  return Guarded([&] {
    std::shared_ptr<detail::QueryImpl> q = NewQuery(impl_, std::string(filter), nullptr);
    CheckCompiles(impl_->Live(), q->filter->Text(), q->filter->Params());
    return Query(q);
  });
}

std::optional<Row> Table::FindKey(std::string_view index, const std::vector<Value>& keys) {
  std::shared_ptr<detail::QueryImpl> q = Guarded([&] {
    qdf::TQdfIndex* ix = impl_->IndexNamed(index);
    const std::vector<qdf::TQdfField*>& fields = ix->KeyFields();
    const size_t key_count = detail::KeyNames(*ix).size();
    if (keys.empty() || keys.size() > key_count) {
      Fail(ErrorCode::Misuse, "index " + std::string(index) + " takes 1 to " +
                                  std::to_string(key_count) + " keys, not " +
                                  std::to_string(keys.size()));
    }
    std::shared_ptr<detail::QueryImpl>& slot =
        impl_->lookups[std::make_pair(std::string(index), keys.size())];
    if (!slot) {
      std::string text;
      for (size_t i = 0; i < keys.size(); ++i) {
        if (i > 0) text += " and ";
        text += fields[i]->ObjectName() + " = :k" + std::to_string(i);
      }
      slot = NewQuery(impl_, text, ix);
    }
    qdf::TScriptParams& params = slot->Live().Params();
    for (size_t i = 0; i < keys.size(); ++i) {
      const FieldType type = detail::FieldTypeOf(fields[i]);
      const Value& v = keys[i];
      const bool fits = (type == FieldType::Integer && v.kind() == Value::Kind::Integer) ||
                        ((type == FieldType::Float || type == FieldType::DateTime) &&
                         (v.kind() == Value::Kind::Double || v.kind() == Value::Kind::Integer)) ||
                        (type == FieldType::Text && v.kind() == Value::Kind::Text);
      if (!fits) {
        Fail(ErrorCode::Type, "key " + std::to_string(i + 1) + " of index " + std::string(index) +
                                  " does not fit field " + fields[i]->ObjectName() + " (" +
                                  ToString(type) + ")");
      }
      if (type != FieldType::Integer && v.kind() == Value::Kind::Integer) {
        params.SetDouble(static_cast<int>(i), static_cast<double>(v.integer()));
      } else {
        BindValue(params, static_cast<int>(i), v);
      }
    }
    return slot;
  });
  return Query(q).First();
}

Rows Table::Walk(std::string_view index, const std::vector<Value>& from) {
  return Guarded([&] {
    auto walk = std::make_shared<detail::WalkImpl>();
    walk->table = impl_;
    walk->index = impl_->IndexNamed(index);
    walk->from = from;
    impl_->walks.push_back(walk);
    return Rows(walk);
  });
}

}  // namespace dbquillon
