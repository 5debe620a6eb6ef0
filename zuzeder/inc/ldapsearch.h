// LDAPSearchResults: the entries of a search (or of an LDIF text) as attribute maps, with a
// cursor. The set owns every map; maps returned by next() stay owned by the set and are freed
// by erase() or the destructor. Not copyable.
#ifndef ZUZEDER_LDAPSEARCH_H
#define ZUZEDER_LDAPSEARCH_H

#include <istream>
#include <vector>

#include "ldapclient.h"
#include "zevexport.h"

namespace zev09000003 {

class ZUZEDER_EXPORT LDAPSearchResults {
 public:
  // Copies every entry of the client's last search. Throws ZEVException (code 0) when the
  // client counts no entry ("zero entries found.") or cannot count them (the LDAP error text).
  explicit LDAPSearchResults(LDAPClient& client);
  // Reads entries from simplified LDIF ("name: value" lines, empty lines between entries).
  // Throws ZEVException (code 0) "ldif file is malformed:<line>:<text>" on a line without a
  // colon.
  explicit LDAPSearchResults(std::istream& is);
  ~LDAPSearchResults();
  LDAPSearchResults(const LDAPSearchResults&) = delete;
  LDAPSearchResults& operator=(const LDAPSearchResults&) = delete;

  unsigned int count();
  // The map under the cursor, then advances; null at the end.
  LDAPAttributeMap* next();
  void reset();
  void setIter2end();
  // Frees all entries; the set stays usable and empty.
  void erase();

 private:
  void insert(LDAPAttributeMap* entry);

  std::vector<LDAPAttributeMap*>* entries;
  std::vector<LDAPAttributeMap*>::iterator cursor;
};

}  // namespace zev09000003

#endif
