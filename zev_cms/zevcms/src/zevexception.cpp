// ZEVException and ZEVDIRException.
#include "zevexception.h"

#include <cstdio>
#include <sstream>

#include "zevtrace.h"

namespace zev09000003 {

ZEVException::ZEVException(const char* file, int line, long code, const ZEVString& message)
    : file_(file != nullptr ? file : ""), line_(line), code_(code), message_(message) {}

ZEVException::ZEVException(const char* file, int line, long code, const char* message)
    : file_(file != nullptr ? file : ""), line_(line), code_(code), message_(message) {}

ZEVException::ZEVException(const ZEVException& other) = default;
ZEVException& ZEVException::operator=(const ZEVException& other) = default;
ZEVException::~ZEVException() {}

// "<class> <code> (0x<HEX>) thrown at <file>:<line>: <message>", at level 1.
void ZEVException::trace(const char* file, int line, unsigned int component,
                         ZEVTrace& trace) const {
  if (!trace.isActive(component, 1)) return;
  char hex[32];
  std::snprintf(hex, sizeof hex, "%lX", static_cast<unsigned long>(code_));
  std::ostringstream text;
  text << getClassName() << ' ' << code_ << " (0x" << hex << ") thrown at " << file_ << ':' << line_
       << ": " << message_;
  trace.write(file, line, component, 1, text.str());
}

ZEVDIRException::ZEVDIRException(const char* file, int line, long code, const ZEVString& message)
    : ZEVException(file, line, code, message) {}
ZEVDIRException::ZEVDIRException(const char* file, int line, long code, const char* message)
    : ZEVException(file, line, code, message) {}
ZEVDIRException::ZEVDIRException(const ZEVDIRException& other) = default;
ZEVDIRException& ZEVDIRException::operator=(const ZEVDIRException& other) = default;
ZEVDIRException::~ZEVDIRException() {}

}  // namespace zev09000003
