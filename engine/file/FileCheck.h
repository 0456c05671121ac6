// TQdfFileCheck: the block-level half of the integrity check.
//
// Reads a database file directly (read-only, past every cache) and checks
// what the file format promises: a sound header; page-table blocks of the
// right level naming themselves; every page-table entry with a size code,
// flags and position a committed file can have; every block inside the
// allocated space and the file; no two live blocks sharing a byte; every
// page expanding to 8192 bytes, stamped with the transaction of its entry,
// and, where it has one, with a sound item area. Problems are lines of text;
// nothing here raises for a damaged file once the header was read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "file/FileFormat.h"
#include "file/QdfFiler.h"

namespace qdf {

class TFileHandle;

// What the check counted on its way (shown by "qdf info").
struct TQdfFileFigures {
  int64_t file_size = 0;  // bytes
  uint32_t major_version = 0;
  uint32_t minor_version = 0;
  int64_t high_water = 0;    // end of the highest byte ever written or freed
  uint32_t transaction = 0;  // last committed transaction
  uint32_t previous_transaction = 0;
  int64_t allocation_end = 0;    // end of the allocated space, in bytes
  uint32_t next_page = 0;        // next page number to hand out
  int64_t pages = 0;             // data pages with a stored copy
  int64_t compressed_pages = 0;  // of those, stored compressed
  int64_t table_blocks = 0;      // page-table blocks
  int64_t stored_bytes = 0;      // bytes in the blocks of pages and page tables
  int64_t free_blocks = 0;       // blocks in the free list
  int64_t free_bytes = 0;
  int64_t objects = 0;  // persistent objects in the tree
  int64_t classes = 0;  // item classes
  int64_t tables = 0;
  int64_t indexes = 0;  // indexes of tables, and $ID
  int64_t records = 0;  // records of all tables
};

struct TQdfCheckReport {
  std::vector<std::string> problems;  // one line each, empty when sound
  int64_t found = 0;                  // problems found, also those not listed
  TQdfFileFigures figures;
  bool Sound() const { return found == 0; }
  // Appends a problem; past kMaxProblems lines one last line says that the
  // rest was left out (a wrecked file would otherwise print millions).
  void Add(std::string line);
  static constexpr size_t kMaxProblems = 1000;
};

// A page-table entry's block in the file.
struct TQdfStoredBlock {
  int64_t position = 0;
  int64_t end = 0;  // one past the last byte
  uint32_t page = 0;
};

// "page 17", or "page FFFFFFFE" for the page-table pages of the root record.
std::string PageName(uint32_t page);

class TQdfFileCheck {
 public:
  // Opens the file read-only and reads its header. Raises EQdfException when
  // the file cannot be opened, is empty, shorter than a header or carries no
  // database magic: there is nothing to check then.
  explicit TQdfFileCheck(const std::string& file_name);
  ~TQdfFileCheck();
  // Checks the committed state `root` instead of the one the header named
  // when the file was opened: the state a reader holds, so that the check
  // of the blocks and that of the objects see one state while another
  // process commits.
  void UseRoot(const TRootRecord& root);

  // Walks the page table and every block; appends problems and fills the
  // file's figures.
  void Run(TQdfCheckReport& report);

  // After Run: the data pages with a stored copy, ascending, and whether
  // each read back sound.
  const std::vector<uint32_t>& Pages() const { return pages_; }
  bool PageSound(uint32_t page) const;
  // After Run: true when the next links of the database root's own pages
  // run in a circle. The engine's loading of the object tree would follow
  // them for ever, so the object half of the check must not start.
  bool RootChainLoops() const { return root_loop_; }
  // After Run: how many page-table block numbers the walk looked up. It
  // follows the blocks that exist, so the count stays near their number
  // whatever the header's next page number says.
  size_t TableBlocksLookedUp() const { return tables_.size(); }
  // After Run: checks blocks of the free list (file position, size in bytes)
  // against the file, the live blocks and one another.
  void CheckFreeBlocks(const std::vector<std::pair<int64_t, int32_t>>& blocks,
                       TQdfCheckReport& report) const;

 private:
  // The expanded table block of page-table page `page`, or nullptr when it
  // has no stored copy or cannot be read (reported once).
  const uint8_t* TableBlock(uint32_t page, TQdfCheckReport& report);
  // The entry of `page` (from the root record or its table block); false
  // when the table block holding it is missing.
  bool EntryOf(uint32_t page, TQdfCheckReport& report, TPageEntry* entry);
  // Checks an entry, reads its block into `out` (8192 bytes) and checks the
  // page header; records the block. `level` is the page's table level (-1
  // for a data page). False when the page cannot be used.
  bool LoadPage(uint32_t page, int level, const TPageEntry& entry, uint8_t* out,
                TQdfCheckReport& report);
  void CheckOverlaps(TQdfCheckReport& report);
  // Reports every cycle of next links among the data pages.
  void CheckLoops(TQdfCheckReport& report);

  struct TPageLink {
    uint32_t page;
    uint32_t next;
    bool root_owned;  // owned by the database root (the object headers)
    uint8_t colour = 0;
  };

  std::string file_name_;
  std::unique_ptr<TFileHandle> file_;
  int64_t file_size_ = 0;
  uint8_t header_[512];
  int64_t allocation_end_ = 0;
  uint32_t transaction_ = 0;
  uint32_t next_page_ = 0;
  std::vector<TQdfStoredBlock> blocks_;  // sorted by position after Run
  std::vector<uint32_t> pages_;
  std::vector<uint32_t> unsound_pages_;  // sorted
  std::vector<TPageLink> links_;         // of the sound data pages
  bool root_loop_ = false;
  // Table blocks read so far; an empty vector marks one that could not be.
  std::unordered_map<uint32_t, std::vector<uint8_t>> tables_;
};

}  // namespace qdf
