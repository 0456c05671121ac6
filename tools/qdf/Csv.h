// CSV text as qdf reads and writes it: fields separated by ",", records by
// a line break (LF or CRLF; a lone CR also ends a record). A field that
// contains a comma, a double quote, CR, LF, or starts or ends with a blank
// is written between double quotes, with every double quote inside it
// doubled. Reading accepts exactly that, plus quotes inside unquoted fields
// taken literally.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace qdf::tool {

// Appends `value` to `out` as one CSV field (quoted when it must be).
void AppendCsvField(std::string& out, std::string_view value);

// Reads CSV records from a file one at a time. The field strings are reused
// from record to record, so a steady stream of records allocates nothing.
// One record holds at most kMaxRecordBytes bytes (its values, separators
// and line breaks inside quotes), so any input is read in bounded memory.
class TCsvReader {
 public:
  static constexpr int64_t kMaxRecordBytes = 1 << 20;

  // Reads from `in` (not owned; read from its current position). `name`
  // names the file in error messages.
  TCsvReader(FILE* in, std::string name);

  // Reads the next record into fields()[0 .. Count()-1]. Returns false at
  // the end of the input. Lines that are entirely empty are skipped. Raises
  // std::runtime_error "<name> line <n>: ..." for a quoted field that never ends, for
  // text after a closing quote, for a record longer than kMaxRecordBytes
  // and for a read error.
  bool Next();

  int Count() const { return count_; }
  const std::string& Field(int i) const { return fields_[static_cast<size_t>(i)]; }
  // The line the last record started on (1-based).
  int64_t RecordLine() const { return record_line_; }
  const std::string& Name() const { return name_; }

 private:
  // The next byte, or -1 at the end (a read error raises).
  int Get();
  // Puts `c` back (one byte at most).
  void Unget(int c) { pushed_ = c; }
  std::string& NewField();
  // Counts `n` more bytes of the current record; raises past the limit.
  void CountBytes(int64_t n) {
    record_bytes_ += n;
    if (record_bytes_ > kMaxRecordBytes) TooLong();
  }
  [[noreturn]] void TooLong() const;

  FILE* in_;
  std::string name_;
  std::vector<char> buffer_;
  size_t pos_ = 0;
  size_t end_ = 0;
  int pushed_ = -2;       // -2: nothing put back
  bool at_start_ = true;  // a UTF-8 byte order mark is skipped at the start
  int64_t line_ = 1;
  int64_t record_line_ = 0;
  int64_t record_bytes_ = 0;
  std::vector<std::string> fields_;
  int count_ = 0;
};

}  // namespace qdf::tool
