/* Declarations of the C LDAP client programming interface, as far as the toolkit uses it.
 *
 * Binary-compatible with OpenLDAP 2.5 on Linux x86-64, so that the same declarations serve
 * the toolkit's own LDAP library, a driver path to the system's libldap, and test doubles.
 * OpenLDAP's headers are never included here. Nothing is linked: a client loads a library at
 * run time and binds these functions by name (LDAPSymbolTable). The types below give each
 * function's signature; a library exports it under the standard name (ldap_init) or, for the
 * toolkit's own library, with the prefix "zev_" (zev_ldap_init). */
#ifndef LDAP_API_LDAPAPI_H
#define LDAP_API_LDAPAPI_H

#ifdef _WIN32
#include <winsock2.h> /* struct timeval */
#else
#include <sys/time.h> /* struct timeval */
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handles; only the library knows their content. */
typedef struct ldap LDAP;
typedef struct ldapmsg LDAPMessage;
typedef struct berelement BerElement;

typedef unsigned long ber_len_t;

struct berval {
  ber_len_t bv_len;
  char* bv_val;
};

/* A modification record. The first three fields are OpenLDAP's; mod_next follows them and is
 * always null (a library reads records through the pointer array, so the extra field is
 * harmless to one that does not know it). */
typedef struct ldapmod {
  int mod_op;
  char* mod_type;
  union mod_vals_u {
    char** modv_strvals;
    struct berval** modv_bvals;
  } mod_vals;
  struct ldapmod* mod_next;
} LDAPMod;
#define mod_values mod_vals.modv_strvals
#define mod_bvalues mod_vals.modv_bvals

/* A parsed LDAP URL, in OpenLDAP's field order. */
typedef struct ldap_url_desc {
  struct ldap_url_desc* lud_next;
  char* lud_scheme;
  char* lud_host; /* null when the URL names no host */
  int lud_port;
  char* lud_dn;
  char** lud_attrs; /* null-terminated, or null */
  int lud_scope;
  char* lud_filter;
  char** lud_exts;
  int lud_crit_exts;
} LDAPURLDesc;

/* Result codes with a meaning of their own to the toolkit. */
#define LDAP_SUCCESS 0x00
#define LDAP_SIZELIMIT_EXCEEDED 0x04
#define LDAP_NO_SUCH_OBJECT 0x20          /* 32 */
#define LDAP_INVALID_CREDENTIALS 0x31     /* 49 */
#define LDAP_SERVER_DOWN 0x51             /* 81 */
#define LDAP_LOCAL_ERROR 0x52             /* 82 */
#define LDAP_TIMEOUT 0x55                 /* 85 */
#define LDAP_CONNECT_ERROR 0x5b           /* 91 */

#define LDAP_SCOPE_BASE 0
#define LDAP_SCOPE_ONELEVEL 1
#define LDAP_SCOPE_SUBTREE 2

#define LDAP_MOD_ADD 0x0000
#define LDAP_MOD_DELETE 0x0001
#define LDAP_MOD_REPLACE 0x0002
#define LDAP_MOD_BVALUES 0x0080

#define LDAP_OPT_PROTOCOL_VERSION 0x0011     /* 17 */
#define LDAP_OPT_CONNECT_TIMEOUT 70          /* the toolkit's option: connect timeout */
#define LDAP_OPT_NETWORK_TIMEOUT 0x5005      /* 20485: OpenLDAP's network timeout */

#define LDAP_PORT 389

/* Function types, one per function of the table, in the table's order. */
typedef LDAP* (*ldap_init_fn)(const char* host, int port);
typedef int (*ldap_msgfree_fn)(LDAPMessage* msg);
typedef char* (*ldap_err2string_fn)(int code);
typedef int (*ldap_set_option_fn)(LDAP* ld, int option, const void* value);
typedef int (*ldap_simple_bind_s_fn)(LDAP* ld, const char* dn, const char* password);
typedef int (*ldap_unbind_fn)(LDAP* ld);
typedef int (*ldap_search_st_fn)(LDAP* ld, const char* base, int scope, const char* filter,
                                 char** attrs, int attrsonly, struct timeval* timeout,
                                 LDAPMessage** result);
typedef int (*ldap_url_search_st_fn)(LDAP* ld, const char* url, int attrsonly,
                                     struct timeval* timeout, LDAPMessage** result);
typedef int (*ldap_url_parse_fn)(const char* url, LDAPURLDesc** description);
typedef void (*ldap_free_urldesc_fn)(LDAPURLDesc* description);
typedef int (*ldap_count_entries_fn)(LDAP* ld, LDAPMessage* result);
typedef int (*ldap_add_s_fn)(LDAP* ld, const char* dn, LDAPMod** mods);
typedef int (*ldap_delete_s_fn)(LDAP* ld, const char* dn);
typedef int (*ldap_modify_s_fn)(LDAP* ld, const char* dn, LDAPMod** mods);
typedef int (*ldap_modrdn_s_fn)(LDAP* ld, const char* dn, const char* newrdn, int deleteoldrdn);
typedef LDAPMessage* (*ldap_first_entry_fn)(LDAP* ld, LDAPMessage* result);
typedef LDAPMessage* (*ldap_next_entry_fn)(LDAP* ld, LDAPMessage* entry);
typedef char* (*ldap_get_dn_fn)(LDAP* ld, LDAPMessage* entry);
typedef void (*ldap_memfree_fn)(void* p);
typedef char* (*ldap_first_attribute_fn)(LDAP* ld, LDAPMessage* entry, BerElement** ber);
typedef char* (*ldap_next_attribute_fn)(LDAP* ld, LDAPMessage* entry, BerElement* ber);
typedef struct berval** (*ldap_get_values_len_fn)(LDAP* ld, LDAPMessage* entry,
                                                  const char* attr);
typedef void (*ldap_value_free_len_fn)(struct berval** values);
typedef int (*ldap_get_errno_fn)(LDAP* ld);
typedef void (*ldap_ber_free_fn)(BerElement* ber, int freebuf);

#ifdef __cplusplus
}
#endif

#endif
