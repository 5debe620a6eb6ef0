// The toolkit's trace: a process-wide ZEVTrace with a pluggable sink, a stream sink for
// stderr or a file, a memory sink for tests, and the scope sentry.
#include "zevtrace.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "zevexception.h"

namespace zev09000003 {

namespace {

const long kTraceFileError = 571200;  // the trace file cannot be opened

bool isScopeText(const std::string& text) {
  return text.compare(0, std::strlen(ZEVTrace::kEntryPrefix), ZEVTrace::kEntryPrefix) == 0 ||
         text.compare(0, std::strlen(ZEVTrace::kExitPrefix), ZEVTrace::kExitPrefix) == 0;
}

// "YYYY-MM-DD HH:MM:SS.mmm" in local time.
std::string timestamp() {
  using namespace std::chrono;
  system_clock::time_point now = system_clock::now();
  time_t seconds = system_clock::to_time_t(now);
  long millis =
      static_cast<long>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  struct tm parts;
#if defined(_WIN32)
  localtime_s(&parts, &seconds);
#else
  localtime_r(&seconds, &parts);
#endif
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, millis);
  return text;
}

}  // namespace

const char* const ZEVTrace::kEntryPrefix = "Entry: ";
const char* const ZEVTrace::kExitPrefix = "Exit: ";
const unsigned int ZEVTrace::kScopeLevel;

ZEVTraceSink::~ZEVTraceSink() {}
ZEVTraceObserver::~ZEVTraceObserver() {}

// ---- ZEVStreamTraceSink ----

ZEVStreamTraceSink::ZEVStreamTraceSink(const std::string& target) : file_(nullptr), owned_(false) {
  if (target == "stderr") {
    file_ = stderr;
    return;
  }
  FILE* f = std::fopen(target.c_str(), "a");
  if (f == nullptr) {
    int err = errno;
    throw ZEVException(
        __FILE__, __LINE__, kTraceFileError,
        ZEVString("trace file cannot be opened: " + target + ": " + std::strerror(err)));
  }
  file_ = f;
  owned_ = true;
}

ZEVStreamTraceSink::~ZEVStreamTraceSink() {
  if (owned_ && file_ != nullptr) std::fclose(static_cast<FILE*>(file_));
}

void ZEVStreamTraceSink::write(const ZEVTraceRecord& record) {
  std::string line = timestamp();
  line += " [" + std::to_string(record.component) + "/" + std::to_string(record.level) + "] ";
  line += record.file + ":" + std::to_string(record.line) + " ";
  // Zero bytes are left out so that the line stays one line of text.
  for (char c : record.text) {
    if (c != '\0') line += c;
  }
  line += '\n';
  FILE* f = static_cast<FILE*>(file_);
  std::fwrite(line.data(), 1, line.size(), f);  // one call, so lines do not interleave
  std::fflush(f);
}

// ---- ZEVMemoryTraceSink ----

void ZEVMemoryTraceSink::write(const ZEVTraceRecord& record) { records_.push_back(record); }

std::vector<std::string> ZEVMemoryTraceSink::texts(unsigned int component,
                                                   unsigned int level) const {
  std::vector<std::string> out;
  for (const ZEVTraceRecord& r : records_) {
    if (r.component == component && r.level == level && !isScopeText(r.text)) {
      out.push_back(r.text);
    }
  }
  return out;
}

bool ZEVMemoryTraceSink::contains(const std::string& text) const {
  for (const ZEVTraceRecord& r : records_) {
    if (r.text == text && !isScopeText(r.text)) return true;
  }
  return false;
}

// ---- ZEVTrace ----

ZEVTrace::ZEVTrace() : level_(1) {}

ZEVTrace& ZEVTrace::globalTrace() {
  static ZEVTrace* trace = [] {
    ZEVTrace* t = new ZEVTrace();
    t->configureFromEnvironment();
    return t;
  }();
  // Never destroyed: static objects of other libraries may still trace during exit.
  return *trace;
}

void ZEVTrace::configureFromEnvironment() {
  level_ = 1;
  components_.clear();
  const char* levelText = std::getenv("ZEV_TRACE_LEVEL");
  if (levelText != nullptr && *levelText != '\0') {
    char* end = nullptr;
    unsigned long v = std::strtoul(levelText, &end, 10);
    if (end != nullptr && *end == '\0') level_ = static_cast<unsigned int>(v);
  }
  const char* list = std::getenv("ZEV_TRACE_COMPONENTS");
  if (list != nullptr) {
    // Unparsable entries are skipped.
    std::string all(list);
    std::size_t start = 0;
    while (start <= all.size()) {
      std::size_t comma = all.find(',', start);
      if (comma == std::string::npos) comma = all.size();
      std::string item = all.substr(start, comma - start);
      char* end = nullptr;
      unsigned long v = std::strtoul(item.c_str(), &end, 10);
      if (!item.empty() && end != nullptr && *end == '\0') {
        components_.insert(static_cast<unsigned int>(v));
      }
      start = comma + 1;
    }
  }
  sink_.reset();
  const char* target = std::getenv("ZEV_TRACE");
  if (target != nullptr && *target != '\0') {
    try {
      sink_ = std::make_shared<ZEVStreamTraceSink>(target);
    } catch (const ZEVException& e) {
      // Tracing stays off; the host learns why on stderr.
      std::fprintf(stderr, "ZEV_TRACE: %s\n", e.what());
    }
  }
}

bool ZEVTrace::isActive(unsigned int component, unsigned int level) const {
  if (!sink_ || level > level_) return false;
  return components_.empty() || components_.count(component) > 0;
}

// With no observer this is one test of an empty vector: a trace that is off stays free.
bool ZEVTrace::isObserved(unsigned int component, unsigned int level) const {
  for (const Observation& o : observers_) {
    if (o.component == component && o.level == level) return true;
  }
  return false;
}

void ZEVTrace::write(const char* file, int line, unsigned int component, unsigned int level,
                     const std::string& text) {
  bool active = isActive(component, level);
  bool observed = isObserved(component, level);
  if (!active && !observed) return;
  ZEVTraceRecord record;
  record.file = file != nullptr ? file : "";
  record.line = line;
  record.component = component;
  record.level = level;
  record.text = text;
  if (active) {
    std::shared_ptr<ZEVTraceSink> sink = sink_;  // keeps the sink alive while writing
    sink->write(record);
  }
  if (!observed) return;
  // A copy, so that an observer may remove itself while it observes.
  std::vector<Observation> observers = observers_;
  for (const Observation& o : observers) {
    if (o.component == component && o.level == level) o.observer->observe(record);
  }
}

void ZEVTrace::write(const char* file, int line, unsigned int component, unsigned int level,
                     const char* text) {
  if (!isActive(component, level) && !isObserved(component, level)) return;
  write(file, line, component, level, std::string(text != nullptr ? text : ""));
}

void ZEVTrace::write(const char* file, int line, unsigned int component, unsigned int level,
                     const ZEVString& text) {
  if (!isActive(component, level) && !isObserved(component, level)) return;
  write(file, line, component, level, text.str());
}

void ZEVTrace::addObserver(unsigned int component, unsigned int level,
                           std::shared_ptr<ZEVTraceObserver> observer) {
  if (observer) observers_.push_back({component, level, std::move(observer)});
}

void ZEVTrace::removeObserver(const std::shared_ptr<ZEVTraceObserver>& observer) {
  std::vector<Observation> kept;
  for (Observation& o : observers_) {
    if (o.observer != observer) kept.push_back(std::move(o));
  }
  observers_.swap(kept);
}

void ZEVTrace::setSink(std::shared_ptr<ZEVTraceSink> sink) { sink_ = std::move(sink); }

// ---- ZEVTraceSentry ----

ZEVTraceSentry::ZEVTraceSentry(const char* file, int line, unsigned int component,
                               const char* function)
    : file_(file), line_(line), component_(component), function_(function) {
  ZEVTrace& t = ZEVTrace::globalTrace();
  if (t.isActive(component_, ZEVTrace::kScopeLevel)) {
    t.write(file_, line_, component_, ZEVTrace::kScopeLevel,
            std::string(ZEVTrace::kEntryPrefix) + (function_ != nullptr ? function_ : ""));
  }
}

ZEVTraceSentry::~ZEVTraceSentry() {
  ZEVTrace& t = ZEVTrace::globalTrace();
  if (t.isActive(component_, ZEVTrace::kScopeLevel)) {
    try {
      t.write(file_, line_, component_, ZEVTrace::kScopeLevel,
              std::string(ZEVTrace::kExitPrefix) + (function_ != nullptr ? function_ : ""));
    } catch (...) {
      // A destructor must not throw; a lost exit line is the lesser harm.
    }
  }
}

}  // namespace zev09000003
