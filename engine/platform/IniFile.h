// TIniFile: a reader for ini files with the usual rules: "[Section]" lines,
// "Key=Value" lines, section and key names compared without regard to case,
// names and values trimmed, lines starting with ';' are comments. A missing
// file reads as empty, so every key is at its default.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qdf {

class TIniFile {
 public:
  TIniFile() = default;
  // Reads the file at path (a missing or unreadable file gives an empty ini).
  explicit TIniFile(const std::string& path);

  // Parses ini text.
  void LoadFromText(const std::string& text);

  // The value of key in section, or def when either is missing. The first
  // occurrence of a key in a section wins.
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  // The value as a decimal (or $hex) integer; def when missing or not a number.
  int64_t ReadInteger(const std::string& section, const std::string& key, int64_t def) const;
  bool SectionExists(const std::string& section) const;

  const std::string& Path() const { return path_; }

 private:
  struct TEntry {
    std::string key;
    std::string value;
  };
  struct TSection {
    std::string name;
    std::vector<TEntry> entries;
  };
  const TSection* FindSection(const std::string& name) const;

  std::string path_;
  std::vector<TSection> sections_;
};

}  // namespace qdf
