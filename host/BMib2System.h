// BMib2System: the MIB-II system group (1.3.6.1.2.1.1) with sysORTable,
// served as real MIB objects. sysContact, sysName and sysLocation are
// writable (up to 255 characters). sysORTable lists object resources, one
// row per capability or registered subtree; a row keeps its sysORIndex for
// its whole life, so positions (1-based, in insertion order) and indices
// differ once rows are removed. Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "BMibImpl.h"
#include "BObjectIdentifier.h"
#include "BString.h"
#include "BTime.h"
#include "QVExport.h"

namespace QVT {

struct QV_API BSysORRow {
  uint32_t index = 0;    // sysORIndex
  BObjectIdentifier id;  // sysORID
  BString descr;         // sysORDescr
  uint32_t upTime = 0;   // sysORUpTime: sysUpTime when the row was inserted
};

class QV_API BMib2System : public BMibImpl {
 public:
  explicit BMib2System(BTime* time = nullptr);
  ~BMib2System() override;

  // The clock behind sysUpTime, sysORLastChange and sysORUpTime (not owned;
  // a private clock started at construction when none is set).
  void SetTime(BTime* time);
  uint32_t SysUpTime() const;

  void SetSysDescr(const BString& text);
  void SetSysObjectID(const BObjectIdentifier& oid);
  void SetSysContact(const BString& text);
  void SetSysName(const BString& text);
  void SetSysLocation(const BString& text);
  void SetSysServices(int services);
  BString SysDescr() const;
  BString SysContact() const;
  BString SysName() const;
  BString SysLocation() const;

  // Adds a row; returns its sysORIndex.
  int InsertORRow(const BObjectIdentifier& id, const BString& descr);
  int GetNumORRows() const;
  // The row at `position` (1-based, in sysORIndex order), or null; found by
  // counting, so meant for tests and listings. The pointer stays valid until
  // that row is removed.
  const BSysORRow* GetORRow(int position) const;
  // Removes the row at `position`; non-zero when there was one.
  int RemoveORRow(int position);
  // Removes the row with this sysORIndex (what InsertORRow returned);
  // non-zero when there was one. Costs the same with a hundred thousand rows
  // as with ten.
  int RemoveORRowByIndex(uint32_t index);
  uint32_t ORLastChange() const;

  int Get(unsigned int transactionId, BVarBindList& list, int& index, int count) override;
  int GetNext(unsigned int transactionId, BVarBind& varbind) override;
  int Set(unsigned int transactionId, const BVarBindList& list, ESnmpSetOpCode code, void** contexts, int& index,
          int count) override;

 private:
  BTime m_ownClock;
  BTime* m_pTime;
  mutable std::recursive_mutex m_lock;  // guards every field below; taken alone
  BString m_descr;
  BObjectIdentifier m_objectId;
  BString m_contact;
  BString m_name;
  BString m_location;
  int m_services = 72;
  std::map<uint32_t, BSysORRow> m_orRows;  // by sysORIndex, which is also insertion order
  uint32_t m_nextORIndex = 1;
  uint32_t m_orLastChange = 0;
};

}  // namespace QVT
