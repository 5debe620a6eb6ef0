// Host texts of zev_ldap_init: names, name:port pairs, lists and URIs.
#include "hosts.h"

#include <ldap.h>

#include <cctype>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace zevldap {
namespace {

bool isPort(const std::string& text, int* port) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  int value = std::atoi(text.c_str());
  if (value < 1 || value > 65535) return false;
  *port = value;
  return true;
}

bool isHostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
}

bool isHostName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    if (!isHostChar(c)) return false;
  }
  return true;
}

bool isIPv6(const std::string& address) {
  if (address.find(':') == std::string::npos) return false;
  for (char c : address) {
    if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return false;
  }
  return true;
}

bool isStartTLS(std::string name) {
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name == "starttls" || name == LDAP_EXOP_START_TLS;
}

// The extensions of a URI ("dn?attrs?scope?filter?extensions"): StartTLS raises *startTLS,
// an unknown critical one makes the URI unusable.
bool readExtensions(const std::string& token, std::string::size_type pathStart, int* startTLS) {
  if (pathStart == std::string::npos) return true;
  std::string::size_type at = pathStart;
  for (int field = 0; field < 4; ++field) {
    at = token.find('?', at);
    if (at == std::string::npos) return true;
    ++at;
  }
  std::istringstream list(token.substr(at));
  std::string extension;
  while (std::getline(list, extension, ',')) {
    bool critical = !extension.empty() && extension[0] == '!';
    std::string name = extension.substr(critical ? 1 : 0);
    name = name.substr(0, name.find('='));
    if (isStartTLS(name)) {
      if (*startTLS < (critical ? 2 : 1)) *startTLS = critical ? 2 : 1;
    } else if (critical) {
      return false;
    }
  }
  return true;
}

// "ldap://host:port/dn?attrs" -> "ldap://host:port"; checked by OpenLDAP's own parser.
bool uriToServer(const std::string& token, std::string* server, int* startTLS) {
  std::string::size_type schemeEnd = token.find("://");
  std::string scheme = token.substr(0, schemeEnd);
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (scheme != "ldap" && scheme != "ldaps" && scheme != "ldapi") return false;
  std::string::size_type pathStart = token.find('/', schemeEnd + 3);
  std::string candidate = scheme + token.substr(schemeEnd, pathStart - schemeEnd);
  if (!readExtensions(token, pathStart, startTLS)) return false;
  LDAPURLDesc* description = nullptr;
  if (ldap_url_parse(candidate.c_str(), &description) != LDAP_URL_SUCCESS) return false;
  ldap_free_urldesc(description);
  *server = candidate;
  return true;
}

// "name", "name:port", "[v6]", "[v6]:port" or a bare IPv6 address -> "ldap://host:port".
bool nameToServer(const std::string& token, int defaultPort, std::string* server) {
  std::string host = token;
  int port = defaultPort;
  if (token[0] == '[') {
    std::string::size_type close = token.find(']');
    if (close == std::string::npos || !isIPv6(token.substr(1, close - 1))) return false;
    host = token.substr(0, close + 1);
    std::string rest = token.substr(close + 1);
    if (!rest.empty() && (rest[0] != ':' || !isPort(rest.substr(1), &port))) return false;
  } else if (token.find(':') != token.rfind(':')) {
    if (!isIPv6(token)) return false;
    host = "[" + token + "]";
  } else if (token.find(':') != std::string::npos) {
    std::string::size_type colon = token.find(':');
    host = token.substr(0, colon);
    if (!isHostName(host) || !isPort(token.substr(colon + 1), &port)) return false;
  } else if (!isHostName(token)) {
    return false;
  }
  *server = "ldap://" + host;
  if (port > 0) *server += ":" + std::to_string(port);
  return true;
}

}  // namespace

std::string serverKey(const LDAPURLDesc& url) {
  std::string host = url.lud_host != nullptr ? url.lud_host : "";
  for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  int port = url.lud_port;
  if (port == 0) {
    std::string scheme = url.lud_scheme != nullptr ? url.lud_scheme : "ldap";
    port = scheme == "ldaps" ? LDAPS_PORT : LDAP_PORT;
  }
  return host + ":" + std::to_string(port);
}

bool hostsToUriList(const char* host, int port, std::string* uris, HostRequest* request) {
  if (port < 0 || port > 65535) return false;
  std::vector<std::string> tokens;
  if (host != nullptr) {
    std::istringstream words(host);
    std::string word;
    while (words >> word) tokens.push_back(word);
  }
  // A null or blank host means the local server, as with the classic ldap_init.
  if (tokens.empty()) tokens.push_back("localhost");
  std::string list;
  HostRequest asked;
  asked.ldaps = true;
  for (const std::string& token : tokens) {
    std::string server;
    bool ok = token.find("://") != std::string::npos ? uriToServer(token, &server, &asked.startTLS)
                                                     : nameToServer(token, port, &server);
    if (!ok) return false;
    if (!list.empty()) list += ' ';
    list += server;
    asked.ldaps = asked.ldaps && server.compare(0, 8, "ldaps://") == 0;
  }
  if (tokens.size() == 1) {
    LDAPURLDesc* description = nullptr;
    if (ldap_url_parse(list.c_str(), &description) == LDAP_URL_SUCCESS) {
      // ldapi:// sessions have no host and port to compare with.
      if (description->lud_host != nullptr && description->lud_host[0] != '\0') {
        asked.server = serverKey(*description);
      }
      ldap_free_urldesc(description);
    }
  }
  *uris = list;
  if (request != nullptr) *request = asked;
  return true;
}

}  // namespace zevldap
