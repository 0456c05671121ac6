// The cast table of TBasicScript: every conversion path between two types
// that the registered cast words allow, cheapest-first by construction.
#include "script/BasicScript.h"

namespace qdf {

const TCastPath* TBasicScript::FindCast(TScriptType from, TScriptType to) const {
  for (const TCastPath& path : casts_)
    if (path.From() == from && path.To() == to) return &path;
  return nullptr;
}

void TBasicScript::BuildCastTable() {
  casts_.clear();
  // One-step paths, in chain order; the first word for a pair of types wins.
  for (TScriptWord* w = book_->ChainHead(kCastWordName); w != nullptr; w = w->Next()) {
    if (!w->Enabled() || w->ArgTypes().size() != 1) continue;
    const TScriptType from = w->ArgTypes()[0];
    const TScriptType to = w->ResultType();
    if (FindCast(from, to) != nullptr) continue;
    TCastPath path;
    path.steps.push_back({from, to, w});
    path.cost = w->Precedence();
    casts_.push_back(std::move(path));
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
      casts_.push_back(std::move(joined));
    }
  }
  casts_valid_ = true;
}

}  // namespace qdf
