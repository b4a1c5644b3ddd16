#include "LoadClient.h"

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// clang-format on

#include <netinet/in.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <utility>

namespace QVT::bench {

namespace {

// Names of the bench MIB, 1.3.6.1.4.1.32473.9.
struct Name {
  oid arcs[MAX_OID_LEN];
  size_t length = 0;
};

// The MIB's arc below 1.3.6.1.4.1.32473: 9, or --mib-arc. Set once by the
// client's constructor (a process runs one client) before any name is made.
oid s_mibArc = 9;

Name MakeName(std::initializer_list<oid> below) {
  Name name;
  for (const oid arc : {oid{1}, oid{3}, oid{6}, oid{1}, oid{4}, oid{1}, oid{32473}, s_mibArc}) {
    name.arcs[name.length++] = arc;
  }
  for (const oid arc : below) name.arcs[name.length++] = arc;
  return name;
}

Name ScalarsName() {
  return MakeName({1});
}
Name TableName() {
  return MakeName({2});
}

Name Scalar(oid sub) {
  return MakeName({1, sub, 0});
}
Name Cell(oid column, oid row) {
  return MakeName({2, 1, column, row});
}

std::string OidText(const oid* arcs, size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i) text += "." + std::to_string(arcs[i]);
  return text;
}

// The name of an SNMPv2 exception value; null for any other type.
const char* ExceptionName(u_char type) {
  switch (type) {
    case SNMP_NOSUCHOBJECT:
      return "noSuchObject";
    case SNMP_NOSUCHINSTANCE:
      return "noSuchInstance";
    case SNMP_ENDOFMIBVIEW:
      return "endOfMibView";
    default:
      return nullptr;
  }
}

std::string TypeText(u_char type) {
  switch (type) {
    case ASN_INTEGER:
      return "INTEGER";
    case ASN_OCTET_STR:
      return "OCTET STRING";
    case ASN_COUNTER:
      return "Counter32";
    default: {
      if (const char* exception = ExceptionName(type)) return exception;
      char text[16];
      std::snprintf(text, sizeof text, "type 0x%02x", type);
      return text;
    }
  }
}

std::string VarText(const netsnmp_variable_list* vb) {
  return OidText(vb->name, vb->name_length) + " " + TypeText(vb->type);
}

bool NameIs(const netsnmp_variable_list* vb, const Name& name) {
  return snmp_oid_compare(vb->name, vb->name_length, name.arcs, name.length) == 0;
}

// True when the varbind is still inside the table (a walk goes on).
bool InTable(const netsnmp_variable_list* vb) {
  const Name table = TableName();
  return vb->type != SNMP_ENDOFMIBVIEW && vb->name_length > table.length &&
         snmp_oidtree_compare(vb->name, vb->name_length, table.arcs, table.length) == 0;
}

// The value of an INTEGER or unsigned varbind; false for any other type.
bool NumberOf(const netsnmp_variable_list* vb, long& value) {
  const bool numeric =
      vb->type == ASN_INTEGER || vb->type == ASN_COUNTER || vb->type == ASN_GAUGE || vb->type == ASN_TIMETICKS;
  if (!numeric || vb->val.integer == nullptr || vb->val_len != sizeof(long)) return false;
  value = *vb->val.integer;
  return true;
}

// "" when the varbind is cell (column, row) of the table with its value.
std::string CheckCell(const netsnmp_variable_list* vb, oid column, oid row) {
  const Name expected = Cell(column, row);
  if (!NameIs(vb, expected)) {
    return "got " + VarText(vb) + ", expected " + OidText(expected.arcs, expected.length);
  }
  bool ok = false;
  long number = 0;
  switch (column) {
    case 2:
      ok = vb->type == ASN_INTEGER && NumberOf(vb, number) && number == static_cast<long>(row * 10);
      break;
    case 3: {
      char text[24];
      const int length = std::snprintf(text, sizeof text, "row-%012lu", static_cast<unsigned long>(row));
      ok = vb->type == ASN_OCTET_STR && vb->val_len == static_cast<size_t>(length) && vb->val.string != nullptr &&
           std::memcmp(vb->val.string, text, vb->val_len) == 0;
      break;
    }
    case 4:
      ok = vb->type == ASN_COUNTER && NumberOf(vb, number) && static_cast<u_long>(number) == row * 1000;
      break;
    default:
      break;
  }
  return ok ? "" : "wrong value or type of " + VarText(vb);
}

std::string CheckInteger(const netsnmp_variable_list* vb, const Name& name, u_char type, long value) {
  long got = 0;
  if (!NameIs(vb, name) || vb->type != type || !NumberOf(vb, got)) {
    return "got " + VarText(vb) + ", expected " + OidText(name.arcs, name.length) + " " + TypeText(type);
  }
  if (got != value) return "got " + VarText(vb) + " " + std::to_string(got) + ", expected " + std::to_string(value);
  return "";
}

std::string CheckBench(const netsnmp_variable_list* vb) {
  const Name name = Scalar(2);
  if (!NameIs(vb, name) || vb->type != ASN_OCTET_STR || vb->val_len != 5 || vb->val.string == nullptr ||
      std::memcmp(vb->val.string, "bench", 5) != 0) {
    return "got " + VarText(vb) + ", expected " + OidText(name.arcs, name.length) + " OCTET STRING \"bench\"";
  }
  return "";
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// utime + stime of a process (all its threads), in seconds; -1 when the
// process cannot be read.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(in, text)) return -1;
  // The command name (field 2) may hold blanks and parentheses: the fields
  // we want count from the last ')'.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 1));
  std::string skip;
  for (int field = 3; field <= 13; ++field) fields >> skip;
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  if (!(fields >> utime >> stime)) return -1;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double OwnCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

netsnmp_pdu* NewPdu(int command, std::initializer_list<const Name*> names) {
  netsnmp_pdu* pdu = snmp_pdu_create(command);
  for (const Name* name : names) snmp_add_null_var(pdu, name->arcs, name->length);
  return pdu;
}

int CountVarbinds(const netsnmp_pdu* pdu) {
  int n = 0;
  for (const netsnmp_variable_list* vb = pdu->variables; vb != nullptr; vb = vb->next_variable) ++n;
  return n;
}

// Frees a response PDU when it goes out of scope.
struct ResponseHolder {
  netsnmp_pdu* pdu = nullptr;
  ~ResponseHolder() {
    if (pdu != nullptr) snmp_free_pdu(pdu);
  }
  void Reset() {
    if (pdu != nullptr) snmp_free_pdu(pdu);
    pdu = nullptr;
  }
};

}  // namespace

std::string LoadResult::Format() const {
  char text[256];
  const double rate = seconds > 0 ? static_cast<double>(varbinds > 0 ? varbinds : requests) / seconds : 0;
  std::snprintf(text, sizeof text, "op=%s requests=%ld varbinds=%ld seconds=%.6f rate=%.1f us_per_req=%.2f", op.c_str(),
                requests, varbinds, seconds, rate, requests > 0 ? seconds * 1e6 / requests : 0.0);
  std::string line = text;
  auto list = [&](const char* key, long per) {
    line += std::string(" ") + key + "=";
    for (size_t i = 0; i < cpuSeconds.size(); ++i) {
      if (cpuSeconds[i] < 0 || per <= 0) {
        std::snprintf(text, sizeof text, "%snan", i == 0 ? "" : ",");
      } else {
        std::snprintf(text, sizeof text, "%s%.2f", i == 0 ? "" : ",", cpuSeconds[i] * 1e6 / per);
      }
      line += text;
    }
  };
  if (!cpuSeconds.empty()) {
    list("cpu_us_per_req", requests);
    list("cpu_us_per_vb", varbinds);
  }
  std::snprintf(text, sizeof text, " client_cpu_us_per_req=%.2f",
                requests > 0 ? clientCpuSeconds * 1e6 / requests : 0.0);
  return line + text;
}

LoadClient::LoadClient(Options options) : m_options(std::move(options)) {
  s_mibArc = m_options.mibArc;
}

LoadClient::~LoadClient() {
  if (m_pSession != nullptr) snmp_sess_close(m_pSession);
}

bool LoadClient::Open() {
  netsnmp_session session;
  snmp_sess_init(&session);
  std::string peer = "udp:" + m_options.agent;
  session.peername = peer.data();
  if (m_options.v3User.empty()) {
    session.version = SNMP_VERSION_2c;
    session.community = reinterpret_cast<u_char*>(m_options.community.data());
    session.community_len = m_options.community.size();
  } else {
    session.version = SNMP_VERSION_3;
    session.securityName = m_options.v3User.data();
    session.securityNameLen = m_options.v3User.size();
    session.securityLevel = SNMP_SEC_LEVEL_AUTHPRIV;
    session.securityAuthProto = usmHMAC192SHA256AuthProtocol;
    session.securityAuthProtoLen = OID_LENGTH(usmHMAC192SHA256AuthProtocol);
    session.securityPrivProto = usmAESPrivProtocol;
    session.securityPrivProtoLen = OID_LENGTH(usmAESPrivProtocol);
    session.securityAuthKeyLen = USM_AUTH_KU_LEN;
    session.securityPrivKeyLen = USM_PRIV_KU_LEN;
    auto* auth = reinterpret_cast<u_char*>(m_options.authPassword.data());
    auto* priv = reinterpret_cast<u_char*>(m_options.privPassword.data());
    if (generate_Ku(session.securityAuthProto, static_cast<u_int>(session.securityAuthProtoLen), auth,
                    m_options.authPassword.size(), session.securityAuthKey, &session.securityAuthKeyLen) != SNMPERR_SUCCESS ||
        generate_Ku(session.securityAuthProto, static_cast<u_int>(session.securityAuthProtoLen), priv,
                    m_options.privPassword.size(), session.securityPrivKey, &session.securityPrivKeyLen) != SNMPERR_SUCCESS) {
      return Fail("cannot make the SNMPv3 keys (passwords of at least 8 characters?)");
    }
  }
  session.timeout = static_cast<long>(m_options.timeoutMs) * 1000;
  session.retries = 0;
  m_pSession = snmp_sess_open(&session);
  if (m_pSession == nullptr) return Fail("cannot open an SNMP session to " + m_options.agent);
  return true;
}

bool LoadClient::Fail(const std::string& reason) {
  m_error = reason;
  return false;
}

bool LoadClient::OverTime() const {
  return Now() > m_deadline;
}

bool LoadClient::Exchange(snmp_pdu* request, snmp_pdu*& response, int expectedErrorStatus) {
  response = nullptr;
  const int status = snmp_sess_synch_response(m_pSession, request, &response);  // frees `request`
  if (status == STAT_TIMEOUT) {
    return Fail("no answer within " + std::to_string(m_options.timeoutMs) + " ms");
  }
  if (status != STAT_SUCCESS || response == nullptr) {
    char* text = nullptr;
    snmp_sess_error(m_pSession, nullptr, nullptr, &text);
    const std::string reason = text != nullptr ? text : "unknown failure";
    SNMP_FREE(text);
    return Fail("request failed: " + reason);
  }
  if (response->errstat != expectedErrorStatus) {
    const std::string reason = "error status " + std::to_string(response->errstat) + " index " +
                               std::to_string(response->errindex) + " (expected " +
                               std::to_string(expectedErrorStatus) + ")";
    snmp_free_pdu(response);
    response = nullptr;
    return Fail(reason);
  }
  return true;
}

bool LoadClient::StartMeasuring() {
  m_cpuAtStart.clear();
  for (const pid_t pid : m_options.watched) {
    m_cpuAtStart.push_back(ProcessCpuSeconds(pid));
    if (m_cpuAtStart.back() < 0) return Fail("cannot read the CPU time of process " + std::to_string(pid));
  }
  m_clientCpuAtStart = OwnCpuSeconds();
  m_started = Now();
  m_deadline = m_started + m_options.maxSeconds;
  return true;
}

void LoadClient::StopMeasuring(LoadResult& result) const {
  result.seconds = Now() - m_started;
  result.clientCpuSeconds = OwnCpuSeconds() - m_clientCpuAtStart;
  result.cpuSeconds.clear();
  for (size_t i = 0; i < m_options.watched.size(); ++i) {
    const double now = ProcessCpuSeconds(m_options.watched[i]);
    result.cpuSeconds.push_back(now < 0 || m_cpuAtStart[i] < 0 ? -1 : now - m_cpuAtStart[i]);
  }
}

bool LoadClient::Get(long count, LoadResult& result) {
  result = LoadResult();
  result.op = "get";
  const Name name = Scalar(1);
  if (!StartMeasuring()) return false;
  for (long i = 0; i < count; ++i) {
    if (OverTime()) return Fail("get: over the time limit after " + std::to_string(i) + " requests");
    ResponseHolder response;
    if (!Exchange(NewPdu(SNMP_MSG_GET, {&name}), response.pdu)) {
      return Fail("get #" + std::to_string(i + 1) + ": " + m_error);
    }
    const netsnmp_variable_list* vb = response.pdu->variables;
    std::string why = vb == nullptr || vb->next_variable != nullptr ? "expected one varbind"
                                                                    : CheckInteger(vb, name, ASN_INTEGER, 42);
    if (!why.empty()) return Fail("get #" + std::to_string(i + 1) + ": " + why);
  }
  StopMeasuring(result);
  result.requests = result.varbinds = count;
  return true;
}

bool LoadClient::Walk(uint32_t rows, LoadResult& result) {
  return WalkTable("walk", rows, 0, result);
}

bool LoadClient::BulkWalk(uint32_t rows, long repetitions, LoadResult& result) {
  return WalkTable("bulk", rows, repetitions, result);
}

bool LoadClient::WalkTable(const std::string& op, uint32_t rows, long repetitions, LoadResult& result) {
  result = LoadResult();
  result.op = op;
  const long total = 3L * rows;
  const long most = repetitions > 0 ? repetitions : 1;
  Name current = TableName();
  long checked = 0;
  if (!StartMeasuring()) return false;
  for (long request = 1;; ++request) {
    if (OverTime()) return Fail(op + ": over the time limit after " + std::to_string(checked) + " varbinds");
    ResponseHolder response;
    netsnmp_pdu* pdu = snmp_pdu_create(repetitions > 0 ? SNMP_MSG_GETBULK : SNMP_MSG_GETNEXT);
    if (repetitions > 0) {
      pdu->non_repeaters = 0;
      pdu->max_repetitions = repetitions;
    }
    snmp_add_null_var(pdu, current.arcs, current.length);
    if (!Exchange(pdu, response.pdu)) return Fail(op + ", request " + std::to_string(request) + ": " + m_error);
    const int count = CountVarbinds(response.pdu);
    if (count < 1 || count > most) {
      return Fail(op + ": answer " + std::to_string(request) + " holds " + std::to_string(count) +
                  " varbinds, expected 1.." + std::to_string(most));
    }
    for (const netsnmp_variable_list* vb = response.pdu->variables; vb != nullptr; vb = vb->next_variable) {
      if (checked == total) {
        if (InTable(vb))
          return Fail(op + ": expected the table to end after " + std::to_string(rows) + " rows, got " + VarText(vb));
        StopMeasuring(result);
        result.requests = request;
        result.varbinds = checked;
        return true;
      }
      const std::string why = CheckCell(vb, 2 + checked / rows, 1 + checked % rows);
      if (!why.empty()) return Fail(op + ", varbind " + std::to_string(checked + 1) + ": " + why);
      std::copy(vb->name, vb->name + vb->name_length, current.arcs);
      current.length = vb->name_length;
      ++checked;
    }
  }
}

bool LoadClient::Check(uint32_t rows) {
  m_deadline = Now() + m_options.maxSeconds;
  const Name s1 = Scalar(1);
  const Name s2 = Scalar(2);
  const Name s3 = Scalar(3);
  auto fail = [&](const std::string& step, const std::string& why) { return Fail("check, " + step + ": " + why); };
  // One GET, one answer varbind list; null after a failure.
  auto ask = [&](int command, std::initializer_list<const Name*> names, ResponseHolder& response) {
    return !OverTime() && Exchange(NewPdu(command, names), response.pdu);
  };
  auto one = [&](const ResponseHolder& response) -> const netsnmp_variable_list* {
    const netsnmp_variable_list* vb = response.pdu->variables;
    return vb != nullptr && vb->next_variable == nullptr ? vb : nullptr;
  };

  // Scalars, twice: the counter counts the three values served in between.
  long counters[2] = {0, 0};
  for (long& counter : counters) {
    ResponseHolder response;
    if (!ask(SNMP_MSG_GET, {&s1, &s2, &s3}, response)) return fail("GET of the scalars", m_error);
    const netsnmp_variable_list* vb = response.pdu->variables;
    if (CountVarbinds(response.pdu) != 3) return fail("GET of the scalars", "expected three varbinds");
    std::string why = CheckInteger(vb, s1, ASN_INTEGER, 42);
    if (why.empty()) why = CheckBench(vb->next_variable);
    vb = vb->next_variable->next_variable;
    if (why.empty() && (!NameIs(vb, s3) || vb->type != ASN_COUNTER || !NumberOf(vb, counter))) {
      why = "got " + VarText(vb) + " for .1.3.0";
    }
    if (!why.empty()) return fail("GET of the scalars", why);
  }
  if (counters[1] - counters[0] != 3) {
    return fail("the counter .1.3.0", "went from " + std::to_string(counters[0]) + " to " +
                                          std::to_string(counters[1]) + " over three scalar reads");
  }

  // GET-NEXT into the scalars, from the last scalar into the table, across
  // a column end, from a name with an extra arc, and out of the table.
  const oid probe = std::min<oid>(5, rows - 1);
  Name lastOfColumn2 = Cell(2, rows);
  Name withExtraArc = MakeName({2, 1, 3, probe, 7});
  Name lastCell = Cell(4, rows);
  struct NextCase {
    const char* step;
    const Name* from;
    oid column;  // 0: expect .1.1.0; 9: expect the walk to leave the table
    oid row;
  };
  const Name scalars = ScalarsName();
  const NextCase nexts[] = {
      {"GET-NEXT of .1", &scalars, 0, 0},
      {"GET-NEXT of .1.3.0", &s3, 2, 1},
      {"GET-NEXT of the last row of column 2", &lastOfColumn2, 3, 1},
      {"GET-NEXT of a name with an extra index arc", &withExtraArc, 3, probe + 1},
      {"GET-NEXT of the last cell", &lastCell, 9, 0},
  };
  for (const NextCase& c : nexts) {
    if (rows < 2 && c.from == &withExtraArc) continue;
    ResponseHolder response;
    if (!ask(SNMP_MSG_GETNEXT, {c.from}, response)) return fail(c.step, m_error);
    const netsnmp_variable_list* vb = one(response);
    if (vb == nullptr) return fail(c.step, "expected one varbind");
    std::string why;
    if (c.column == 0) {
      why = CheckInteger(vb, s1, ASN_INTEGER, 42);
    } else if (c.column == 9) {
      if (InTable(vb)) why = "got " + VarText(vb) + ", expected a name after the table";
    } else {
      why = CheckCell(vb, c.column, c.row);
    }
    if (!why.empty()) return fail(c.step, why);
  }

  // The last row, then names that are not there.
  {
    const Name c2 = Cell(2, rows);
    const Name c3 = Cell(3, rows);
    const Name c4 = Cell(4, rows);
    ResponseHolder response;
    if (!ask(SNMP_MSG_GET, {&c2, &c3, &c4}, response)) return fail("GET of the last row", m_error);
    if (CountVarbinds(response.pdu) != 3) return fail("GET of the last row", "expected three varbinds");
    const netsnmp_variable_list* vb = response.pdu->variables;
    for (oid column = 2; column <= 4; ++column, vb = vb->next_variable) {
      const std::string why = CheckCell(vb, column, rows);
      if (!why.empty()) return fail("GET of the last row", why);
    }
  }
  struct MissingCase {
    const char* step;
    Name name;
    u_char type;
  };
  const MissingCase missing[] = {
      {"GET of the row after the last", Cell(2, rows + 1), SNMP_NOSUCHINSTANCE},
      {"GET of row 0", Cell(2, 0), SNMP_NOSUCHINSTANCE},
      {"GET of a cell name with an extra arc", MakeName({2, 1, 2, 1, 5}), SNMP_NOSUCHINSTANCE},
      {"GET of the index column", Cell(1, 1), SNMP_NOSUCHOBJECT},
      {"GET of a column after the last", Cell(5, 1), SNMP_NOSUCHOBJECT},
      {"GET of a scalar without its .0", MakeName({1, 1}), SNMP_NOSUCHINSTANCE},
  };
  for (const MissingCase& c : missing) {
    ResponseHolder response;
    if (!ask(SNMP_MSG_GET, {&c.name}, response)) return fail(c.step, m_error);
    const netsnmp_variable_list* vb = one(response);
    if (vb == nullptr || !NameIs(vb, c.name) || vb->type != c.type) {
      return fail(c.step, "got " + (vb != nullptr ? VarText(vb) : std::string("no single varbind")) + ", expected " +
                              TypeText(c.type));
    }
  }

  // GET-BULK with one non-repeater: .1.2.0, then the last cell, then names
  // after the table.
  {
    const Name beforeLast = rows > 1 ? Cell(4, rows - 1) : Cell(3, rows);
    ResponseHolder response;
    netsnmp_pdu* pdu = NewPdu(SNMP_MSG_GETBULK, {&s1, &beforeLast});
    pdu->non_repeaters = 1;
    pdu->max_repetitions = 3;
    if (OverTime() || !Exchange(pdu, response.pdu)) return fail("GET-BULK", m_error);
    const int count = CountVarbinds(response.pdu);
    const netsnmp_variable_list* vb = response.pdu->variables;
    if (count < 2 || count > 4) return fail("GET-BULK", std::to_string(count) + " varbinds, expected 2 to 4");
    std::string why = CheckBench(vb);
    if (why.empty()) why = CheckCell(vb->next_variable, 4, rows);
    for (vb = vb->next_variable->next_variable; why.empty() && vb != nullptr; vb = vb->next_variable) {
      if (InTable(vb)) why = "got " + VarText(vb) + ", expected a name after the table";
    }
    if (!why.empty()) return fail("GET-BULK", why);
  }
  return true;
}

bool LoadClient::WaitReady() {
  const double deadline = Now() + m_options.maxSeconds;
  const Name name = Scalar(1);
  std::string last;
  while (Now() < deadline) {
    m_error.clear();
    ResponseHolder response;
    m_deadline = deadline;
    if (Exchange(NewPdu(SNMP_MSG_GET, {&name}), response.pdu)) {
      const netsnmp_variable_list* vb = response.pdu->variables;
      last = vb == nullptr ? "no varbind" : CheckInteger(vb, name, ASN_INTEGER, 42);
      if (last.empty()) return true;
    } else {
      last = m_error;
    }
    usleep(100 * 1000);
  }
  m_error.clear();
  return Fail("not ready within " + std::to_string(m_options.maxSeconds) + " s; last answer: " + last);
}

namespace {

// One request of a probe, from its sending to its end.
struct ProbeSample {
  double sent = 0;
  double latencyMs = -1;  // -1 while in flight; infinity when lost
  std::string outcome;    // "ok", "lost", or the name of another answer
  struct ProbeRun* run = nullptr;
};

struct ProbeRun {
  ProbeTarget target = ProbeTarget::kSysDescr;
  Name name;
  long inFlight = 0;
  std::vector<ProbeSample> samples;
};

const char* ErrorStatusName(long status) {
  switch (status) {
    case SNMP_ERR_TOOBIG:
      return "tooBig";
    case SNMP_ERR_NOSUCHNAME:
      return "noSuchName";
    case SNMP_ERR_GENERR:
      return "genErr";
    case SNMP_ERR_NOACCESS:
      return "noAccess";
    case SNMP_ERR_RESOURCEUNAVAILABLE:
      return "resourceUnavailable";
    default:
      return nullptr;
  }
}

// How an answer to a probe's request ended: "ok" for the expected value,
// else a name for what came instead.
std::string ProbeOutcome(const ProbeRun& run, const netsnmp_pdu* pdu) {
  if (pdu->errstat != SNMP_ERR_NOERROR) {
    const char* name = ErrorStatusName(pdu->errstat);
    return name != nullptr ? name : "errorStatus" + std::to_string(pdu->errstat);
  }
  const netsnmp_variable_list* vb = pdu->variables;
  if (vb == nullptr || vb->next_variable != nullptr) return "notOneVarbind";
  if (!NameIs(vb, run.name)) return "wrongName";
  if (const char* exception = ExceptionName(vb->type)) return exception;
  if (run.target == ProbeTarget::kSysDescr) {
    return vb->type == ASN_OCTET_STR && vb->val_len > 0 ? "ok" : "wrongValue";
  }
  return CheckInteger(vb, run.name, ASN_INTEGER, 42).empty() ? "ok" : "wrongValue";
}

int ProbeCallback(int operation, netsnmp_session* /*session*/, int /*reqid*/, netsnmp_pdu* pdu, void* magic) {
  auto* sample = static_cast<ProbeSample*>(magic);
  const double now = Now();
  if (sample->latencyMs >= 0) return 1;  // ended already
  if (operation == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && pdu != nullptr) {
    sample->latencyMs = (now - sample->sent) * 1e3;
    sample->outcome = ProbeOutcome(*sample->run, pdu);
  } else {
    // Timed out, or the session went away: no answer.
    sample->latencyMs = std::numeric_limits<double>::infinity();
    sample->outcome = "lost";
  }
  --sample->run->inFlight;
  return 1;
}

// The nearest-rank percentile `p` (0..100] of sorted values.
double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return std::numeric_limits<double>::quiet_NaN();
  size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
  rank = std::min(std::max<size_t>(rank, 1), sorted.size());
  return sorted[rank - 1];
}

std::string Milliseconds(double ms) {
  if (std::isnan(ms)) return "nan";
  if (std::isinf(ms)) return "lost";
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", ms);
  return text;
}

}  // namespace

std::string ProbeResult::Format() const {
  std::vector<double> sorted = latencies;
  std::sort(sorted.begin(), sorted.end());
  double maxAnswered = std::numeric_limits<double>::quiet_NaN();
  for (const double ms : sorted) {
    if (!std::isinf(ms)) maxAnswered = ms;
  }
  char text[256];
  std::snprintf(text, sizeof text, "op=probe target=%s rate=%.1f seconds=%.3f sent=%ld ok=%ld lost=%ld other=%ld",
                target.c_str(), rate, seconds, sent, ok, lost, other);
  std::string line = text;
  line += " send_failed=" + std::to_string(sendFailed);
  line += " p50_ms=" + Milliseconds(Percentile(sorted, 50)) + " p99_ms=" + Milliseconds(Percentile(sorted, 99)) +
          " max_ms=" + Milliseconds(sorted.empty() ? std::numeric_limits<double>::quiet_NaN() : sorted.back()) +
          " max_answered_ms=" + Milliseconds(maxAnswered);
  line += " other_kinds=";
  if (otherKinds.empty()) line += "-";
  for (size_t i = 0; i < otherKinds.size(); ++i) {
    line += (i == 0 ? "" : ",") + otherKinds[i].first + ":" + std::to_string(otherKinds[i].second);
  }
  return line;
}

bool LoadClient::GetFor(double seconds, LoadResult& result) {
  result = LoadResult();
  result.op = "getfor";
  const Name name = Scalar(1);
  if (!StartMeasuring()) return false;
  const double end = m_started + seconds;
  long count = 0;
  while (Now() < end) {
    if (OverTime()) return Fail("getfor: over the time limit after " + std::to_string(count) + " requests");
    ResponseHolder response;
    if (!Exchange(NewPdu(SNMP_MSG_GET, {&name}), response.pdu)) {
      return Fail("getfor #" + std::to_string(count + 1) + ": " + m_error);
    }
    const netsnmp_variable_list* vb = response.pdu->variables;
    const std::string why = vb == nullptr || vb->next_variable != nullptr ? "expected one varbind"
                                                                          : CheckInteger(vb, name, ASN_INTEGER, 42);
    if (!why.empty()) return Fail("getfor #" + std::to_string(count + 1) + ": " + why);
    ++count;
  }
  StopMeasuring(result);
  result.requests = result.varbinds = count;
  return true;
}

bool LoadClient::Probe(double rate, double seconds, ProbeTarget target, const std::string& samplesPath,
                       ProbeResult& result) {
  result = ProbeResult();
  result.target = target == ProbeTarget::kSysDescr ? "sysDescr.0" : OidText(Scalar(1).arcs, Scalar(1).length);
  result.rate = rate;
  if (!(rate > 0) || !(seconds > 0)) return Fail("probe: the rate and the duration must be above 0");
  const long total = std::max(1L, std::lround(rate * seconds));
  ProbeRun run;
  run.target = target;
  if (target == ProbeTarget::kSysDescr) {
    for (const oid arc : {1, 3, 6, 1, 2, 1, 1, 1, 0}) run.name.arcs[run.name.length++] = arc;
  } else {
    run.name = Scalar(1);
  }
  run.samples.resize(static_cast<size_t>(total));  // never resized again: the callbacks hold pointers
  netsnmp_transport* transport = snmp_sess_transport(m_pSession);
  if (transport == nullptr || transport->sock < 0 || transport->sock >= FD_SETSIZE) {
    return Fail("probe: the session has no usable socket");
  }
  const int fd = transport->sock;
  const double timeout = m_options.timeoutMs / 1e3;
  const double started = Now();
  // Every request has ended a time-out after the last one was sent, give or
  // take the checking step; the margin only guards against a stuck client.
  const double deadline = std::min(started + seconds + timeout + 5.0, started + m_options.maxSeconds);
  long next = 0;
  for (;;) {
    double now = Now();
    while (next < total && now >= started + static_cast<double>(next) / rate) {
      ProbeSample& sample = run.samples[static_cast<size_t>(next)];
      sample.run = &run;
      netsnmp_pdu* pdu = NewPdu(SNMP_MSG_GET, {&run.name});
      sample.sent = Now();
      if (snmp_sess_async_send(m_pSession, pdu, ProbeCallback, &sample) == 0) {
        snmp_free_pdu(pdu);
        sample.latencyMs = std::numeric_limits<double>::infinity();
        sample.outcome = "sendFailed";
      } else {
        ++run.inFlight;
      }
      ++next;
      now = Now();
    }
    snmp_sess_timeout(m_pSession);  // ends the requests whose time-out passed
    if (next >= total && run.inFlight == 0) break;
    if (now > deadline) {
      // Closing the session now ends the requests in flight while `run`,
      // which their callbacks point into, still exists.
      snmp_sess_close(m_pSession);
      m_pSession = nullptr;
      return Fail("probe: over the time limit with " + std::to_string(run.inFlight) + " in flight");
    }
    // Wait for an answer until the next request is due, and at most 5 ms
    // (the resolution of the time-outs).
    double wait = 0.005;
    if (next < total) wait = std::min(wait, std::max(0.0, started + static_cast<double>(next) / rate - now));
    pollfd waiting{fd, POLLIN, 0};
    const int ready = poll(&waiting, 1, static_cast<int>(std::ceil(wait * 1e3)));
    if (ready > 0) {
      fd_set fds;
      FD_ZERO(&fds);
      FD_SET(fd, &fds);
      snmp_sess_read(m_pSession, &fds);
    }
  }
  double last = started;
  std::map<std::string, long> kinds;
  for (const ProbeSample& sample : run.samples) {
    result.latencies.push_back(sample.latencyMs);
    if (sample.outcome == "ok") {
      ++result.ok;
    } else if (sample.outcome == "lost") {
      ++result.lost;
    } else if (sample.outcome == "sendFailed") {
      ++result.sendFailed;
    } else {
      ++result.other;
      ++kinds[sample.outcome];
    }
    last = std::max(last, sample.sent + (std::isinf(sample.latencyMs) ? timeout : sample.latencyMs / 1e3));
  }
  result.sent = total - result.sendFailed;
  result.seconds = last - started;
  result.otherKinds.assign(kinds.begin(), kinds.end());
  if (!samplesPath.empty()) {
    FILE* out = std::fopen(samplesPath.c_str(), "w");
    if (out == nullptr) return Fail("probe: cannot write " + samplesPath + ": " + std::strerror(errno));
    for (const ProbeSample& sample : run.samples) {
      std::fprintf(out, "%.6f %s %s\n", sample.sent, Milliseconds(sample.latencyMs).c_str(), sample.outcome.c_str());
    }
    if (std::fclose(out) != 0) return Fail("probe: cannot write " + samplesPath);
  }
  return true;
}

bool MeasureUdpFloor(long count, double maxSeconds, LoadResult& result, std::string& error) {
  result = LoadResult();
  result.op = "floor";
  const int echo = socket(AF_INET, SOCK_DGRAM, 0);
  const int self = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  auto closeBoth = [&] {
    if (echo >= 0) close(echo);
    if (self >= 0) close(self);
  };
  if (echo < 0 || self < 0 || bind(echo, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(echo, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      connect(self, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    error = std::string("floor: cannot set up the sockets: ") + std::strerror(errno);
    closeBoth();
    return false;
  }
  const pid_t child = fork();
  if (child < 0) {
    error = std::string("floor: fork: ") + std::strerror(errno);
    closeBoth();
    return false;
  }
  if (child == 0) {
    // The echo: answers every datagram to its sender; a one-octet datagram,
    // or five idle seconds, end it.
    close(self);
    unsigned char buffer[2048];
    for (;;) {
      pollfd waiting{echo, POLLIN, 0};
      if (poll(&waiting, 1, 5000) <= 0) _exit(1);
      sockaddr_in from{};
      socklen_t fromLength = sizeof from;
      const ssize_t n = recvfrom(echo, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (n == 1) _exit(0);
      if (n > 0) (void)sendto(echo, buffer, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
    }
  }
  close(echo);
  unsigned char datagram[48];
  std::memset(datagram, 0x30, sizeof datagram);
  unsigned char answer[2048];
  const double deadline = Now() + maxSeconds;
  auto roundTrip = [&]() {
    if (send(self, datagram, sizeof datagram, 0) != static_cast<ssize_t>(sizeof datagram)) return false;
    pollfd waiting{self, POLLIN, 0};
    return poll(&waiting, 1, 2000) == 1 &&
           recv(self, answer, sizeof answer, 0) == static_cast<ssize_t>(sizeof datagram);
  };
  bool ok = true;
  for (int i = 0; ok && i < 1000; ++i) ok = roundTrip();
  const double cpuAtStart = OwnCpuSeconds();
  const double started = Now();
  for (long i = 0; ok && i < count; ++i) ok = roundTrip() && (i % 1024 != 0 || Now() < deadline);
  result.seconds = Now() - started;
  result.clientCpuSeconds = OwnCpuSeconds() - cpuAtStart;
  result.requests = count;
  const unsigned char stop = 0;
  (void)send(self, &stop, 1, 0);
  close(self);
  int status = 0;
  waitpid(child, &status, 0);
  if (!ok) error = "floor: a round trip failed or the time limit passed";
  return ok;
}

}  // namespace QVT::bench
