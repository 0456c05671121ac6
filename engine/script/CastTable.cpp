// The cast table of TBasicScript: every conversion path between two types
// that the registered cast words allow, cheapest-first by construction.
#include "script/BasicScript.h"

namespace qdf {

namespace {
uint32_t CastKey(TScriptType from, TScriptType to) {
  return (static_cast<uint32_t>(from) << 16) | to;
}
}  // namespace

const TCastPath* TBasicScript::FindCast(TScriptType from, TScriptType to) const {
  const auto it = cast_index_.find(CastKey(from, to));
  return it != cast_index_.end() ? &casts_[it->second] : nullptr;
}

void TBasicScript::AddCastPath(TCastPath path) {
  cast_index_.emplace(CastKey(path.From(), path.To()), casts_.size());
  casts_.push_back(std::move(path));
}

void TBasicScript::BuildCastTable() {
  casts_.clear();
  cast_index_.clear();
  // One-step paths, in chain order; the first word for a pair of types wins.
  for (TScriptWord* w = book_->ChainHead(kCastWordName); w != nullptr; w = w->Next()) {
    if (!w->Enabled() || w->ArgTypes().size() != 1) continue;
    const TScriptType from = w->ArgTypes()[0];
    const TScriptType to = w->ResultType();
    if (FindCast(from, to) != nullptr) continue;
    TCastPath path;
    path.steps.push_back({from, to, w});
    path.cost = w->Precedence();
    AddCastPath(std::move(path));
  }
  // Closure: join path i with every path j that starts where i ends, unless a
  // path between the two ends exists. The table grows while it is walked; it
  // is bounded by the number of type pairs.
  for (size_t i = 0; i < casts_.size(); ++i) {
    for (size_t j = 0; j < casts_.size(); ++j) {
      if (casts_[i].To() != casts_[j].From()) continue;
      if (FindCast(casts_[i].From(), casts_[j].To()) != nullptr) continue;
      TCastPath joined = casts_[i];
      const std::vector<TCastStep> tail = casts_[j].steps;
      joined.steps.insert(joined.steps.end(), tail.begin(), tail.end());
      joined.cost = 0;
      for (const TCastStep& step : joined.steps) joined.cost += step.word->Precedence();
      AddCastPath(std::move(joined));
    }
  }
  casts_valid_ = true;
}

}  // namespace qdf
