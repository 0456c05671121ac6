#include "Csv.h"

#include <stdexcept>

namespace qdf::tool {

void AppendCsvField(std::string& out, std::string_view value) {
  const bool quote = value.find_first_of(",\"\r\n") != std::string_view::npos ||
                     (!value.empty() && (value.front() == ' ' || value.back() == ' '));
  if (!quote) {
    out.append(value);
    return;
  }
  out += '"';
  for (char c : value) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

TCsvReader::TCsvReader(FILE* in, std::string name)
    : in_(in), name_(std::move(name)), buffer_(1 << 16) {}

int TCsvReader::Get() {
  if (pushed_ != -2) {
    const int c = pushed_;
    pushed_ = -2;
    return c;
  }
  if (pos_ == end_) {
    end_ = std::fread(buffer_.data(), 1, buffer_.size(), in_);
    pos_ = 0;
    if (end_ == 0) {
      if (std::ferror(in_)) {
        throw std::runtime_error(name_ + " line " + std::to_string(line_) + ": read error");
      }
      return -1;
    }
    if (at_start_) {
      at_start_ = false;
      if (end_ >= 3 && static_cast<uint8_t>(buffer_[0]) == 0xEF &&
          static_cast<uint8_t>(buffer_[1]) == 0xBB && static_cast<uint8_t>(buffer_[2]) == 0xBF) {
        pos_ = 3;
        if (pos_ == end_) return Get();
      }
    }
  }
  return static_cast<uint8_t>(buffer_[pos_++]);
}

void TCsvReader::TooLong() const {
  throw std::runtime_error(name_ + " line " + std::to_string(record_line_) +
                           ": a record longer than " + std::to_string(kMaxRecordBytes) +
                           " bytes (1 MiB), the limit of one record");
}

std::string& TCsvReader::NewField() {
  // Its comma counts: a line of commas cannot grow the field list unbounded.
  if (count_ > 0) CountBytes(1);
  if (static_cast<size_t>(count_) == fields_.size()) fields_.emplace_back();
  std::string& field = fields_[static_cast<size_t>(count_++)];
  field.clear();
  return field;
}

bool TCsvReader::Next() {
  for (;;) {
    count_ = 0;
    record_line_ = line_;
    record_bytes_ = 0;
    int c = Get();
    if (c == -1) return false;
    if (c == '\n' || c == '\r') {  // an empty line
      if (c == '\r') {
        const int n = Get();
        if (n != '\n') Unget(n);
      }
      ++line_;
      continue;
    }
    Unget(c);
    for (;;) {  // one field per round
      std::string& field = NewField();
      c = Get();
      if (c == '"') {
        const int64_t quote_line = line_;
        for (;;) {
          c = Get();
          if (c == -1) {
            throw std::runtime_error(name_ + " line " + std::to_string(quote_line) +
                                     ": quoted field not closed");
          }
          if (c == '"') {
            c = Get();
            if (c != '"') break;  // the closing quote
          } else if (c == '\n') {
            ++line_;
          }
          CountBytes(1);
          field += static_cast<char>(c);
        }
        if (c != ',' && c != '\n' && c != '\r' && c != -1) {
          throw std::runtime_error(name_ + " line " + std::to_string(line_) +
                                   ": unexpected text after a closing quote");
        }
      } else {
        while (c != ',' && c != '\n' && c != '\r' && c != -1) {
          CountBytes(1);
          field += static_cast<char>(c);
          c = Get();
        }
      }
      if (c == ',') continue;
      if (c == '\r') {
        const int n = Get();
        if (n != '\n') Unget(n);
      }
      if (c != -1) ++line_;
      return true;
    }
  }
}

}  // namespace qdf::tool
