// BSASubAgent: construction, configuration, the two threads and
// destruction. The exchanges with the master, the command responder,
// registrations and notifications live in the BSASubAgent*.cpp files named
// after them.
#include "BSASubAgent.h"

#include "QVSubAgTrace.h"

namespace QVT {

namespace {

constexpr const char* kSection = "SubAgent";
constexpr const char* kDefaultMasterAddress = "127.0.0.1:10001";
constexpr int kDefaultPingInterval = 60;
constexpr int kMaxPingInterval = 3600;
constexpr int kDefaultMasterTimeout = 3;
constexpr int kDefaultMaxProcTime = 3;
constexpr unsigned int kPingStepMs = 100;
constexpr unsigned int kIdleSleepMs = 100;

}  // namespace

BSASubAgent::BSASubAgent() {
  m_mibHandler.SetSubAg(this);
  QVDbgModuleTraceClass(SA_DBG_SUBAGENT, "BSASubAgent");
}

BSASubAgent::~BSASubAgent() {
  QVDbgModuleTraceClass(SA_DBG_SUBAGENT, "~~~~BSASubAgent");
  // The threads use this object; they must be gone before its members are.
  Stop();
}

int BSASubAgent::InitFromNV(INonVolatile* nv) {
  if (nv == nullptr) return 0;
  m_initError = BString();
  int result = 0;
  BString address(kDefaultMasterAddress);
  BString read;
  const bool configured = nv->GetString(kSection, "MasterAddress", read, 0) == 0 && !read.empty();
  if (configured) address = read;
  if (QVResolveAddress(address, m_addrMaster) == 0) {
    // A configured address that does not resolve is the operator's mistake:
    // reported, never silently replaced by another master.
    m_initError = BString("[SubAgent] MasterAddress: '" + address.str() + "' is not an address (host:port)");
    result = SA_ERR_BAD_VALUE;
  }

  int interval = kDefaultPingInterval;
  if (nv->GetInt(kSection, "PingInterval", &interval, 0) == 0 && interval > kMaxPingInterval) {
    interval = kDefaultPingInterval;
  }
  m_pingThread.m_interval = interval;

  int timeout = 0;
  if (nv->GetInt(kSection, "MasterTimeout", &timeout, 0) != 0) {
    timeout = kDefaultMasterTimeout;
  } else if (timeout < 1) {
    timeout = 1;
  }
  m_masterTimeout = timeout;

  int procTime = 0;
  if (nv->GetInt(kSection, "MaxProcTime", &procTime, 0) != 0) {
    procTime = kDefaultMaxProcTime;
  } else if (procTime < 1) {
    procTime = 1;
  }
  m_maxProcTime = procTime;

  BString local;
  if (nv->GetString(kSection, "ListenAddress", local, 0) == 0 && !local.empty() &&
      QVResolveHost(local, 0, m_listenAddress) == 0) {
    if (result == 0) m_initError = BString("[SubAgent] ListenAddress: '" + local.str() + "' is not an address of this host");
    result = SA_ERR_BAD_VALUE;
  }
  return result;
}

BAddress BSASubAgent::ChooseLocalAddress() const {
  if (!m_listenAddress.IsEmpty()) {
    BAddress local = m_listenAddress;
    local.SetPort(0);
    return local;
  }
  BAddress local;
  if (QVLocalAddressFor(m_addrMaster, local) != 0) return local;
  local.SetIPv4(0x7F000001);
  return local;
}

int BSASubAgent::Init(INonVolatile* nv) {
  if (m_initialized) return 0;
  m_mibHandler.Init(nv);
  if (InitFromNV(nv) != 0) return SA_ERR_BAD_VALUE;
  m_localAddress = ChooseLocalAddress();
  int status = m_respSocket.Initialize(m_localAddress);
  if (status != 0) return status;
  status = m_reqSocket.Initialize(m_localAddress);
  if (status != 0) return status;
  m_pingThread.m_pSubAgent = this;
  m_keeperThread.m_pSubAgent = this;
  m_initialized = true;
  m_cmdRespThread.m_pSubAgent = this;
  return 0;
}

int BSASubAgent::SaveToNV(INonVolatile* nv) {
  if (nv == nullptr) return 0;
  const int first = nv->SetString(kSection, "MasterAddress", QVAddressToString(m_addrMaster).c_str(), 0, 0);
  const int second = nv->SetInt(kSection, "PingInterval", m_pingThread.m_interval, 0, 0, 0);
  return first != 0 ? first : second;
}

int BSASubAgent::Start() {
  // The threads reach this object through the owner pointers Init sets:
  // started before Init they would have none.
  if (!m_initialized) return -1;
  if (m_pingThread.m_interval > 0) m_pingThread.Start(0, 0);
  m_cmdRespThread.Start(0, 0);
  if (m_keep) m_keeperThread.Start(0, 0);
  return 0;
}

int BSASubAgent::Stop() {
  // The keeper first: it is the one that opens sessions.
  m_keeperThread.Stop(kWaitForever);
  // Whatever the interval says now: InitFromNV may have changed it since Start.
  m_pingThread.Stop(kWaitForever);
  m_cmdRespThread.Terminate();
  if (m_cmdRespThread.IsRunning()) WakeResponder();
  m_cmdRespThread.Stop(kWaitForever);
  return 0;
}

void BSASubAgent::WakeResponder() {
  BAddress own;
  if (m_respSocket.IsInvalid() || m_respSocket.GetLocalAddress(own) != 0 || own.Port() == 0) return;
  // One octet from the socket to itself: the responder knows the sender
  // and drops it unanswered and uncounted.
  unsigned char octet = 0;
  unsigned length = 1;
  m_respSocket.SendTo(&octet, length, own, false);
}

unsigned int BSASubAgent::GetNewRequestId() {
  // Drawn from the application's threads, the pinger and the command
  // responder before m_reqLock is taken (atomic draw, see SANextRequestId).
  return SANextRequestId(m_lastRequestId);
}

void BSASubAgent::OnPingResponse(int upTime) {
  QVSubAgTrace("OnPingResponse  %d ", upTime);
}

void BSASubAgent::OnPingTimeout(int /*value*/) {
  QVSubAgTrace("OnPingTimeout   ");
}

BSASubAgent::CmdRespThread::~CmdRespThread() {
  Stop(kWaitForever);
}

int BSASubAgent::CmdRespThread::Run() {
  TTimer timer;
  for (;;) {
    if (StopEvent().Wait(0) == 0) return 0;
    if (static_cast<int>(m_pSubAgent->m_sessionId.load()) < 1) {
      timer.Sleep(kIdleSleepMs);
      continue;
    }
    std::lock_guard<std::mutex> guard(m_pSubAgent->m_respLock);
    if (m_pSubAgent->m_sessionId.load() == 0) continue;
    m_pSubAgent->ReceiveAndProcessData();
  }
}

BSASubAgent::PingThread::~PingThread() {
  Stop(kWaitForever);
}

int BSASubAgent::PingThread::Run() {
  const int interval = m_interval;
  const int period = interval * 1000;
  int countdown = 0;
  for (;;) {
    const int stopped = StopEvent().Wait(kPingStepMs);
    countdown -= static_cast<int>(kPingStepMs);
    if (stopped == 0) return 0;
    if (countdown > 0) continue;
    int upTime = 0;
    const unsigned int session = m_pSubAgent->SessionId();
    countdown = period;
    // In keep-session mode the keeper opens the session: nothing to ask
    // before it has.
    if (m_pSubAgent->m_keep && session == 0) continue;
    const int status = m_pSubAgent->Ping(upTime);
    m_pSubAgent->WatchPing(session, status, upTime);
    if (status == 0) {
      m_pSubAgent->OnPingResponse(upTime);
    } else if (status == SA_WIRE_NOT_OPEN) {
      m_pSubAgent->OnPingResponse(0);
    } else {
      m_pSubAgent->OnPingTimeout(interval * 10);
    }
  }
}

}  // namespace QVT
