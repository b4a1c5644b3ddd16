#include "MasterTestSupport.h"

#include <chrono>

#include "BMemoryStore.h"
#include "BSAFrame.h"
#include "BSAOIDs.h"
#include "BSASession.h"
#include "ChildProcess.h"

namespace QVT {

int BSAMasterPeer::HandlerCount(BSAMaster& master) {
  TReadLock reading(master.m_pMibHandler->Synch());
  return master.m_handlers.Count();
}

std::vector<std::string> BSAMasterPeer::Handlers(BSAMaster& master) {
  TReadLock reading(master.m_pMibHandler->Synch());
  std::vector<std::string> out;
  for (int i = 0; i < master.m_handlers.Count(); ++i) {
    auto* handler = static_cast<BSAMibSubtreeHandler*>(master.m_handlers[i]);
    out.push_back(handler->Oid().ToString().str() + "/" + std::to_string(handler->HandlerType()) + "/" +
                  std::to_string(handler->Session() != nullptr ? handler->Session()->m_id : 0));
  }
  return out;
}

int BSAMasterPeer::SessionCount(BSAMaster& master) {
  std::lock_guard<std::mutex> guard(master.m_sessionsLock);
  return master.m_sessions.Count();
}

namespace test {

// --- TraceRecorder ---

TraceRecorder::TraceRecorder() {
  QVSubAgTraceSubscribe(this);
}

TraceRecorder::~TraceRecorder() {
  BMessageDispatcher::Instance()->Unsubscribe(SA_TRACE_MESSAGE_TYPE, this);
}

void TraceRecorder::OnMessage(const BMessage& message) {
  std::string text = message.Text().str();
  if (text.rfind(SA_TRACE_PREFIX, 0) == 0) text.erase(0, sizeof SA_TRACE_PREFIX - 1);
  std::lock_guard<std::mutex> guard(m_lock);
  m_lines.push_back(std::move(text));
  m_added.notify_all();
}

int TraceRecorder::Count(const std::string& text) const {
  std::lock_guard<std::mutex> guard(m_lock);
  int n = 0;
  for (const std::string& line : m_lines) n += line.find(text) != std::string::npos ? 1 : 0;
  return n;
}

bool TraceRecorder::WaitFor(const std::string& text, int ms) {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_added.wait_for(lock, std::chrono::milliseconds(ms), [&] {
    for (const std::string& line : m_lines) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  });
}

void TraceRecorder::Clear() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_lines.clear();
}

// --- RecordingMibHandler ---

int RecordingMibHandler::RegisterSubtreeHandler(BMibSubtreeHandler* handler) {
  return refuseRegister ? 0 : BMibHandler::RegisterSubtreeHandler(handler);
}

int RecordingMibHandler::UnregisterSubtreeHandler(BMibSubtreeHandler* handler) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_unregistered.push_back(handler->Oid().ToString().str());
  }
  return refuseUnregister ? 0 : BMibHandler::UnregisterSubtreeHandler(handler);
}

std::vector<std::string> RecordingMibHandler::Unregistered() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_unregistered;
}

// --- values and PDUs ---

BObjectSyntax Int(int value) {
  BObjectSyntax s;
  s.SetInt(value);
  return s;
}

BObjectSyntax Text(const std::string& text) {
  BObjectSyntax s;
  s.SetOctets(text);
  return s;
}

BObjectSyntax OidValue(const char* dotted) {
  BObjectSyntax s;
  s.SetObjectId(BObjectIdentifier(dotted));
  return s;
}

BObjectSyntax Exception(ESnmpException exception) {
  BObjectSyntax s;
  s.SetV2Exception(exception);
  return s;
}

BSAPdu OpenPdu(const char* description, std::optional<int> timeout) {
  BSAOIDs* oids = BSAOIDs::Instance();
  BSAPdu pdu(SA_PDU_OPEN_SESSION);
  pdu.varBindList.Append(oids->oidName, Text(description));
  if (timeout) pdu.varBindList.Append(oids->oidMaxProcTime, Int(*timeout));
  return pdu;
}

BSAPdu RegisterPdu(ESAPduType type, unsigned session, const char* name, const char* oid, std::vector<uint32_t> range) {
  BSAOIDs* oids = BSAOIDs::Instance();
  BSAPdu pdu(type, session, 0);
  pdu.varBindList.Append(oids->oidHandlerType, Int(range.size() >= 2 ? 6 : 0));
  pdu.varBindList.Append(oids->oidName, Text(name));
  pdu.varBindList.Append(oids->oidSubtree, OidValue(oid));
  for (const uint32_t value : range) pdu.varBindList.Append(oids->oidSubId, Int(static_cast<int>(value)));
  return pdu;
}

BSAPdu AnswerTo(const BSAPdu& request, const BVarBindList& varbinds, int errorStatus, int errorIndex) {
  BSAPdu answer(SA_PDU_RESPONSE, request.sessionId, request.requestId);
  answer.varBindList = varbinds;
  answer.errorStatus = errorStatus;
  answer.errorIndex = errorIndex;
  return answer;
}

std::vector<std::string> Texts(const BVarBindList& list) {
  std::vector<std::string> out;
  for (const BVarBind& vb : list) {
    std::string value;
    switch (vb.value.Syntax()) {
      case ASN_INTEGER:
        value = std::to_string(vb.value.GetInt());
        break;
      case ASN_NO_SUCH_OBJECT:
        value = "noSuchObject";
        break;
      case ASN_NO_SUCH_INSTANCE:
        value = "noSuchInstance";
        break;
      case ASN_END_OF_MIB_VIEW:
        value = "endOfMibView";
        break;
      case ASN_OCTET_STRING:
        value = std::string(vb.value.GetOctets().AsStringView());
        break;
      default:
        value = vb.value.ValToStr().str();
    }
    out.push_back(vb.name.ToString().str() + "=" + value);
  }
  return out;
}

// --- ScriptedSubAgent ---

ScriptedSubAgent::ScriptedSubAgent(unsigned short masterPort) {
  m_master.SetIPv4(0x7F000001);
  m_master.SetPort(masterPort);
  for (BSASocket* socket : {&m_responder, &m_requester, &m_other}) {
    EXPECT_EQ(socket->Initialize(0), 0);
    socket->SetWaitInterval(/*microseconds=*/100000);
  }
}

ScriptedSubAgent::~ScriptedSubAgent() {
  m_stop = true;
  if (m_thread.joinable()) m_thread.join();
}

void ScriptedSubAgent::SendPdu(BSASocket& socket, BSAPdu& pdu, const BAddress& to) {
  BSABuffer buffer;
  ASSERT_EQ(Encode(buffer, pdu), 0);
  unsigned length = buffer.Length();
  BAddress target = to;
  std::lock_guard<std::mutex> guard(m_sendLock);
  EXPECT_EQ(socket.SendTo(buffer.Data(), length, target, false), 0);
}

int ScriptedSubAgent::Open(const char* description, std::optional<int> timeout, int waitMs) {
  BSAPdu open = OpenPdu(description, timeout);
  open.requestId = ++m_lastRequestId;
  SendPdu(m_responder, open, m_master);
  for (int waited = 0; waited < waitMs; waited += 100) {  // the socket waits 100 ms per receive
    BSABuffer buffer;
    buffer.SetLength(buffer.Capacity());
    unsigned length = buffer.Capacity();
    BAddress from;
    if (m_responder.RecvFrom(buffer.Data(), length, from, false) != 0) continue;
    buffer.SetLength(length);
    BSAPdu answer;
    if (Decode(buffer, answer) != 0 || answer.requestId != open.requestId) continue;
    if (answer.errorStatus == 0) m_sessionId = answer.sessionId;
    return answer.errorStatus;
  }
  return kNoAnswer;
}

bool ScriptedSubAgent::NextDatagram(BSAPdu& pdu, int ms) {
  for (int waited = 0; waited < ms; waited += 100) {
    BSABuffer buffer;
    buffer.SetLength(buffer.Capacity());
    unsigned length = buffer.Capacity();
    BAddress from;
    if (m_requester.RecvFrom(buffer.Data(), length, from, false) != 0) continue;
    buffer.SetLength(length);
    pdu.Init(0, 0, 0);
    if (Decode(buffer, pdu) == 0) return true;
  }
  return false;
}

int ScriptedSubAgent::Ask(BSAPdu request, BSAPdu* response) {
  if (request.requestId == 0) request.requestId = ++m_lastRequestId;
  SendPdu(m_requester, request, m_master);
  BSAPdu answer;
  for (int i = 0; i < 30; ++i) {
    if (!NextDatagram(answer, 100) || answer.requestId != request.requestId) continue;
    if (response != nullptr) *response = answer;
    return answer.errorStatus;
  }
  return kNoAnswer;
}

int ScriptedSubAgent::Register(const char* oid, std::vector<uint32_t> range, const char* name) {
  return Ask(RegisterPdu(SA_PDU_REGISTER, m_sessionId, name, oid, std::move(range)));
}

int ScriptedSubAgent::Unregister(const char* oid, std::vector<uint32_t> range) {
  return Ask(RegisterPdu(SA_PDU_UNREGISTER, m_sessionId, "scripted", oid, std::move(range)));
}

int ScriptedSubAgent::Ping(unsigned sessionId) {
  return Ask(BSAPdu(SA_PDU_PING, sessionId, 0));
}

void ScriptedSubAgent::SendRaw(const std::vector<unsigned char>& octets) {
  std::vector<unsigned char> copy = octets;
  unsigned length = static_cast<unsigned>(copy.size());
  EXPECT_EQ(m_requester.SendTo(copy.data(), length, m_master, false), 0);
}

void ScriptedSubAgent::Serve(Script script) {
  m_script = std::move(script);
  m_thread = std::thread([this] { Respond(); });
}

void ScriptedSubAgent::Respond() {
  BSABuffer buffer;
  while (!m_stop) {
    buffer.SetLength(buffer.Capacity());
    unsigned length = buffer.Capacity();
    BAddress from;
    if (m_responder.RecvFrom(buffer.Data(), length, from, false) != 0) continue;
    buffer.SetLength(length);
    BSAPdu request;
    if (Decode(buffer, request) != 0) continue;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_received.push_back(request);
    }
    Replier reply(*this, from);
    m_script(request, reply);
  }
}

std::vector<BSAPdu> ScriptedSubAgent::Received() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_received;
}

void ScriptedSubAgent::Replier::Send(BSAPdu pdu) {
  m_agent.SendPdu(m_agent.m_responder, pdu, m_to);
}

void ScriptedSubAgent::Replier::SendFromOther(BSAPdu pdu) {
  m_agent.SendPdu(m_agent.m_other, pdu, m_to);
}

void ScriptedSubAgent::Replier::SendRaw(const std::vector<unsigned char>& octets) {
  std::vector<unsigned char> copy = octets;
  unsigned length = static_cast<unsigned>(copy.size());
  std::lock_guard<std::mutex> guard(m_agent.m_sendLock);
  EXPECT_EQ(m_agent.m_responder.SendTo(copy.data(), length, m_to, false), 0);
}

ScriptedSubAgent::Script ServeInstances(std::map<std::string, int> instances) {
  std::map<BObjectIdentifier, int> values;
  for (const auto& [name, value] : instances) values[BObjectIdentifier(name.c_str())] = value;
  return [values](const BSAPdu& request, ScriptedSubAgent::Replier& reply) {
    BVarBindList out = request.varBindList;
    for (BVarBind& vb : out) {
      if (request.type == SA_PDU_GET) {
        auto it = values.find(vb.name);
        vb.value = it != values.end() ? Int(it->second) : Exception(SNMP_NO_SUCH_INSTANCE);
      } else if (request.type == SA_PDU_GET_NEXT) {
        auto it = values.upper_bound(vb.name);
        if (it == values.end()) {
          vb.value = Exception(SNMP_END_OF_MIB_VIEW);
        } else {
          vb = BVarBind(it->first, Int(it->second));
        }
      }
    }
    reply.Send(AnswerTo(request, out));
  };
}

// --- MasterTest ---

void MasterTest::SetUp() {
  m_master = std::make_unique<BSAMaster>(&m_mib, &m_clock);
  BMemoryStore store;
  for (int attempt = 0; attempt < 20; ++attempt) {
    m_port = FreeUdpPort();
    store.SetInt("SAMaster", "Port", m_port, 0, 0, 0);
    if (m_port != 0 && m_master->Init(&store) == 0) break;
  }
  ASSERT_EQ(m_master->Port(), m_port);
  // The tests call CheckSessions themselves; the monitor's own runs would
  // race with them. Stop ends the monitor's wait at once.
  BSAMasterPeer::SetMonitorInterval(*m_master, /*ms=*/3600000);
  ASSERT_EQ(m_master->Start(), 0);
}

void MasterTest::TearDown() {
  if (m_master) m_master->Stop();
  m_mib.refuseRegister = false;
  m_mib.refuseUnregister = false;
}

std::unique_ptr<ScriptedSubAgent> MasterTest::NewSubAgent(std::optional<int> timeout) {
  auto agent = std::make_unique<ScriptedSubAgent>(m_port);
  EXPECT_EQ(agent->Open("scripted", timeout), 0);
  return agent;
}

int MasterTest::Query(int code, std::vector<const char*> names, BVarBindList& list, int& errorIndex, int tid) {
  list.Clear();
  for (const char* name : names) list.Append(BObjectIdentifier(name));
  return m_mib.BMibHandler::Query(code, tid, BSecurityParams(), BString(), list, errorIndex);
}

std::vector<std::string> MasterTest::SysORRows() {
  const BObjectIdentifier idColumn("1.3.6.1.2.1.1.9.1.2");
  std::vector<std::string> rows;
  BVarBindList list;
  list.Append(idColumn);
  int errorIndex = 0;
  for (;;) {
    EXPECT_EQ(m_mib.BMibHandler::Query(SNMP_REQ_GET_NEXT, 1, BSecurityParams(), BString(), list, errorIndex), 0);
    const BVarBind id = list[0];
    if (id.value.IsException() || !idColumn.IsStartingSubOidOf(id.name)) break;
    BVarBindList descr;
    BObjectIdentifier descrName = id.name;
    descrName[descrName.Length() - 2] = 3;  // sysORDescr of the same row
    descr.Append(descrName);
    EXPECT_EQ(m_mib.BMibHandler::Query(SNMP_REQ_GET, 1, BSecurityParams(), BString(), descr, errorIndex), 0);
    rows.push_back(id.value.GetObjectId().ToString().str() + "=" +
                   std::string(descr[0].value.GetOctets().AsStringView()));
  }
  return rows;
}

}  // namespace test
}  // namespace QVT
