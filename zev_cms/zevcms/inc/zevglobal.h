// ZEVCMSGlobal: the toolkit's static object. Every library that uses the toolkit defines one
// before its own static objects, so that the toolkit is ready before them and torn down after
// them. Reference-counted: only the first construction and the last destruction do work.
#ifndef ZEV_CMS_ZEVGLOBAL_H
#define ZEV_CMS_ZEVGLOBAL_H

#include "zevexport.h"

namespace zev09000003 {

class ZEVCMS_EXPORT ZEVCMSGlobal {
 public:
  ZEVCMSGlobal();
  ~ZEVCMSGlobal();
  ZEVCMSGlobal(const ZEVCMSGlobal&) = delete;
  ZEVCMSGlobal& operator=(const ZEVCMSGlobal&) = delete;
  static int liveCount();
};

}  // namespace zev09000003

#endif
