// The library's diagnostics. QVSubAgTrace is the one trace channel: a line
// marked "[SUBAG] " and published as a message of type 7 through the host
// message dispatcher, formatted only when somebody subscribed to that type,
// so an unobserved trace costs one subscriber test. QVDbgModuleTraceClass is a
// second, silent channel keyed by a diagnostic class; it accepts its
// arguments and produces nothing. DumpVbList prints a varbind list to
// standard output for an application's own diagnostics.
#pragma once

#include "BMessageDispatcher.h"
#include "BVarBind.h"
#include "QVExport.h"

namespace QVT {

// The message type trace lines are published with.
inline constexpr int SA_TRACE_MESSAGE_TYPE = 7;
// Every trace text begins with this.
inline constexpr char SA_TRACE_PREFIX[] = "[SUBAG] ";
// Formatted text beyond this many characters (the terminator included) is cut.
inline constexpr unsigned SA_TRACE_LINE_SIZE = 512;

// Diagnostic classes of QVDbgModuleTraceClass.
inline constexpr int SA_DBG_ENCODER = 0xE0001;
inline constexpr int SA_DBG_MASTER = 0xE0002;
inline constexpr int SA_DBG_SUBAGENT = 0xE0004;
inline constexpr int SA_DBG_SOCKET = 0xE0005;
inline constexpr int SA_DBG_SET_PHASES = 0xE0006;
inline constexpr int SA_DBG_PROXY = 0xE0007;

// Publishes "[SUBAG] " + the printf-formatted line as a type 7 message; when
// nobody subscribed to type 7 it returns before formatting anything. No line
// end is added.
QV_API void QVSubAgTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True when somebody subscribed to the trace lines. A caller whose trace
// arguments cost something to compute (an address or an OID as text) asks
// first, so that tracing stays one test when nobody listens.
QV_API bool QVSubAgTraceActive();

// Subscribes `subscriber` to the trace lines (type 7, no filter); returns the
// dispatcher's result (0 on success, -1 when already subscribed).
QV_API int QVSubAgTraceSubscribe(IMessageSubscriber* subscriber);

// The diagnostic hook below produces nothing in this library. Callers whose
// arguments cost something to compute (texts of OIDs and values) make the
// call only when a diagnostic build turns this on.
inline constexpr bool SA_DBG_TRACE_ARGUMENTS = false;

// Class-coded diagnostic hook: accepts its arguments and returns without
// formatting or publishing anything.
QV_API void QVDbgModuleTraceClass(int traceClass, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Prints to standard output "<title>  count=(<n>)\n " and then one line per
// varbind, "[i] <name>: <value text>\n", numbered from 1; the names of
// sysUpTime.0 and snmpTrapOID.0 print as those words.
QV_API void DumpVbList(const char* title, const BVarBindList& list);

}  // namespace QVT
