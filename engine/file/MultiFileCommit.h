// TMultiFileCommit: commits the write transactions of several local database
// files all or none, also across a crash, a power loss or a failed write.
//
// A file's own commit is atomic (its header is the only place overwritten);
// over several files a commit record beside the first file makes the group
// atomic:
//   1. every file's pages are written and synced; beside every file but the
//      first a marker "<file>-commit" names the record, written and synced
//      with its folder;
//   2. the record "<first file>-commit" lists, for every file, the root
//      record its header holds now and the whole header it is to get, under
//      a checksum; written and synced with its folder, it is the commit
//      point;
//   3. every file's header is written and synced;
//   4. the record is removed, then the markers.
// An open of any of the files (RecoverAtOpen, run by the local filer before
// it reads its header) finds the record directly or through its marker. A
// complete record is rolled forward: a file whose header still holds the
// root record the commit started from gets the new header; one that holds
// anything else (the new one, or a later commit) is left alone. An
// incomplete record (short, bad checksum, or missing for a marker) is the
// trace of a commit that never reached its commit point: no header was
// written, so it is removed. Byte layouts: docs/file-format.md.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "file/FileFormat.h"
#include "file/QdfFiler.h"

namespace qdf {

class TFileHandle;
class TQdfIndirectPageReader;

class TMultiFileCommit {
 public:
  using THeader = std::array<uint8_t, kHeaderSize>;

  // "<file>-commit": the record beside the first file, a marker beside the others.
  static std::string SidePath(const std::string& file_name);

  // Commits the running write transactions of `readers` (each on its own
  // local filer, at least two, pages flushed) all or none. A failure before
  // the commit point leaves every file at its last committed state and every
  // transaction rollback-only; a failure after it stops every filer until the
  // files are opened again, which completes the commit. Either way raises
  // EQdfException naming the files and what failed. Afterwards each reader's
  // Commit only detaches (its header is written).
  static void Commit(const std::vector<TQdfIndirectPageReader*>& readers);

  // What a reader of a file sees while an interrupted commit cannot be
  // completed by this opener (another process holds one of the files): the
  // header the file gets once it is, valid while its header holds `before`.
  struct TPendingHeader {
    TRootRecord before;
    THeader after;
  };
  // Completes or clears an interrupted commit over several files that
  // `file_name` took part in. `own` is the opener's read-write handle on the
  // file (it holds the file's lock), or nullptr for a read-only opener, which
  // completes the commit when it can take every file's lock and otherwise
  // returns the header to read instead of the one on disk. Raises
  // EQdfException for a read-write opener when another file of the commit
  // is held by another writer.
  static std::optional<TPendingHeader> RecoverAtOpen(const std::string& file_name,
                                                     TFileHandle* own);
};

}  // namespace qdf
