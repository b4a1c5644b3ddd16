// BIniFileStore: the settings store kept in an INI file.
//
//   ; comment            # comment
//   [Section]
//   Key=Value            ; a comment after a value needs a blank before it
//
// Section and key names compare without regard to case. The file keeps its
// comments, order and layout across saves: only the lines of changed keys
// are rewritten. A save writes a temporary file beside the original and
// renames it over the original, so a crash leaves either the old or the new
// file, never half of one.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "INonVolatile.h"
#include "QVExport.h"

namespace QVT {

class QV_API BIniFileStore : public INonVolatile {
 public:
  explicit BIniFileStore(std::string path);

  // Reads the file. 0 on success; NV_ERR_NOT_FOUND when the file does not
  // exist; NV_ERR_BAD_VALUE when a line is malformed, with
  // "<path>:<line>: <reason>" in `error`; NV_ERR_IO when it cannot be read.
  // On any failure the store keeps what it held before (empty, for a store
  // not loaded yet).
  int Load(std::string* error = nullptr);
  // Writes the file atomically; 0 or NV_ERR_IO.
  int Save();
  // With auto-save on (the default) every Set writes the file at once and
  // returns the save's status.
  void SetAutoSave(bool on) { m_autoSave = on; }

  int GetString(const char* section, const char* key, BString& value, int reserved) override;
  int GetInt(const char* section, const char* key, int* value, int reserved) override;
  // NV_ERR_BAD_VALUE, with nothing changed, for a text the file could not
  // give back as written: line breaks, blanks around a value, a value with
  // a comment marker after a blank, a key with '=' (or starting with '[',
  // ';' or '#'), a new section name that is empty or holds ']'.
  int SetString(const char* section, const char* key, const char* value, int reserved1, int reserved2) override;
  int SetInt(const char* section, const char* key, int value, int reserved1, int reserved2, int reserved3) override;

  // Section names in file order, and the keys of one section.
  std::vector<std::string> Sections() const;
  std::vector<std::string> Keys(const std::string& section) const;
  // 1-based line of a key in the file as loaded, 0 when it has none.
  int LineOf(const std::string& section, const std::string& key) const;
  const std::string& Path() const { return m_path; }

 protected:
  // The last step of a save: moves the written temporary file over the
  // target. Tests replace it to simulate a crash before the rename.
  virtual int ReplaceFile(const std::string& temporary, const std::string& target);

 private:
  struct Line {
    enum Kind { kOther, kSection, kEntry } kind = kOther;
    std::string raw;      // the text as read (or as last written)
    std::string section;  // kSection: its name; kEntry: the section it is in
    std::string key;
    std::string value;
    std::string comment;  // trailing comment of an entry, with its marker
    bool changed = false;
    int lineNumber = 0;
  };

  int FindEntry(const std::string& section, const std::string& key) const;
  int SetLocked(const std::string& section, const std::string& key, const std::string& value);
  int SaveLocked();

  std::string m_path;
  bool m_autoSave = true;
  mutable std::mutex m_lock;  // guards m_lines
  std::vector<Line> m_lines;
};

}  // namespace QVT
