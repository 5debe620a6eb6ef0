/* Control functions of the fake LDAP client library, exported under these names by every
 * variant; a test reaches them through the same loaded library as the code under test.
 * The fake serves the LDAP functions from a directory in memory: search by base, scope,
 * filter ((a=*), (a=value), (&..), (|..), (!..)) and attributes (options such as ";binary"
 * ignored in names), URL parse and search, add, modify (add and replace), delete and rename.
 * Binds always succeed. Nothing the fake does unwinds into its callers. */
#ifndef TESTS_FAKELDAP_CONTROL_H
#define TESTS_FAKELDAP_CONTROL_H

#ifdef __cplusplus
#define FAKE_NOEXCEPT noexcept
extern "C" {
#else
#define FAKE_NOEXCEPT
#endif

/* Clears everything below; frees the handles still outstanding. */
void fake_reset(void) FAKE_NOEXCEPT;

/* fake_add_entry gives -1 when the DN exists. fake_add_value creates the entry when needed. */
int fake_add_entry(const char* dn) FAKE_NOEXCEPT;
int fake_add_value(const char* dn, const char* attr, const void* bytes,
                   unsigned long len) FAKE_NOEXCEPT;

/* The next `times` calls (-1: all) of the function with this standard name return `result`
 * (a pointer function: null) instead of working; scripts queue up. A scripted bind, search or
 * change sets the session's last result code; a scripted search still hands over its result
 * unless `result` is 81, 85 or 91; a scripted ldap_url_parse gives no description. */
void fake_script(const char* function, int result, int times) FAKE_NOEXCEPT;

/* One line per call, e.g. "ldap_search_st(base=o=x, scope=0, filter=(o=*), attrs=[cn],
 * attrsonly=0, timeout={7,0})"; walking and freeing functions are only counted. */
int fake_log_size(void) FAKE_NOEXCEPT;
const char* fake_log_line(int i) FAKE_NOEXCEPT;
void fake_log_clear(void) FAKE_NOEXCEPT;
int fake_call_count(const char* function) FAKE_NOEXCEPT;
/* Length (-1: none) and bytes of value v of record r of the last ldap_add_s/ldap_modify_s. */
long fake_last_mod_value(int r, int v, const void** bytes) FAKE_NOEXCEPT;

/* Each handle given out must be freed once with its own function; freeing or using anything
 * else counts as a bad free. */
int fake_outstanding(void) FAKE_NOEXCEPT;
int fake_bad_frees(void) FAKE_NOEXCEPT;
const char* fake_handle_report(void) FAKE_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
