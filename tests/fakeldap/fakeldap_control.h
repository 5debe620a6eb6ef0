/* Control interface of the fake LDAP client library.
 *
 * The fake holds a small directory in memory and implements every function of ldapapi.h over
 * it, as a real client library would (sessions, search by base/scope/filter, URL parse and
 * URL search, entries, DNs, attributes, binary values, add/modify/delete/modrdn applied to the
 * directory). Beside those it exports the control functions below, always under these names
 * (the "zev_" variant prefixes only the LDAP functions). A test reaches them through the same
 * loaded library as the code under test (dlopen of the same path returns the same handle).
 *
 * Variants (one source, compile definitions):
 *   libfakeldap.so            standard names
 *   zev/libzev9ldap.so        "zev_" names, found as "zev9ldap" through ZEV_LIBRARY_PATH
 *   libfakeldap_nosearch.so   standard names, without ldap_search_st
 *   libfakeldap_noopt.so      standard names, without ldap_url_search_st, ldap_url_parse,
 *                             ldap_free_urldesc, ldap_ber_free and ldap_get_errno
 *   libfakeldap_nourlsearch.so standard names, without ldap_url_search_st only
 *
 * Semantics the fake keeps:
 *   - Filters: (attr=*), (attr=value) (value compared without regard to case), (&...),
 *     (|...), (!...). Attribute names compare without regard to case; "attr;binary" in a filter
 *     or attribute list also matches values stored under "attr;binary" only.
 *   - A search whose base DN does not exist returns 32 (no such object) and an empty result.
 *   - Bind: accepted for any DN/password unless fake_set_credentials was called; then only that
 *     DN/password pair (or an anonymous bind with null or empty DN) succeeds, others give 49.
 *   - Each session keeps its last result code, returned by ldap_get_errno.
 *   - ldap_url_search_st: searches the URL's base, scope, filter and attributes on the session.
 *   - ldap_url_parse fills LDAPURLDesc as OpenLDAP does: lud_host null when the URL names none,
 *     lud_port the port given or 0, lud_scope from the URL (base when absent), lud_filter
 *     "(objectClass=*)" when absent, lud_attrs null when absent. A malformed URL gives rc 3
 *     (OpenLDAP's LDAP_URL_ERR_BADSCHEME and friends are 1..10) and no description.
 *   - ldap_err2string knows the classic codes: 0 "Success", 4 "Size limit exceeded",
 *     32 "No such object", 49 "Invalid credentials", 81 "Can't contact LDAP server",
 *     82 "Local error", 85 "Timed out", 91 "Connect error", others "Unknown error".
 *     It also knows the other codes the fake itself returns: 16 "No such attribute",
 *     20 "Type or value exists", 34 "Invalid DN syntax", 66 "Operation not allowed on non-leaf",
 *     68 "Already exists", 87 "Bad search filter", 89 "Bad parameter to an ldap routine".
 *   - A malformed search filter gives 87 and no result message; a scope other than 0..2, a
 *     null or freed session, or (ldap_url_search_st) an unparsable URL gives 89.
 */
#ifndef TESTS_FAKELDAP_CONTROL_H
#define TESTS_FAKELDAP_CONTROL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Clears the directory, the credentials, every script, the call log and the handle
 * accounting. Handles still outstanding are freed (they belong to the previous test). */
void fake_reset(void);

/* Directory. Entries keep insertion order; values keep insertion order per attribute.
 * fake_add_entry returns 0, or -1 when the DN exists. fake_add_value creates the entry when
 * it does not exist; len is the exact byte count (zero bytes allowed). */
int fake_add_entry(const char* dn);
int fake_add_value(const char* dn, const char* attr, const void* bytes, unsigned long len);
/* Number of values of attr at dn (-1 when the entry does not exist); value i into *bytes and *len
 * (pointers into the fake's memory, valid until the directory changes). */
int fake_value_count(const char* dn, const char* attr);
int fake_get_value(const char* dn, const char* attr, int i, const void** bytes, unsigned long* len);
int fake_entry_exists(const char* dn);
void fake_set_credentials(const char* dn, const char* password);

/* Scripting. The next `times` calls of the function (standard name, e.g.
 * "ldap_simple_bind_s"; times -1 = every call from now on) return `result` instead of doing
 * their work; scripts for one function queue up in order. What "result" means:
 *   functions returning int   (bind, unbind, search_st, url_search_st, set_option, add_s,
 *                              delete_s, modify_s, modrdn_s, count_entries, get_errno):
 *                              that value is returned. For bind and the search/modify
 *                              functions the session's last result code becomes that value.
 *                              For ldap_search_st and ldap_url_search_st the search still runs
 *                              and *result receives its message (partial results), unless
 *                              result is 81, 85 or 91, when *result is set to null.
 *   ldap_url_parse            returns the value and stores a null description (so 0 gives
 *                              "success without a description").
 *   functions returning a pointer (ldap_init, ldap_get_dn, ldap_get_values_len,
 *                              ldap_first_entry, ldap_next_entry, ldap_first_attribute,
 *                              ldap_next_attribute): null is returned; result is ignored.
 * A scripted call is still logged. */
void fake_script(const char* function, int result, int times);

/* Call log. One line per call, in order, formatted exactly as:
 *   ldap_init(host=<host|(null)>, port=<n>)
 *   ldap_set_option(option=<n>, value=<int value>)            options 17 (and other int options)
 *   ldap_set_option(option=<n>, value={<sec>,<usec>})         options 70 and 20485 (timeval)
 *   ldap_simple_bind_s(dn=<dn|(null)>, password=<pw|(null)>)
 *   ldap_unbind()
 *   ldap_search_st(base=<b|(null)>, scope=<n>, filter=<f|(null)>, attrs=[a,b]|(null),
 *                  attrsonly=<n>, timeout={<sec>,<usec>}|(null))      (one line)
 *   ldap_url_search_st(url=<u>, attrsonly=<n>, timeout={<sec>,<usec>}|(null))
 *   ldap_url_parse(url=<u>)
 *   ldap_free_urldesc()
 *   ldap_count_entries()
 *   ldap_add_s(dn=<dn|(null)>, mods=[<op>:<type>:<len>,<len>;<op>:<type>:<len>]|(null))
 *   ldap_modify_s(...)                                         same form as ldap_add_s
 *   ldap_delete_s(dn=<dn|(null)>)
 *   ldap_modrdn_s(dn=<dn|(null)>, newrdn=<r|(null)>, deleteoldrdn=<n>)
 *   ldap_get_errno()
 *   ldap_err2string(code=<n>)
 * The walking and freeing functions (first/next entry, get_dn, memfree, first/next attribute,
 * get_values_len, value_free_len, ber_free, msgfree) are counted but not logged.
 * Lines are valid until the next call into the fake. */
int fake_log_size(void);
const char* fake_log_line(int i);
void fake_log_clear(void);
/* Number of calls of a function (standard name) since the last reset, walking functions
 * included. */
int fake_call_count(const char* function);
/* Bytes of the values handed to the last ldap_add_s/ldap_modify_s, record r (0-based), value
 * v: returns the length and stores the pointer (valid until the next call into the fake); -1
 * when there is no such value. */
long fake_last_mod_value(int r, int v, const void** bytes);

/* Handle accounting. Every handle the fake gives out (session, result message, DN, attribute
 * name, walk state, value array, URL description) must be freed exactly once with its own
 * function. */
int fake_outstanding(void); /* handles given out and not yet freed */
int fake_bad_frees(void);   /* frees of a pointer not given out, or already freed */
/* fake_bad_frees also counts uses of a dead handle: a session after ldap_unbind, a result
 * message or entry after ldap_msgfree, a walk state after it was freed. Such a call returns
 * an error (89, -1 or null) instead of touching the memory. */
/* A text listing the outstanding handles and bad frees, for failure messages. */
const char* fake_handle_report(void);

#ifdef __cplusplus
}
#endif

#endif
