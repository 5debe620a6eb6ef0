// Exceptions of the toolkit. ZEVException carries the source file and line of the throw
// site, an error code and a message; ZEVDIRException is the directory subsystem's kind.
#ifndef ZEV_CMS_ZEVEXCEPTION_H
#define ZEV_CMS_ZEVEXCEPTION_H

#include <exception>
#include <string>

#include "zevexport.h"
#include "zevstring.h"

namespace zev09000003 {

class ZEVTrace;

class ZEVCMS_EXPORT ZEVException : public std::exception {
 public:
  ZEVException(const char* file, int line, long code, const ZEVString& message);
  ZEVException(const char* file, int line, long code, const char* message);
  ZEVException(const ZEVException& other);
  ZEVException& operator=(const ZEVException& other);
  ~ZEVException() override;

  long getError() const { return code_; }
  const ZEVString& getMessage() const { return message_; }
  const char* getFile() const { return file_.c_str(); }
  int getLine() const { return line_; }
  const char* what() const noexcept override { return message_.c_str(); }

  // Writes the exception (its kind, origin, code and message) to the trace at level 1 under
  // the given file, line and component.
  virtual void trace(const char* file, int line, unsigned int component, ZEVTrace& trace) const;
  virtual const char* getClassName() const { return "ZEVException"; }

 private:
  std::string file_;
  int line_;
  long code_;
  ZEVString message_;
};

class ZEVCMS_EXPORT ZEVDIRException : public ZEVException {
 public:
  ZEVDIRException(const char* file, int line, long code, const ZEVString& message);
  ZEVDIRException(const char* file, int line, long code, const char* message);
  ZEVDIRException(const ZEVDIRException& other);
  ZEVDIRException& operator=(const ZEVDIRException& other);
  ~ZEVDIRException() override;
  const char* getClassName() const override { return "ZEVDIRException"; }
};

}  // namespace zev09000003

#endif
