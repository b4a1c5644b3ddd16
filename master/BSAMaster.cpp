// BSAMaster: construction, configuration, the two threads and destruction.
// The traffic, registration, index and notification handlers live in the
// BSAMaster*.cpp files named after them.
#include "BSAMaster.h"

#include "BSAMibSubtreeHandler.h"
#include "QVSubAgTrace.h"

namespace QVT {

namespace {
constexpr unsigned short kDefaultPort = 10001;
constexpr int kTraceClassMaster = 0xE0002;
}  // namespace

BSAMaster::BSAMaster(BMibHandler* mibHandler, BTime* time) : m_pMibHandler(mibHandler), m_pTime(time) {
  QVDbgModuleTraceClass(kTraceClassMaster, "BSAMaster");
}

BSAMaster::~BSAMaster() {
  QVDbgModuleTraceClass(kTraceClassMaster, "~~~~BSAMaster");
  // The owner stops the master before destroying it; stopping again costs
  // nothing and keeps the threads off the members freed below if it forgot.
  Stop();
  // The proxies leave the agent's MIB handler (and their sysOR rows go)
  // before they are freed, so that no freed handler is ever reachable from
  // it. The owner has stopped the threads; the write lock keeps out any
  // query still running on the agent's request threads.
  if (m_pMibHandler != nullptr) {
    TWriteLock writeLock(m_pMibHandler->Synch());
    for (int i = m_handlers.Count() - 1; i >= 0; --i) {
      auto* handler = static_cast<BSAMibSubtreeHandler*>(m_handlers[i]);
      if (handler == nullptr) continue;
      BMib2System& system = m_pMibHandler->Mib2System();
      for (int row = 1; row <= system.GetNumORRows(); ++row) {
        const BSysORRow* orRow = system.GetORRow(row);
        if (orRow != nullptr && orRow->id.Compare(handler->Oid()) == 0) {
          system.RemoveORRow(row);
          break;
        }
      }
      m_pMibHandler->UnregisterSubtreeHandler(handler);
    }
  }
  for (int i = 0; i < m_handlers.Count(); ++i) delete static_cast<BSAMibSubtreeHandler*>(m_handlers[i]);
  m_handlers.Clear();
  for (int i = 0; i < m_sessions.Count(); ++i) delete static_cast<BSASession*>(m_sessions.PtrAt(i));
  m_sessions.Clear();
}

int BSAMaster::Init(INonVolatile* nv) {
  if (m_initialized) return 0;
  m_port = kDefaultPort;
  InitFromNV(nv);
  int status = m_listenSocket.Initialize(m_port);
  if (status != 0) return status;
  status = m_reqSocket.Initialize(0);
  if (status != 0) return status;
  m_workerThread.m_pMaster = this;
  m_initialized = true;
  m_sessMonThread.m_pMaster = this;
  return 0;
}

int BSAMaster::InitFromNV(INonVolatile* nv) {
  if (nv != nullptr) {
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

int BSAMaster::Start() {
  if (!m_initialized) return -1;
  m_workerThread.Start(0, 0);
  m_sessMonThread.Start(0, 0);
  return 0;
}

int BSAMaster::Stop() {
  m_workerThread.Terminate();
  if (m_workerThread.IsRunning()) WakeWorker();
  m_workerThread.Stop(kWaitForever);
  m_sessMonThread.Stop(kWaitForever);
  // Requests still waiting for the write lock are dropped: their senders
  // time out, and a later Start begins afresh.
  m_deferred.clear();
  return 0;
}

void BSAMaster::WakeWorker() {
  // One octet is below the smallest frame: the worker drops it unanswered,
  // then sees its stop event.
  BSockDatagram waker;
  if (waker.Create() != 0) return;
  BAddrINet self;
  self.SetIPv4(0x7F000001);
  self.SetPort(m_port);
  const char octet = 0;
  int length = 1;
  waker.SendTo(&octet, length, self);
}

BSAMaster::WorkerThread::~WorkerThread() {
  Stop(kWaitForever);
}

int BSAMaster::WorkerThread::Run() {
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
