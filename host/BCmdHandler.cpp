// BCmdHandler: the defaults that every command handler shares, command
// lookup by name and the one-line-per-command map.
#include "BCmdHandler.h"

namespace QVT {

int BCmdHandler::CmdId(const BString& name) const {
  for (int id = 0; id < CmdCount(); ++id) {
    if (CmdNameAt(id) == name) return id;
  }
  return -1;
}

BString BCmdHandler::CmdGetMap() const {
  BString map;
  for (int id = 0; id < CmdCount(); ++id) {
    map.Append(CmdNameAt(id));
    const BString args = CmdGetArgsDescr(id);
    if (!args.empty()) {
      map.Append(" ");
      map.Append(args);
    }
    map.Append(" - ");
    map.Append(CmdGetDescr(id));
    map.Append("\n");
  }
  return map;
}

}  // namespace QVT
