/* libzev9ldap: the toolkit's LDAP client library, written over OpenLDAP's libldap.
 *
 * Each function of the client table (ldap_api/inc/ldapapi.h) is exported with the prefix
 * "zev_" and the same signature. The plug-in binds them by name at run time; this header lets
 * programs (and tests) link the library directly.
 *
 * What differs from a bare libldap:
 * - result codes are the classic ones: OpenLDAP's client codes -1 .. -17 come out as 81 .. 97
 *   (server down 81, local error 82, timeout 85, parameter error 89, connect error 91, ...);
 * - options 70 and 20485 set the connect timeout, and that timeout also bounds the bind and
 *   the entry modifications, so no call waits for ever on a server that never answers;
 * - a search time limit bounds the search both at the server and in the client, and no read
 *   of an answer outlasts the call's limit, even from a server that stops in the middle of a
 *   message (85, timeout);
 * - an incoming message larger than the cap (256 MiB, or ZEV_LDAP_MAX_INCOMING bytes, read
 *   when a session is opened) is an error, not an allocation: the connection is dropped and
 *   the call reports ZEV_LDAP_INCOMING_TOO_LARGE (0x4001), whose text names the message's
 *   length, the cap and ZEV_LDAP_MAX_INCOMING; not 81, so that nobody retries to fetch it again;
 * - an answer that is not an LDAP message (another tag than SEQUENCE, a zero or indefinite
 *   length, a length field OpenLDAP does not read) is 84 (decoding error), not 81 or 82;
 * - a null handle or argument gives 89 (parameter error) or a null result, never a crash. */
#ifndef ZEV_LDAP_ZEVLDAP_H
#define ZEV_LDAP_ZEVLDAP_H

#include "ldapapi.h"
#include "zevldapcodes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens a session (nothing is sent before the first operation). host: null or "" (localhost),
 * a name, "name:port", "[v6]:port", a space-separated list of these, or one or more ldap://,
 * ldaps:// or ldapi:// URIs; a URI's DN part and everything after it are ignored. port is
 * used for names without their own port (0: the default port). Null for malformed input. */
LDAP* zev_ldap_init(const char* host, int port);
int zev_ldap_msgfree(LDAPMessage* msg);
/* Text for a classic code (81), OpenLDAP's own (-1) or ZEV_LDAP_INCOMING_TOO_LARGE. The last
 * one's text is built per thread and valid until the thread asks for it again. */
char* zev_ldap_err2string(int code);
int zev_ldap_set_option(LDAP* ld, int option, const void* value);
int zev_ldap_simple_bind_s(LDAP* ld, const char* dn, const char* password);
int zev_ldap_unbind(LDAP* ld);
int zev_ldap_search_st(LDAP* ld, const char* base, int scope, const char* filter, char** attrs,
                       int attrsonly, struct timeval* timeout, LDAPMessage** result);
/* Searches the server that the URL names (a fresh anonymous connection) or, for a URL without
 * a host, the session's own server. The result does not depend on the connection that
 * received it: walk it with ld and free it with zev_ldap_msgfree. */
int zev_ldap_url_search_st(LDAP* ld, const char* url, int attrsonly, struct timeval* timeout,
                           LDAPMessage** result);
int zev_ldap_url_parse(const char* url, LDAPURLDesc** description);
void zev_ldap_free_urldesc(LDAPURLDesc* description);
int zev_ldap_count_entries(LDAP* ld, LDAPMessage* result);
int zev_ldap_add_s(LDAP* ld, const char* dn, LDAPMod** mods);
int zev_ldap_delete_s(LDAP* ld, const char* dn);
int zev_ldap_modify_s(LDAP* ld, const char* dn, LDAPMod** mods);
int zev_ldap_modrdn_s(LDAP* ld, const char* dn, const char* newrdn, int deleteoldrdn);
LDAPMessage* zev_ldap_first_entry(LDAP* ld, LDAPMessage* result);
LDAPMessage* zev_ldap_next_entry(LDAP* ld, LDAPMessage* entry);
char* zev_ldap_get_dn(LDAP* ld, LDAPMessage* entry);
void zev_ldap_memfree(void* p);
char* zev_ldap_first_attribute(LDAP* ld, LDAPMessage* entry, BerElement** ber);
char* zev_ldap_next_attribute(LDAP* ld, LDAPMessage* entry, BerElement* ber);
struct berval** zev_ldap_get_values_len(LDAP* ld, LDAPMessage* entry, const char* attr);
void zev_ldap_value_free_len(struct berval** values);
int zev_ldap_get_errno(LDAP* ld);
void zev_ldap_ber_free(BerElement* ber, int freebuf);

#ifdef __cplusplus
}
#endif

#endif
