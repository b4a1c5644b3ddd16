// BSAMaster: construction, configuration, the two threads and destruction.
// The traffic, registration, index and notification handlers live in the
// BSAMaster*.cpp files named after them.
#include "BSAMaster.h"

#include "BSAMibSubtreeHandler.h"
#include "QVSubAgTrace.h"

namespace QVT {

namespace {

constexpr unsigned short kDefaultPort = 10001;

bool IsWildcard(const BAddress& address) {
  const unsigned n = address.Family() == BAddress::kFamilyINet6 ? 16 : 4;
  for (unsigned i = 0; i < n; ++i) {
    if (address.Octets()[i] != 0) return false;
  }
  return true;
}

BAddress Loopback(short family) {
  BAddress address;
  if (family == BAddress::kFamilyINet6) {
    static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    address.SetIPv6(kLoopback6);
  } else {
    address.SetIPv4(0x7F000001);
  }
  return address;
}

}  // namespace

BSAMaster::BSAMaster(BMibHandler* mibHandler, BTime* time) : m_pMibHandler(mibHandler), m_pTime(time) {
  QVDbgModuleTraceClass(SA_DBG_MASTER, "BSAMaster");
}

BSAMaster::~BSAMaster() {
  QVDbgModuleTraceClass(SA_DBG_MASTER, "~~~~BSAMaster");
  // The owner stops the master before destroying it; stopping again costs
  // nothing and keeps the threads off the members freed below if it forgot.
  Stop();
  // The proxies leave the agent's MIB handler (and their sysOR rows go);
  // they and the sessions are freed once no query still running may use
  // them (at once when none runs).
  if (m_pMibHandler != nullptr) {
    for (const auto& [oid, handler] : m_handlers) {
      m_pMibHandler->Mib2System().RemoveORRowByIndex(handler->SysORIndex());
      BSAMibSubtreeHandler* proxy = handler;
      m_pMibHandler->WithdrawSubtreeHandler(proxy, [proxy] { delete proxy; });  // one the MIB handler keeps stays
    }
    m_handlers.clear();
    {
      std::lock_guard<std::mutex> guard(m_viewLock);
      m_registrationRows.clear();
      m_indexRows.clear();
    }
    auto sessions = std::make_shared<std::map<int, std::unique_ptr<BSASession>>>(std::move(m_sessions));
    m_pMibHandler->Grace().Retire([sessions] {});
  }
  m_sessions.clear();
}

int BSAMaster::Init(INonVolatile* nv) {
  if (m_initialized) return 0;
  m_port = kDefaultPort;
  if (InitFromNV(nv) == SA_ERR_BAD_VALUE) return SA_ERR_BAD_VALUE;
  BAddress endpoint;
  if (!m_settings.ListenEndpoint(m_port, endpoint)) {
    m_configError =
        BString("ListenAddress: '" + m_settings.listenAddress.str() + "' is not an IP address of this host");
    return SA_ERR_BAD_VALUE;
  }
  int status = m_listenSocket.Initialize(endpoint);
  if (status != 0) return status;
  m_listenWildcard = IsWildcard(endpoint);
  if (m_listenWildcard) m_listenSocket.EnablePacketInfo();

  // The alarm clock sends from the listening address itself (loopback for
  // a wildcard), which no sender outside this host can use.
  const BAddress own = m_listenWildcard ? Loopback(endpoint.Family()) : endpoint;
  BAddress wakeFrom = own;
  wakeFrom.SetPort(0);
  status = m_wakeSocket.Initialize(wakeFrom);
  if (status != 0) {
    m_listenSocket.ShutDown(2);
    return status;
  }
  m_wakeSocket.GetLocalAddress(m_wakeAddress);

  m_workerThread.m_pMaster = this;
  m_initialized = true;
  m_sessMonThread.m_pMaster = this;
  return 0;
}

int BSAMaster::InitFromNV(INonVolatile* nv) {
  if (nv != nullptr) {
    m_configError = BString();
    if (!m_settings.Read(*nv, m_configError)) return SA_ERR_BAD_VALUE;
    int value = 0;
    const int status = nv->GetInt("SAMaster", "Port", &value, 0);
    if (status != 0) return status;
    m_port = kDefaultPort;
    // 2..65534, tested as one unsigned comparison so that negative values fail too.
    if (static_cast<unsigned int>(value) - 2u <= 65532u) m_port = static_cast<unsigned short>(value);
  }
  QVSubAgTrace("Init  Port=%d", m_port);
  return 0;
}

int BSAMaster::SaveToNV(INonVolatile* nv) {
  if (nv == nullptr) return 0;
  return nv->SetInt("SAMaster", "Port", m_port, 0, 0, 0);
}

BAddress BSAMaster::ListenAddress() const {
  return m_listenSocket.MyAddress();
}

int BSAMaster::Start() {
  if (!m_initialized) return -1;
  m_stopping.store(false, std::memory_order_release);
  m_workerThread.Start(0, 0);
  m_sessMonThread.Start(0, 0);
  return 0;
}

int BSAMaster::Stop() {
  // Exchanges first: an SNMP request thread waiting for a sub-agent gives
  // up at once, whatever the sub-agent does, so that the agent can stop.
  m_stopping.store(true, std::memory_order_release);
  {
    std::lock_guard<std::mutex> guard(m_sessionsLock);
    for (auto& [id, session] : m_sessions) session->AbortExchanges();
  }
  m_workerThread.Terminate();
  if (m_workerThread.IsRunning()) WakeWorker();
  m_workerThread.Stop(kWaitForever);
  m_sessMonThread.Stop(kWaitForever);
  return 0;
}

void BSAMaster::WakeWorker() {
  if (m_wakeSocket.IsInvalid()) return;
  // One octet is below the smallest frame; the worker knows the sender.
  BAddress target = m_wakeAddress;
  target.SetPort(m_port);
  unsigned char octet = 0;
  unsigned length = 1;
  m_wakeSocket.SendTo(&octet, length, target, false);
}

int BSAMaster::SessionCount() {
  std::lock_guard<std::mutex> guard(m_sessionsLock);
  int open = 0;
  for (const auto& [id, session] : m_sessions) open += session->IsClosing() ? 0 : 1;
  return open;
}

BSAMaster::WorkerThread::~WorkerThread() {
  Stop(kWaitForever);
}

int BSAMaster::WorkerThread::Run() {
  m_pMaster->m_workerId.store(std::this_thread::get_id());
  for (;;) {
    if (StopEvent().Wait(0) == 0) return 0;
    m_pMaster->ReceiveAndProcessData();
  }
}

BSAMaster::SessMonThread::~SessMonThread() {
  Stop(kWaitForever);
}

int BSAMaster::SessMonThread::Run() {
  for (;;) {
    if (StopEvent().Wait(m_interval) == 0) return 0;
    m_pMaster->CheckSessions();
  }
}

}  // namespace QVT
