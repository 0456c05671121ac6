#include "list/Index.h"

#include "base/QdfException.h"
#include "list/IndexObject.h"
#include "list/Table.h"

namespace qdf {

QDF_DEFINE_PERSISTENT_CLASS(TQdfIndex, TQdfBtreeList);

namespace {
[[noreturn]] void NotYet() { throw EQdfException("index operations are being built"); }
}  // namespace

TQdfIndex::TQdfIndex() = default;
TQdfIndex::~TQdfIndex() = default;
void TQdfIndex::Loaded() { TQdfBtreeList::Loaded(); }
void TQdfIndex::ClearData() { TQdfBtreeList::ClearData(); }
const std::vector<TQdfField*>& TQdfIndex::KeyFields() const { return structure_fields_; }
TQdfField* TQdfIndex::StructureField(int i) const { return structure_fields_[static_cast<size_t>(i)]; }
int TQdfIndex::StructureFieldCount() const { return static_cast<int>(structure_fields_.size()); }
bool TQdfIndex::AttachTable(TQdfTable*) { return false; }
void TQdfIndex::DetachTable(TQdfTable*) {}
void TQdfIndex::SetListening(bool on) { listening_ = on; }
int TQdfIndex::BuildKeyFromFields(bool) { NotYet(); }
int TQdfIndex::BuildKeyFromRecord() { NotYet(); }
std::string TQdfIndex::KeyText(const uint8_t*) { NotYet(); }
TItemAdr TQdfIndex::RecordOfKey(const uint8_t*) const { NotYet(); }
void TQdfIndex::Rebuild(bool) { NotYet(); }
std::string TQdfIndex::OrderText(bool) const { NotYet(); }
void TQdfIndex::SetRange(const uint8_t*, const uint8_t*) { NotYet(); }
int TQdfIndex::InRange(const uint8_t*) const { NotYet(); }
void TQdfIndex::First() { NotYet(); }
void TQdfIndex::Next() { NotYet(); }
void TQdfIndex::Last() { NotYet(); }
void TQdfIndex::Prior() { NotYet(); }
void TQdfIndex::Edit() { NotYet(); }
TQdfItemClass* TQdfIndex::Insert() { NotYet(); }
void TQdfIndex::Post() { NotYet(); }
void TQdfIndex::Cancel() { NotYet(); }
void TQdfIndex::DeleteCurrent() { NotYet(); }
int64_t TQdfIndex::Count() { return IL()->CountIt(); }
bool TQdfIndex::GotoKey(bool) { NotYet(); }
bool TQdfIndex::GotoNearest(bool) { NotYet(); }
void TQdfIndex::MoveTo(const TItemAdr&) { NotYet(); }

}  // namespace qdf
