// Control functions of the fake LDAP client library, exported by every variant; a test reaches
// them through the same loaded library as the code under test. Binds always succeed.
#ifndef TESTS_FAKELDAP_CONTROL_H
#define TESTS_FAKELDAP_CONTROL_H

extern "C" {

// Clears everything below; frees the handles still outstanding.
void fake_reset(void) noexcept;
// Adds a value to the entry dn, which is made when needed.
void fake_add_value(const char* dn, const char* attr, const void* bytes,
                    unsigned long len) noexcept;

// The next `times` calls (-1: all) of the named function return `result` (pointer functions:
// null) instead of working; scripts queue up and set the session's last result code. A scripted
// search still hands over its result unless `result` is 81, 85 or 91; ldap_url_parse gives none.
void fake_script(const char* function, int result, int times) noexcept;

// One line per call, e.g. "ldap_search_st(base=o=x, scope=0, filter=(o=*), attrs=[cn],
// attrsonly=0, timeout={7,0})"; walking and freeing functions are only counted.
int fake_log_size(void) noexcept;
const char* fake_log_line(int i) noexcept;
void fake_log_clear(void) noexcept;
int fake_call_count(const char* function) noexcept;
// Length (-1: none) and bytes of value v of record r of the last ldap_add_s/ldap_modify_s.
long fake_last_mod_value(int r, int v, const void** bytes) noexcept;

// Each handle must be freed once with its own function; anything else counts as a bad free.
int fake_outstanding(void) noexcept;
int fake_bad_frees(void) noexcept;
const char* fake_handle_report(void) noexcept;
}

#endif
