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
 * - a null handle or argument gives 89 (parameter error) or a null result, never a crash;
 * - TLS: ldaps:// verifies the server's certificate chain and host name. The trust anchors are
 *   OpenLDAP's (LDAPTLS_CACERT, ldap.conf's TLS_CACERT) unless the host sets them for the
 *   process: zev_ldap_set_option(NULL, 0x6002, "ca.pem") (LDAP_OPT_X_TLS_CACERTFILE) or
 *   (NULL, 0x6003, "dir") (LDAP_OPT_X_TLS_CACERTDIR); the TLS context is made again at once,
 *   and a file that cannot be used gives 89;
 * - StartTLS is asked for in the host text of zev_ldap_init, as a URI extension:
 *   "ldap://host:389/????StartTLS" tries it and goes on in the clear when the server refuses
 *   it; "ldap://host:389/????!StartTLS" (critical) requires it. The extension's OID
 *   1.3.6.1.4.1.1466.20037 may stand for the name. StartTLS runs before the session's first
 *   operation and again when the session has reconnected. In a list, the strongest request
 *   holds for the session. Another critical extension makes zev_ldap_init return null;
 * - 112 (0x70), "TLS failure": the TLS handshake failed (the certificate chain or the host
 *   name was refused) or required StartTLS was refused. OpenSSL names the reason, e.g.
 *   "TLS failure: certificate verify failed: unable to get local issuer certificate";
 * - subtree and one-level searches page with the simple paged results control (RFC 2696) when
 *   the server's root DSE lists it (asked once per session): 500 entries a page, or
 *   ZEV_LDAP_PAGE_SIZE (read when a session opens) or option 0x7A01 (an int) on a session;
 *   0 switches paging off. A server that lists the control but refuses it (result 11) gets a
 *   plain search. The search's time limit bounds all pages together. The pages come back as
 *   one result: walk it with zev_ldap_first_entry / zev_ldap_next_entry and free it with one
 *   zev_ldap_msgfree (not with another library's ldap_msgfree);
 * - zev_ldap_err2string(code) adds the detail of this thread's last failed call, when that
 *   call failed with this code, after the code's text: the server's diagnostic message
 *   ("server says ..."), the matched DN, a referral's URLs ("referral to URL (not followed)"),
 *   for a cut answer (3, 4, 85) how many entries arrived ("5 entries arrived; the answer is
 *   incomplete"), the TLS reason. The next call that talks to a server replaces it;
 * - referrals are never followed; continuation references in a search are traced;
 * - trace: with the toolkit's trace on, component 512 gets the server's answers other than
 *   success ("search \"dn\": rc=32 (No such object); matched DN \"...\""), each continuation
 *   reference ("continuation reference: URL (in the search of \"dn\", not followed)"), a
 *   refused StartTLS and every TLS failure; a host may observe these lines without switching
 *   the trace on (ZEVTrace::addObserver). */
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
/* Searches the server that the URL names: on the session itself when the URL has no host or
 * names the session's server (same host and port; the session was opened for that one
 * server), with the session's login; otherwise on a fresh anonymous connection. A URL may ask
 * for StartTLS with the same extension as a host text. The result does not depend on the
 * connection that received it: walk it with ld and free it with zev_ldap_msgfree. */
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
