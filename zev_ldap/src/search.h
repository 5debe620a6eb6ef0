// Searches with paging, continuation references and incomplete answers accounted for, and the
// results of several pages handed back as one.
#ifndef ZEV_LDAP_SRC_SEARCH_H
#define ZEV_LDAP_SRC_SEARCH_H

#include <ldap.h>

namespace zevldap {

// Searches on ld. Subtree and one-level searches page (RFC 2696, the session's page size)
// when the server's root DSE lists the control; that is asked once per session. timeout (null:
// none) bounds the whole search, every page included, both at the server and in the client.
// Continuation references are traced, counted, and never followed. *result receives what
// arrived, also when the search fails (a cut answer keeps its entries); several pages come
// back as one result, walked with firstEntry/nextEntry and freed with freeResult. Returns
// OpenLDAP's code (or kTLSFailure); the session's result code and the thread's detail agree.
int runSearch(LDAP* ld, const char* base, int scope, const char* filter, char** attrs,
              int attrsonly, struct timeval* timeout, LDAPMessage** result);

// The walk over a result of runSearch, across its pages.
LDAPMessage* firstEntry(LDAP* ld, LDAPMessage* result);
LDAPMessage* nextEntry(LDAP* ld, LDAPMessage* entry);
int countEntries(LDAP* ld, LDAPMessage* result);
// Frees a result and, when it is the first of several pages, the others. Returns what
// ldap_msgfree returns for the first.
int freeResult(LDAPMessage* result);

}  // namespace zevldap

#endif
