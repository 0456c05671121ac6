#include "query/PreparedFilter.h"

#include "base/QdfException.h"
#include "query/QScript.h"
#include "record/DynamicKeyBuffer.h"
#include "script/BasicScript.h"
#include "table/Table.h"

namespace qdf {

TQdfPreparedFilter::TQdfPreparedFilter(TQdfTable& table, std::string text, TQdfIndex* index)
    : table_(table),
      text_(std::move(text)),
      index_(index),
      params_(QueryScript().ParameterNames(text_)) {
  if (params_.Count() == 0 && !text_.empty()) {
    first_ = Compile();
    signature_ = Signature();
  }
}

TQdfPreparedFilter::~TQdfPreparedFilter() = default;

void TQdfPreparedFilter::Reset() {
  ops_.clear();
  first_.reset();
}

std::vector<uint8_t> TQdfPreparedFilter::Signature() const {
  std::vector<uint8_t> out;
  out.reserve(static_cast<size_t>(params_.Count()));
  for (int i = 0; i < params_.Count(); ++i) {
    uint8_t code = static_cast<uint8_t>(params_.Kind(i) << 2);
    if (params_.Kind(i) == TScriptParams::kText) {
      const size_t n = params_.Text(i).size();
      code |= n == 0 ? 0 : n >= static_cast<size_t>(TDynamicKeyBuffer::kMaxFieldSize) ? 2 : 1;
    }
    out.push_back(code);
  }
  return out;
}

std::unique_ptr<TvNode> TQdfPreparedFilter::Compile() {
  ++compiles_;
  if (text_.empty()) return nullptr;
  return CompileTableFilter(table_, text_, nullptr, &params_);
}

TQdfFilteredTableOp& TQdfPreparedFilter::Start(TWalk walk, TQdfField* field) {
  const int unbound = params_.FirstUnbound();
  if (unbound >= 0) {
    throw EQdfException("Parameter :" + params_.Name(unbound) + " is not bound");
  }
  std::vector<uint8_t> signature = Signature();
  if (signature != signature_) {
    Reset();
    signature_ = std::move(signature);
  }
  const auto key = std::make_pair(static_cast<int>(walk), walk == TWalk::kSum ? field : nullptr);
  auto it = ops_.find(key);
  if (it == ops_.end()) {
    std::unique_ptr<TvNode> filter = first_ ? std::move(first_) : Compile();
    std::unique_ptr<TQdfFilteredTableOp> op;
    if (walk == TWalk::kRows) {
      op = std::make_unique<TQdfUpdateableFilterOp>(table_, kOpDefault, index_, nullptr,
                                                    std::move(filter));
    } else if (walk == TWalk::kReadRows) {
      op = std::make_unique<TQdfFilteredTableOp>(table_, kOpDefault, index_, nullptr,
                                                 std::move(filter));
    } else {
      op = std::make_unique<TQdfFilteredTableOp>(table_, kOpDefault | kOpAnyOrder, index_, nullptr,
                                                 std::move(filter));
      std::vector<TQdfField*> reads;
      if (walk == TWalk::kSum && field != nullptr) reads.push_back(field);
      op->SetReads(std::move(reads));
    }
    it = ops_.emplace(key, std::move(op)).first;
  }
  it->second->Close();
  it->second->First();
  return *it->second;
}

}  // namespace qdf
