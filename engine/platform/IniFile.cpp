#include "platform/IniFile.h"

#include <fstream>
#include <sstream>

#include "base/Helpers.h"

namespace qdf {

TIniFile::TIniFile(const std::string& path) : path_(path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return;
  std::ostringstream text;
  text << in.rdbuf();
  LoadFromText(text.str());
}

void TIniFile::LoadFromText(const std::string& text) {
  sections_.clear();
  TSection* current = nullptr;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string line = Trim(text.substr(pos, eol - pos));
    pos = eol + 1;
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      std::string name =
          Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      current = nullptr;
      for (auto& s : sections_) {
        if (SameText(s.name, name)) current = &s;
      }
      if (!current) {
        sections_.push_back(TSection{name, {}});
        current = &sections_.back();
      }
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos || !current) continue;
    current->entries.push_back(TEntry{Trim(line.substr(0, eq)), Trim(line.substr(eq + 1))});
  }
}

const TIniFile::TSection* TIniFile::FindSection(const std::string& name) const {
  for (const auto& s : sections_) {
    if (SameText(s.name, name)) return &s;
  }
  return nullptr;
}

bool TIniFile::SectionExists(const std::string& section) const {
  return FindSection(section) != nullptr;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
  const TSection* s = FindSection(section);
  if (!s) return def;
  for (const auto& e : s->entries) {
    if (SameText(e.key, key)) return e.value;
  }
  return def;
}

int64_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                              int64_t def) const {
  std::string v = ReadString(section, key, std::string());
  int64_t out;
  if (v.empty() || !TryStrToInt64(v, &out)) return def;
  return out;
}

}  // namespace qdf
