// The host toolkit's whole interface.
#ifndef ZEV_CMS_ZEVCMS_H
#define ZEV_CMS_ZEVCMS_H

#include "zevasn.h"
#include "zevbuffer.h"
#include "zevdir.h"
#include "zevexception.h"
#include "zevexport.h"
#include "zevglobal.h"
#include "zevissuer.h"
#include "zevlibrary.h"
#include "zevplatform.h"
#include "zevstring.h"
#include "zevtrace.h"
#include "zevuniqueptr"
#include "zevutility.h"

#endif
