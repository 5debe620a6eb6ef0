/* Result codes of libzev9ldap beyond the classic ones. Kept apart from zevldap.h, which
 * declares the exports in the client table's types, so that the library's own source (which
 * sees OpenLDAP's declarations instead) shares the values. */
#ifndef ZEV_LDAP_ZEVLDAPCODES_H
#define ZEV_LDAP_ZEVLDAPCODES_H

/* An incoming message declared more bytes than the incoming cap allows (ZEV_LDAP_MAX_INCOMING,
 * 256 MiB by default). The connection is dropped; the message was never read. We chose a code
 * of the private-use range 0x4000 - 0xFFFF rather than a classic one: none of those means
 * this, and 81 (server down) would make callers retry and be refused again. */
#define ZEV_LDAP_INCOMING_TOO_LARGE 0x4001

#endif
