// The blob half of the integrity check: the chunk runs in $BLOB against the
// blob fields of every table's records.
//
// Each blob's chunks must start at position 0 with its head (a TBlobClass),
// follow each other without gaps or overlaps, hold at least one byte each,
// and add up to the head's BlobSize. Every blob belongs to exactly one
// record: two records (or two fields of one) naming the same blob are
// reported, and so are chunks of a blob no record names (space nobody will
// ever free). A record naming a blob without any chunk is sound: it reads as
// empty (older files keep the ID of a cleared blob so).
#pragma once

#include <functional>
#include <vector>

#include "file/FileCheck.h"

namespace qdf {

class TQdfPersistentObject;
class TQdfStorage;
class TQdfTable;

// `tables`: the table templates of the storage; `whole(list)`: true when the
// list's chain was followed to its end, so that its records can be walked.
// Each problem is one line of `report`.
void CheckBlobs(TQdfStorage& storage, const std::vector<TQdfTable*>& tables,
                const std::function<bool(const TQdfPersistentObject*)>& whole,
                TQdfCheckReport& report);

}  // namespace qdf
