// LDAPClient: one connection to one LDAP server, over an LDAP client library that the client
// loads itself at construction and reaches only through its table of bound functions.
// Also the attribute map (one directory entry: a case-insensitive multimap from attribute
// name to value buffer), its helpers, and the modification array built from a map.
#ifndef ZUZEDER_LDAPCLIENT_H
#define ZUZEDER_LDAPCLIENT_H

#include <iosfwd>
#include <map>
#include <memory>

#include "ldapapi.h"
#include "zevbuffer.h"
#include "zevdir.h"
#include "zevexport.h"
#include "zevstring.h"

namespace zev09000003 {

// Orders attribute names without regard to case (negative case-insensitive comparison).
struct ZUZEDER_EXPORT ltstr {
  bool operator()(const char* a, const char* b) const;
};

// One directory entry. Keys are heap arrays (new[]) and values heap buffers, both owned by
// their element; the entry's distinguished name is the element "dn". Built and pruned only
// through addAttribute and removeAttribute.
typedef std::multimap<const char*, ZEVFastBuffer*, ltstr> LDAPAttributeMap;

// Adds one element: a copy of name and a buffer with length bytes of value (length 0: the
// text up to and including its terminating zero). A null value adds nothing. Never throws: an
// element that cannot be stored is left out.
ZUZEDER_EXPORT void addAttribute(LDAPAttributeMap* map, const char* name, const char* value,
                                 unsigned int length);
// As addAttribute, for length bytes of text that need a terminating zero byte: the element
// holds them and the zero, built without a terminated copy of the text first. Internal to
// the plug-in.
void addTextAttribute(LDAPAttributeMap* map, const char* name, const char* value,
                      std::size_t length);
// The bytes of the first value stored under name (case ignored), owned by the map, or null.
ZUZEDER_EXPORT const unsigned char* getAttributeValue(LDAPAttributeMap* map, const char* name);
// With a null value, removes every value of name; otherwise the first value whose text equals
// value without regard to case. True when something was removed.
ZUZEDER_EXPORT bool removeAttribute(LDAPAttributeMap* map, const char* name, const char* value);
// True when every byte is printable or white space (0x09-0x0D, 0x20-0x7E); length <= 0 is text.
ZUZEDER_EXPORT bool isText(const unsigned char* data, int length);
// The same over a string's characters, one trailing zero character excluded.
ZUZEDER_EXPORT bool isText(const ZEVString& s);

// The 25 functions of the LDAP library, bound by name. All null before loading.
struct LDAPSymbolTable {
  ldap_init_fn ldap_init;
  ldap_msgfree_fn ldap_msgfree;
  ldap_err2string_fn ldap_err2string;
  ldap_set_option_fn ldap_set_option;
  ldap_simple_bind_s_fn ldap_simple_bind_s;
  ldap_unbind_fn ldap_unbind;
  ldap_search_st_fn ldap_search_st;
  ldap_url_search_st_fn ldap_url_search_st;  // optional
  ldap_url_parse_fn ldap_url_parse;          // optional
  ldap_free_urldesc_fn ldap_free_urldesc;    // optional
  ldap_count_entries_fn ldap_count_entries;
  ldap_add_s_fn ldap_add_s;
  ldap_delete_s_fn ldap_delete_s;
  ldap_modify_s_fn ldap_modify_s;
  ldap_modrdn_s_fn ldap_modrdn_s;
  ldap_first_entry_fn ldap_first_entry;
  ldap_next_entry_fn ldap_next_entry;
  ldap_get_dn_fn ldap_get_dn;
  ldap_memfree_fn ldap_memfree;
  ldap_first_attribute_fn ldap_first_attribute;
  ldap_next_attribute_fn ldap_next_attribute;
  ldap_get_values_len_fn ldap_get_values_len;
  ldap_value_free_len_fn ldap_value_free_len;
  ldap_get_errno_fn ldap_get_errno;  // optional, warned
  ldap_ber_free_fn ldap_ber_free;    // optional, warned
};

// One LDAP session. The client owns its library handle, its session and its last search
// result; entries, DNs, names and value arrays handed out by the walking operations live in
// that result and must be consumed before the next search (see each operation for who frees
// what). One caller at a time.
class ZUZEDER_EXPORT LDAPClient {
 public:
  // Loads the LDAP library: "zev9ldap" ("zev_" names) through the library manager when
  // driverPath is empty, else driverPath (standard names). An init agent is only used with a
  // driver path. Timeouts are whole seconds; <= 0 means none. Throws ZEVDIRException 576001
  // (empty message) when the library cannot be loaded or lacks a required function.
  LDAPClient(const ZEVConstString& host, const ZEVConstString& driverPath,
             const ZEVAgent* initAgent, int port, int version, int searchTimeout,
             int connectTimeout);
  // Frees the last result, unbinds, releases the library.
  virtual ~LDAPClient();
  LDAPClient(const LDAPClient&) = delete;
  LDAPClient& operator=(const LDAPClient&) = delete;

  // Opens and binds a session. Throw ZEVDIRException 576002 when no session can be opened or
  // the bind fails, 576009 when the bind is refused with result 32 or 49.
  int login(const ZEVConstString& host, int port, const ZEVConstString& userDN,
            const ZEVASNCBuffer& password);
  int login(const ZEVConstString& userDN, const ZEVASNCBuffer& password);
  virtual int login(const char* userDN, const char* password);

  // Opens a session without binding (the next search binds anonymously first). Never throws
  // for a failed open: returns false.
  bool init_client();
  int logout(bool unbind);
  bool isConnected() const { return session != nullptr; }
  int errorCode();
  // The library's text for code; 0 stands for errorCode().
  const char* errorMessage(int code);
  static ZEVString convertDCtoHost(const ZEVString& uri);

  // Searches; returns the number of entries (negative when the library cannot count). Throws
  // ZEVDIRException 576002 without a session, 576004 when the search fails.
  int search(const char* base, int scope, const char* filter, char** attrs, int attrsonly);
  // Searches by LDAP URL on the current session. Throws ZEVDIRException 576004.
  int searchByURI(const ZEVString& uri, int attrsonly);

  // Walking the last result. Entries live inside the result; DN and attribute names are
  // freed by the caller with memFree, the walk state with berFree, value arrays with
  // valueFreeLen.
  int countEntries();
  LDAPMessage* firstEntry();
  LDAPMessage* nextEntry();
  LDAPMessage* currentEntry() const { return entry; }
  char* getDN();
  void memFree(void* p);
  char* firstAttribute(BerElement** ber);
  char* nextAttribute(BerElement* ber);
  berval** getValuesLen(const char* attr);
  void valueFreeLen(berval** values);
  void berFree(BerElement* ber);

  // Entry modification on the open session. True when the server answered success; the code
  // stays in errorCode(). False without a session (no call made, previous code kept), and
  // for add/modify without a DN (neither argument nor "dn" element).
  bool addEntry(LDAPAttributeMap* attributes, const char* dn);
  bool modifyEntry(LDAPAttributeMap* attributes, const char* dn);
  bool deleteEntry(const char* dn);
  bool modifyRDN(const char* dn, const char* newRDN, bool deleteOldRDN);

  LDAPSymbolTable getSymbolTable() const;

  // Observers for hosts and tests.
  const ZEVConstString& getHost() const { return host; }
  int getPort() const { return port; }
  void* getLibraryHandle() const { return libraryHandle; }
  bool isUsingDriverPath() const { return usingDriverPath; }
  bool isBindPending() const { return bindPending; }
  LDAP* getSession() const { return session; }

 protected:
  void fillSymbolTable(const ZEVConstString& driverPath);

  LDAPSymbolTable symbols;
  LDAP* session;
  LDAPMessage* result;
  LDAPMessage* entry;
  int lastResult;
  ZEVConstString host;
  int port;
  int version;
  void* libraryHandle;
  const ZEVAgent* initAgent;
  bool usingDriverPath;
  bool bindPending;
  std::unique_ptr<struct timeval> searchTimeout;
  std::unique_ptr<struct timeval> connectTimeout;
};

// The null-terminated LDAPMod array for ldap_add_s / ldap_modify_s, built from an attribute
// map (the "dn" element left out). Names and value bytes are borrowed from the map, which must
// outlive the array.
class ZUZEDER_EXPORT LdapModArray {
 public:
  LdapModArray(LDAPAttributeMap* attributes, int op);
  ~LdapModArray();
  LdapModArray(const LdapModArray&) = delete;
  LdapModArray& operator=(const LdapModArray&) = delete;
  LDAPMod** getMods() const { return mods; }

 private:
  LDAPMod** mods;
};

// Writes one record: " Operation: <op>", " Attribute: <name>", then "  (Len)Val: (<len>) <val>"
// per value, one per line.
ZUZEDER_EXPORT std::ostream& operator<<(std::ostream& os, const LDAPMod& mod);

}  // namespace zev09000003

#endif
