// The umbrella header of the QVT sub-agent library: includes every public
// header of libQVSubAg and of the host layer libQVHost it is built on.
#pragma once

#include "BAddress.h"
#include "BIniFileStore.h"
#include "BMapInt2Ptr.h"
#include "BMemoryStore.h"
#include "BMessageDispatcher.h"
#include "BObjectIdentifier.h"
#include "BObjectSyntax.h"
#include "BOctetString.h"
#include "BSingleton.h"
#include "BSocket.h"
#include "BString.h"
#include "BTime.h"
#include "BVarBind.h"
#include "INonVolatile.h"
#include "TEvent.h"
#include "TSWMRSynch.h"
#include "TThread.h"
