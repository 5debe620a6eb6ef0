// LDAPSearchResults: the entries of an LDAP search, or of an LDIF text, as attribute maps.
#include "ldapsearch.h"

#include <climits>
#include <sstream>
#include <string>

#include "zevcms.h"

namespace zev09000003 {

namespace {

const char kFile[] = "./zuzeder/src/ldapsearch";
const unsigned int kComponent = 256;

// The two failures of the result set carry fixed source lines, whatever line throws them.
const int kNoEntriesLine = 146;
const int kMalformedLine = 110;

// Releases one attribute map with every name and buffer it owns.
void freeMap(LDAPAttributeMap* map) {
  if (map == nullptr) return;
  for (LDAPAttributeMap::value_type& element : *map) {
    delete[] element.first;
    delete element.second;
  }
  delete map;
}

// Holds a map under construction; frees it unless it was handed over.
class MapGuard {
 public:
  MapGuard() : map_(new LDAPAttributeMap) {}
  ~MapGuard() { freeMap(map_); }
  MapGuard(const MapGuard&) = delete;
  MapGuard& operator=(const MapGuard&) = delete;
  LDAPAttributeMap* get() const { return map_; }
  LDAPAttributeMap* release() {
    LDAPAttributeMap* map = map_;
    map_ = nullptr;
    return map;
  }

 private:
  LDAPAttributeMap* map_;
};

// The characters trimmed from both ends of an LDIF value: blanks, tabs, form feeds, carriage
// returns and line feeds; such characters inside the value are kept.
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\f' || c == '\r' || c == '\n'; }

}  // namespace

LDAPSearchResults::LDAPSearchResults(LDAPClient& client)
    : entries(new std::vector<LDAPAttributeMap*>()) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent,
                        "LDAPSearchResults::LDAPSearchResults(LDAPClient & client)");
  cursor = entries->end();
  try {
    int n = client.countEntries();
    if (n <= 0) {
      std::string message = "LDAPSearchResults: ";
      message += n == 0 ? "zero entries found." : client.errorMessage(0);
      throw ZEVException(kFile, kNoEntriesLine, 0, message.c_str());
    }
    // Text values get their terminator here rather than by reading one byte past bv_len: a
    // library need not terminate the values it hands out.
    for (client.firstEntry(); client.currentEntry() != nullptr; client.nextEntry()) {
      MapGuard map;
      char* dn = client.getDN();
      if (dn != nullptr) {
        addAttribute(map.get(), "dn", dn, 0);
        client.memFree(dn);
      }
      BerElement* ber = nullptr;
      for (char* attr = client.firstAttribute(&ber); attr != nullptr;
           attr = client.nextAttribute(ber)) {
        berval** values = client.getValuesLen(attr);
        if (values != nullptr) {
          for (berval** v = values; *v != nullptr; ++v) {
            const berval& value = **v;
            if (value.bv_val == nullptr) continue;  // nothing to store
            const unsigned char* bytes = reinterpret_cast<const unsigned char*>(value.bv_val);
            if (value.bv_len <= static_cast<ber_len_t>(INT_MAX - 1) &&
                isText(bytes, static_cast<int>(value.bv_len))) {
              addTextAttribute(map.get(), attr, value.bv_val, value.bv_len);
            } else {
              addAttribute(map.get(), attr, value.bv_val, static_cast<unsigned int>(value.bv_len));
            }
          }
          client.valueFreeLen(values);
        }
        client.memFree(attr);
      }
      client.berFree(ber);
      // Kept even when empty: an entry without DN and values still counts.
      insert(map.release());
    }
    reset();
  } catch (...) {
    erase();
    delete entries;
    throw;
  }
}

LDAPSearchResults::LDAPSearchResults(std::istream& is)
    : entries(new std::vector<LDAPAttributeMap*>()) {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent,
                        "LDAPSearchResults::LDAPSearchResults(istream & is)");
  cursor = entries->end();
  try {
    ZEVString line;
    unsigned int lineNumber = 0;
    while (!is.eof()) {
      MapGuard map;
      for (;;) {
        ++lineNumber;
        line.getline(is, '\n');
        // Only lines ended by a line feed are data; a last line without one is dropped.
        if (is.eof()) break;
        // A stream that fails before its end (a file that could not be opened, a read error)
        // would never report its end. Rather than hand back a silently shortened set, the
        // reader throws; nothing read so far survives.
        if (is.fail()) {
          std::ostringstream os;
          os << "ldif stream cannot be read at line " << lineNumber;
          throw ZEVException(kFile, __LINE__, 0, ZEVString(os));
        }
        if (line.empty()) break;
        ZEVString::size_type pos = line.find(':', 0);
        if (pos == ZEVString::npos) {
          std::ostringstream os;
          os << "ldif file is malformed:" << lineNumber << ":" << line.str();
          throw ZEVException(kFile, kMalformedLine, 0, ZEVString(os));
        }
        // The value is the trimmed rest of the line, passed as a stretch of the line itself:
        // no copy of a long value is made before the map stores its own.
        ZEVString name = line.substr(0, pos);
        const char* rest = line.c_str() + pos + 1;
        std::size_t first = 0, end = line.size() - pos - 1;
        while (first < end && isBlank(rest[first])) ++first;
        while (end > first && isBlank(rest[end - 1])) --end;
        if (end - first > UINT_MAX - 1) {
          std::ostringstream os;
          os << "ldif value is too long at line " << lineNumber << ": " << (end - first)
             << " bytes";
          throw ZEVException(kFile, __LINE__, 0, ZEVString(os));
        }
        addAttribute(map.get(), name.c_str(), rest + first, static_cast<unsigned int>(end - first));
      }
      // Runs of empty lines give no empty entries.
      if (!map.get()->empty()) insert(map.release());
    }
    reset();
  } catch (...) {
    erase();
    delete entries;
    throw;
  }
}

LDAPSearchResults::~LDAPSearchResults() {
  erase();
  delete entries;
}

unsigned int LDAPSearchResults::count() { return static_cast<unsigned int>(entries->size()); }

LDAPAttributeMap* LDAPSearchResults::next() {
  if (cursor == entries->end()) return nullptr;
  return *cursor++;
}

void LDAPSearchResults::reset() { cursor = entries->begin(); }

void LDAPSearchResults::setIter2end() { cursor = entries->end(); }

void LDAPSearchResults::erase() {
  ZEVTraceSentry sentry(kFile, __LINE__, kComponent, "erase");
  for (cursor = entries->begin(); cursor != entries->end(); ++cursor) freeMap(*cursor);
  entries->clear();
  reset();
}

void LDAPSearchResults::insert(LDAPAttributeMap* entry) {
  try {
    entries->push_back(entry);
  } catch (...) {
    freeMap(entry);  // the set took ownership, even of a map it could not keep
    throw;
  }
  reset();
}

}  // namespace zev09000003
