#include "BIniFileStore.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "BFileReplace.h"

namespace QVT {

namespace {

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

bool SameName(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

// Position of the ';' or '#' that starts a trailing comment: the first one
// at the start or after a blank; npos when there is none.
size_t CommentStart(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if ((text[i] == ';' || text[i] == '#') && (i == 0 || text[i - 1] == ' ' || text[i - 1] == '\t')) return i;
  }
  return std::string::npos;
}

// Splits "value ; comment" into the value and the comment with its marker.
void SplitValueAndComment(const std::string& text, std::string& value, std::string& comment) {
  const size_t start = CommentStart(text);
  value = Trim(text.substr(0, start));
  comment = start == std::string::npos ? std::string() : Trim(text.substr(start));
}

bool HasLineBreak(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

bool IsTrimmed(const std::string& text) {
  return Trim(text) == text;
}

// Texts a Set may write: each must read back exactly as given.
bool StorableValue(const std::string& value) {
  return !HasLineBreak(value) && IsTrimmed(value) && CommentStart(value) == std::string::npos;
}
bool StorableKey(const std::string& key) {
  return !key.empty() && !HasLineBreak(key) && IsTrimmed(key) && key.find('=') == std::string::npos && key[0] != '[' &&
         key[0] != ';' && key[0] != '#';
}
bool StorableSection(const std::string& section) {
  return !section.empty() && !HasLineBreak(section) && IsTrimmed(section) && section.find(']') == std::string::npos;
}

}  // namespace

BIniFileStore::BIniFileStore(std::string path) : m_path(std::move(path)) {}

int BIniFileStore::Load(std::string* error) {
  if (::access(m_path.c_str(), F_OK) != 0 && errno == ENOENT) return NV_ERR_NOT_FOUND;
  std::ifstream in(m_path);
  if (!in) {
    if (error != nullptr) *error = m_path + ": cannot be read";
    return NV_ERR_IO;
  }
  std::vector<Line> lines;
  std::string section;
  std::string text;
  int number = 0;
  while (std::getline(in, text)) {
    ++number;
    Line line;
    line.raw = text;
    line.lineNumber = number;
    // A file saved by an editor that marks UTF-8 files starts with a byte
    // order mark; it belongs to no line (the raw line keeps it for Save).
    const bool byteOrderMark = number == 1 && text.rfind("\xEF\xBB\xBF", 0) == 0;
    const std::string trimmed = Trim(byteOrderMark ? text.substr(3) : text);
    if (trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '#') {
      lines.push_back(std::move(line));
      continue;
    }
    if (trimmed[0] == '[') {
      const size_t close = trimmed.find(']');
      std::string rest = close == std::string::npos ? std::string() : Trim(trimmed.substr(close + 1));
      if (close == std::string::npos || Trim(trimmed.substr(1, close - 1)).empty() ||
          !(rest.empty() || rest[0] == ';' || rest[0] == '#')) {
        if (error != nullptr)
          *error = m_path + ":" + std::to_string(number) + ": malformed section header '" + trimmed + "'";
        return NV_ERR_BAD_VALUE;
      }
      section = Trim(trimmed.substr(1, close - 1));
      line.kind = Line::kSection;
      line.section = section;
      lines.push_back(std::move(line));
      continue;
    }
    const size_t equals = trimmed.find('=');
    if (equals == std::string::npos || Trim(trimmed.substr(0, equals)).empty()) {
      if (error != nullptr)
        *error = m_path + ":" + std::to_string(number) + ": expected 'Key=Value' or '[Section]', got '" + trimmed + "'";
      return NV_ERR_BAD_VALUE;
    }
    line.kind = Line::kEntry;
    line.section = section;
    line.key = Trim(trimmed.substr(0, equals));
    SplitValueAndComment(trimmed.substr(equals + 1), line.value, line.comment);
    lines.push_back(std::move(line));
  }
  if (in.bad()) {
    if (error != nullptr) *error = m_path + ": read error";
    return NV_ERR_IO;
  }
  std::lock_guard<std::mutex> guard(m_lock);
  m_lines = std::move(lines);
  return NV_OK;
}

int BIniFileStore::FindEntry(const std::string& section, const std::string& key) const {
  // The last occurrence wins, as it would for a reader going top to bottom.
  for (int i = static_cast<int>(m_lines.size()) - 1; i >= 0; --i) {
    const Line& line = m_lines[static_cast<size_t>(i)];
    if (line.kind == Line::kEntry && SameName(line.section, section) && SameName(line.key, key)) return i;
  }
  return -1;
}

int BIniFileStore::GetString(const char* section, const char* key, BString& value, int /*reserved*/) {
  if (section == nullptr || key == nullptr) return NV_ERR_NOT_FOUND;
  std::lock_guard<std::mutex> guard(m_lock);
  const int index = FindEntry(section, key);
  if (index < 0) return NV_ERR_NOT_FOUND;
  value = BString(m_lines[static_cast<size_t>(index)].value);
  return NV_OK;
}

int BIniFileStore::GetInt(const char* section, const char* key, int* value, int /*reserved*/) {
  return QVGetIntFromString(*this, section, key, value);
}

int BIniFileStore::SetLocked(const std::string& section, const std::string& key, const std::string& value) {
  if (!StorableValue(value)) return NV_ERR_BAD_VALUE;
  const int index = FindEntry(section, key);
  if (index >= 0) {
    Line& line = m_lines[static_cast<size_t>(index)];
    line.value = value;
    line.changed = true;
  } else {
    // Append after the last line of the section, creating it when absent.
    int insertAt = -1;
    for (size_t i = 0; i < m_lines.size(); ++i) {
      const Line& line = m_lines[i];
      const bool sectionLine = line.kind == Line::kSection || (insertAt >= 0 && line.kind == Line::kEntry);
      if (sectionLine && SameName(line.section, section)) insertAt = static_cast<int>(i) + 1;
    }
    if (!StorableKey(key) || (insertAt < 0 && !StorableSection(section))) return NV_ERR_BAD_VALUE;
    if (insertAt < 0) {
      if (!m_lines.empty() && !Trim(m_lines.back().raw).empty()) m_lines.push_back(Line{});
      Line header;
      header.kind = Line::kSection;
      header.section = section;
      header.raw = "[" + section + "]";
      m_lines.push_back(header);
      insertAt = static_cast<int>(m_lines.size());
    }
    Line entry;
    entry.kind = Line::kEntry;
    entry.section = section;
    entry.key = key;
    entry.value = value;
    entry.changed = true;
    m_lines.insert(m_lines.begin() + insertAt, entry);
  }
  return m_autoSave ? SaveLocked() : NV_OK;
}

int BIniFileStore::SetString(const char* section, const char* key, const char* value, int, int) {
  if (section == nullptr || key == nullptr) return NV_ERR_BAD_VALUE;
  std::lock_guard<std::mutex> guard(m_lock);
  return SetLocked(section, key, value == nullptr ? "" : value);
}

int BIniFileStore::SetInt(const char* section, const char* key, int value, int, int, int) {
  if (section == nullptr || key == nullptr) return NV_ERR_BAD_VALUE;
  std::lock_guard<std::mutex> guard(m_lock);
  return SetLocked(section, key, std::to_string(value));
}

int BIniFileStore::Save() {
  std::lock_guard<std::mutex> guard(m_lock);
  return SaveLocked();
}

int BIniFileStore::SaveLocked() {
  std::ostringstream text;
  for (Line& line : m_lines) {
    if (line.kind == Line::kEntry && line.changed) {
      line.raw = line.key + "=" + line.value + (line.comment.empty() ? "" : "    " + line.comment);
      line.changed = false;
    }
    text << line.raw << '\n';
  }
  // The new file keeps the permissions of the one it replaces (settings may
  // hold community strings).
  const auto rename = [this](const std::string& temporary, const std::string& target) {
    return ReplaceFile(temporary, target);
  };
  return QVReplaceFile(m_path, text.str(), kKeepFileMode, rename) ? NV_OK : NV_ERR_IO;
}

int BIniFileStore::ReplaceFile(const std::string& temporary, const std::string& target) {
  return QVRenameFile(temporary, target);
}

std::vector<std::string> BIniFileStore::Sections() const {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<std::string> names;
  for (const Line& line : m_lines) {
    if (line.kind != Line::kSection) continue;
    bool seen = false;
    for (const std::string& name : names) seen = seen || SameName(name, line.section);
    if (!seen) names.push_back(line.section);
  }
  return names;
}

std::vector<std::string> BIniFileStore::Keys(const std::string& section) const {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<std::string> keys;
  for (const Line& line : m_lines) {
    if (line.kind == Line::kEntry && SameName(line.section, section)) keys.push_back(line.key);
  }
  return keys;
}

int BIniFileStore::LineOf(const std::string& section, const std::string& key) const {
  std::lock_guard<std::mutex> guard(m_lock);
  const int index = FindEntry(section, key);
  return index < 0 ? 0 : m_lines[static_cast<size_t>(index)].lineNumber;
}

}  // namespace QVT
