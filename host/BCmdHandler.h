// BCmdHandler: a small set of named diagnostic commands an object offers
// (for a console or a debugging tool). Commands are numbered from 0.
#pragma once

#include "BString.h"
#include "QVExport.h"

namespace QVT {

class QV_API BCmdHandler {
 public:
  virtual ~BCmdHandler() = default;

  // The name of this command handler ("mib", ...).
  virtual BString CmdHndlrName() const = 0;
  virtual int CmdCount() const = 0;
  // Name of command `id`, empty when out of range.
  virtual BString CmdNameAt(int id) const = 0;
  // Id of the named command, -1 when unknown.
  virtual int CmdId(const BString& name) const;
  virtual BString CmdGetDescr(int id) const = 0;
  virtual BString CmdGetArgsDescr(int id) const = 0;
  // Runs command `id` with its argument text; 0 on success, the output (or
  // the reason for a failure) in `output`.
  virtual int CmdExecute(int id, const BString& args, BString& output) = 0;
  virtual BString CmdGetHndlrName() const { return CmdHndlrName(); }
  // One line per command: "name args - description".
  virtual BString CmdGetMap() const;
};

}  // namespace QVT
