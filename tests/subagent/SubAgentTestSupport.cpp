#include "SubAgentTestSupport.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "BSABuffer.h"
#include "BSAFrame.h"
#include "QVSubAgTrace.h"

namespace QVT {

unsigned short BSASubAgentPeer::RequestPort(BSASubAgent& s) {
  BAddress local;
  return s.m_reqSocket.GetLocalAddress(local) == 0 ? local.Port() : 0;
}

namespace test {

unsigned short FreePort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

namespace {

BAddress Loopback(unsigned short port) {
  BAddrINet address;
  address.SetIPv4(0x7F000001);
  address.SetPort(port);
  return address;
}

void SendOctets(BSASocket& socket, std::vector<unsigned char> octets, BAddress to) {
  unsigned length = static_cast<unsigned>(octets.size());
  EXPECT_EQ(socket.SendTo(octets.data(), length, to, false), 0);
}

}  // namespace

BObjectSyntax Int(int value) {
  BObjectSyntax syntax;
  syntax.SetInt(value);
  return syntax;
}

BObjectSyntax Text(const std::string& text) {
  BObjectSyntax syntax;
  syntax.SetOctets(text);
  return syntax;
}

BObjectSyntax OidValue(const char* dotted) {
  BObjectSyntax syntax;
  syntax.SetObjectId(BObjectIdentifier(dotted));
  return syntax;
}

std::vector<std::string> Texts(const BVarBindList& list) {
  std::vector<std::string> texts;
  for (const BVarBind& vb : list) texts.push_back(vb.name.ToString().str() + "=" + vb.value.ValToStr().str());
  return texts;
}

BVarBindList Names(std::initializer_list<const char*> names) {
  BVarBindList list;
  for (const char* name : names) list.Append(BObjectIdentifier(name));
  return list;
}

bool WaitUntil(const std::function<bool()>& condition, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::vector<unsigned char> Encoded(BSAPdu pdu) {
  BSABuffer buffer;
  EXPECT_EQ(Encode(buffer, pdu), 0);
  return {buffer.Data(), buffer.Data() + buffer.Length()};
}

Datagram Answer(const BSAPdu& request, int errorStatus, const BVarBindList& list, unsigned upTime) {
  BSAPdu answer(SA_PDU_RESPONSE, request.sessionId, request.requestId);
  answer.errorStatus = errorStatus;
  answer.sysUpTime = upTime;
  answer.varBindList = list;
  return {Encoded(answer)};
}

ScriptedMaster::ScriptedMaster() {
  for (int attempt = 0; attempt < 10 && m_port == 0; ++attempt) {
    const unsigned short port = FreePort();
    if (m_listen.Initialize(port) == 0) m_port = port;
  }
  EXPECT_NE(m_port, 0) << "no free port";
  m_listen.SetWaitInterval(/*microseconds=*/50000);
  m_requester.SetWaitInterval(/*microseconds=*/50000);
  EXPECT_EQ(m_other.Initialize(0), 0);
  EXPECT_EQ(m_requester.Initialize(0), 0);
  m_thread = std::thread([this] { Serve(); });
}

ScriptedMaster::~ScriptedMaster() {
  m_stop = true;
  m_thread.join();
}

std::vector<Datagram> ScriptedMaster::AnswerAll(const BSAPdu& request) {
  if (request.type == SA_PDU_OPEN_SESSION) {
    BSAPdu answer(SA_PDU_RESPONSE, kSessionId, request.requestId);
    return {{Encoded(answer)}};
  }
  if (request.type == SA_PDU_PING) return {Answer(request, 0, {}, kUpTime)};
  if (request.type == SA_PDU_INDEX_ALLOCATE) return {Answer(request, 0, request.varBindList)};
  return {Answer(request)};
}

void ScriptedMaster::SetScript(Script script) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_script = std::make_shared<Script>(std::move(script));
}

std::vector<BSAPdu> ScriptedMaster::Received() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_received;
}

std::vector<unsigned short> ScriptedMaster::SourcePorts() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_sourcePorts;
}

bool ScriptedMaster::WaitForRequests(size_t count, int ms) const {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_arrived.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_received.size() >= count; });
}

void ScriptedMaster::Serve() {
  BSABuffer buffer;
  while (!m_stop) {
    buffer.SetLength(buffer.Capacity());
    unsigned length = buffer.Capacity();
    BAddress from;
    if (m_listen.RecvFrom(buffer.Data(), length, from, false) != 0) continue;
    buffer.SetLength(length);
    BSAPdu request;
    if (Decode(buffer, request) != 0) continue;
    std::shared_ptr<Script> script;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_received.push_back(request);
      m_sourcePorts.push_back(from.Port());
      if (request.type == SA_PDU_OPEN_SESSION) m_sessionAddress = from;
      script = m_script;
    }
    m_arrived.notify_all();
    for (const Datagram& datagram : (*script)(request)) {
      SendOctets(datagram.fromOtherSocket ? m_other : m_listen, datagram.octets, from);
    }
  }
}

void ScriptedMaster::SendRaw(const std::vector<unsigned char>& octets) {
  BAddress to;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    to = Loopback(m_sessionAddress.Port());
  }
  SendOctets(m_requester, octets, to);
}

unsigned short ScriptedMaster::RequesterPort() {
  BAddress local;
  return m_requester.GetLocalAddress(local) == 0 ? local.Port() : 0;
}

std::optional<BSAPdu> ScriptedMaster::NextAnswer(int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  BSABuffer buffer;
  while (std::chrono::steady_clock::now() < deadline) {
    buffer.SetLength(buffer.Capacity());
    unsigned length = buffer.Capacity();
    BAddress from;
    if (m_requester.RecvFrom(buffer.Data(), length, from, false) != 0) continue;
    buffer.SetLength(length);
    BSAPdu answer;
    if (Decode(buffer, answer) == 0) return answer;
  }
  return std::nullopt;
}

std::optional<BSAPdu> ScriptedMaster::Exchange(const BSAPdu& request, int ms) {
  SendRaw(Encoded(request));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < deadline) {
    std::optional<BSAPdu> answer = NextAnswer(ms);
    if (!answer || answer->requestId == request.requestId) return answer;
  }
  return std::nullopt;
}

TraceRecorder::TraceRecorder() {
  EXPECT_EQ(QVSubAgTraceSubscribe(this), 0);
}

TraceRecorder::~TraceRecorder() {
  BMessageDispatcher::Instance()->Unsubscribe(SA_TRACE_MESSAGE_TYPE, this);
}

void TraceRecorder::OnMessage(const BMessage& message) {
  std::string text = message.Text().str();
  if (text.rfind(SA_TRACE_PREFIX, 0) == 0) text.erase(0, sizeof SA_TRACE_PREFIX - 1);
  std::lock_guard<std::mutex> lock(m_lock);
  m_lines.push_back(text);
}

std::vector<std::string> TraceRecorder::Lines() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_lines;
}

std::vector<std::string> RecordingSubAgent::WaitForHooks(size_t count, int ms) {
  std::unique_lock<std::mutex> lock(m_lock);
  m_called.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_hooks.size() >= count; });
  return m_hooks;
}

void RecordingSubAgent::Record(const std::string& call) {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_hooks.push_back(call);
  }
  m_called.notify_all();
}

void SubAgentTest::SetUp() {
  m_store.SetString("SubAgent", "MasterAddress", m_master.Address().c_str(), 0, 0);
  m_store.SetInt("SubAgent", "MasterTimeout", 1, 0, 0, 0);
  m_store.SetInt("SubAgent", "PingInterval", 0, 0, 0, 0);
}

void SubAgentTest::TearDown() {
  if (m_subAgent) m_subAgent->Stop();
}

void SubAgentTest::InitSubAgent() {
  m_subAgent = std::make_unique<RecordingSubAgent>();
  ASSERT_EQ(m_subAgent->Init(&m_store), 0);
}

void SubAgentTest::OpenSubAgent() {
  InitSubAgent();
  ASSERT_EQ(m_subAgent->OpenSession("test"), 0);
  ASSERT_EQ(m_subAgent->SessionId(), ScriptedMaster::kSessionId);
}

}  // namespace test
}  // namespace QVT
