// The toolkit's trace facility. Off by default. The host switches it on, either through the
// environment (read once, when globalTrace() is first used):
//   ZEV_TRACE=stderr | /path/to/file    where lines go
//   ZEV_TRACE_LEVEL=n                   highest level written (default 1)
//   ZEV_TRACE_COMPONENTS=1,256          components written (default all)
// or in code, with setSink/setLevel/setComponents. A trace line carries the time, the
// component, the level, the source file and line, and the text. Tests install a
// ZEVMemoryTraceSink and read the records back: trace texts are part of the interface.
//
// A host that needs to learn of chosen events (a stored value that did not decode) without
// switching the trace on adds a ZEVTraceObserver: it sees the records of one component and
// level that reach write(), whether or not the trace is active, and it leaves isActive alone,
// so code that formats costly texts only for an active trace still does not.
#ifndef ZEV_CMS_ZEVTRACE_H
#define ZEV_CMS_ZEVTRACE_H

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "zevexport.h"
#include "zevstring.h"

namespace zev09000003 {

struct ZEVTraceRecord {
  std::string file;
  int line;
  unsigned int component;
  unsigned int level;
  std::string text;  // exact bytes, zero bytes included
};

class ZEVCMS_EXPORT ZEVTraceSink {
 public:
  virtual ~ZEVTraceSink();
  virtual void write(const ZEVTraceRecord& record) = 0;
};

// Sees the records of the component and level it was added for (ZEVTrace::addObserver),
// active trace or not. Only texts that their writer hands to write() without asking isActive
// first can reach it while the trace is off; scope lines never do.
class ZEVCMS_EXPORT ZEVTraceObserver {
 public:
  virtual ~ZEVTraceObserver();
  virtual void observe(const ZEVTraceRecord& record) = 0;
};

// Writes one line per record to a FILE* (stderr or a file it opened).
class ZEVCMS_EXPORT ZEVStreamTraceSink : public ZEVTraceSink {
 public:
  // "stderr" or a file path (appended to). Throws ZEVException when the file cannot be opened.
  explicit ZEVStreamTraceSink(const std::string& target);
  ~ZEVStreamTraceSink() override;
  void write(const ZEVTraceRecord& record) override;

 private:
  void* file_;  // FILE*
  bool owned_;
};

// Keeps every record in memory, for tests.
class ZEVCMS_EXPORT ZEVMemoryTraceSink : public ZEVTraceSink {
 public:
  void write(const ZEVTraceRecord& record) override;
  const std::vector<ZEVTraceRecord>& records() const { return records_; }
  // The texts of the records of one component and level, in order (scope lines excluded).
  std::vector<std::string> texts(unsigned int component = 256, unsigned int level = 1) const;
  // True when some record (scope lines excluded) has exactly this text.
  bool contains(const std::string& text) const;
  void clear() { records_.clear(); }

 private:
  std::vector<ZEVTraceRecord> records_;
};

class ZEVCMS_EXPORT ZEVTrace {
 public:
  // Level at which ZEVTraceSentry writes its entry and exit lines. Plain messages use 1.
  static const unsigned int kScopeLevel = 4;
  static const char* const kEntryPrefix;  // "Entry: "
  static const char* const kExitPrefix;   // "Exit: "

  static ZEVTrace& globalTrace();

  // True when a sink is installed, level <= the configured level, and the component is
  // enabled. Observers do not count.
  bool isActive(unsigned int component, unsigned int level) const;
  // Writes to the sink when active, and hands the record to the observers of its component
  // and level; with neither, does nothing.
  void write(const char* file, int line, unsigned int component, unsigned int level,
             const char* text);
  void write(const char* file, int line, unsigned int component, unsigned int level,
             const ZEVString& text);  // the whole string, zero bytes included
  void write(const char* file, int line, unsigned int component, unsigned int level,
             const std::string& text);

  // Configuration by the host. A null sink switches tracing off.
  void setSink(std::shared_ptr<ZEVTraceSink> sink);
  std::shared_ptr<ZEVTraceSink> getSink() const { return sink_; }
  void setLevel(unsigned int level) { level_ = level; }
  unsigned int getLevel() const { return level_; }
  // An empty set enables every component.
  void setComponents(const std::set<unsigned int>& components) { components_ = components; }
  // Re-reads ZEV_TRACE, ZEV_TRACE_LEVEL and ZEV_TRACE_COMPONENTS. Observers stay.
  void configureFromEnvironment();

  // Adds an observer of the records of exactly this component and level; the trace holds it
  // until removeObserver. Like the sink, observers are set up before the traced work starts
  // (the trace takes no lock).
  void addObserver(unsigned int component, unsigned int level,
                   std::shared_ptr<ZEVTraceObserver> observer);
  // Removes every registration of observer; an observer not added is ignored.
  void removeObserver(const std::shared_ptr<ZEVTraceObserver>& observer);

 private:
  struct Observation {
    unsigned int component;
    unsigned int level;
    std::shared_ptr<ZEVTraceObserver> observer;
  };

  ZEVTrace();
  bool isObserved(unsigned int component, unsigned int level) const;
  std::shared_ptr<ZEVTraceSink> sink_;
  unsigned int level_;
  std::set<unsigned int> components_;
  std::vector<Observation> observers_;
};

// Traces entry into and exit from a scope at ZEVTrace::kScopeLevel, as
// "Entry: <function>" and "Exit: <function>".
class ZEVCMS_EXPORT ZEVTraceSentry {
 public:
  ZEVTraceSentry(const char* file, int line, unsigned int component, const char* function);
  ~ZEVTraceSentry();
  ZEVTraceSentry(const ZEVTraceSentry&) = delete;
  ZEVTraceSentry& operator=(const ZEVTraceSentry&) = delete;

 private:
  const char* file_;
  int line_;
  unsigned int component_;
  const char* function_;
};

}  // namespace zev09000003

#endif
