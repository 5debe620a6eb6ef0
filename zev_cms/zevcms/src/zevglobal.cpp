// ZEVCMSGlobal: counts the libraries that use the toolkit. OpenSSL 3 initialises itself on
// first use and cleans up at exit, so the first construction and the last destruction have
// nothing else to do; the count is kept so that hosts and tests can see the balance.
#include "zevglobal.h"

#include <atomic>

namespace zev09000003 {
namespace {
std::atomic<int> liveObjects(0);
}  // namespace

ZEVCMSGlobal::ZEVCMSGlobal() { ++liveObjects; }
ZEVCMSGlobal::~ZEVCMSGlobal() { --liveObjects; }
int ZEVCMSGlobal::liveCount() { return liveObjects.load(); }

}  // namespace zev09000003
