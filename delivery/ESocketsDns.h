// Finding where mail for a domain goes: MX records asked of the system's name servers (then a
// fallback server), with queries and replies built and checked by our own code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "delivery/ESocketsError.h"

// The hosts to deliver to for the domain of `emailAddress` (the text after its first "@", or
// all of it), lowest preference first: its mail exchangers, or the domain itself when it has
// none. Empty for a null MX (the domain takes no mail). Each server is asked up to three times,
// attempt n waiting (timeoutMs + 150) / 3 + 100 * n ms. Raises ETarvexSocketError "Cannot
// resolve the \"%s\" MX record." when no server gives a usable answer or the domain does not
// exist.
std::vector<std::string> FindMailExchanger(const std::string& emailAddress, int timeoutMs);

// Name servers ("address" or "address:port", "[v6 address]:port", IPv4 or IPv6) asked instead
// of those of /etc/resolv.conf; empty restores them.
void SetDnsServers(std::vector<std::string> servers);
// The server asked when those give no answer; empty restores the built-in one.
void SetDnsFallbackServer(const std::string& server);

// ---- The pieces, also for tests and fuzzing ----

struct TMxHost {
  uint16_t Preference = 0;
  std::string Host;  // without the trailing dot
};

enum TDnsReplyKind : uint8_t {
  drHosts,      // mail exchangers, lowest preference first
  drNoData,     // the name exists but has no MX: mail goes to the domain itself
  drNullMx,     // the domain takes no mail
  drNameError,  // the domain does not exist
  drServerError,// the server could not answer (SERVFAIL, REFUSED, ...): ask the next one
  drTruncated,  // did not fit into a datagram: ask again over TCP
  drForeign,    // not the answer to our query (id, question, not a reply): keep waiting
  drMalformed,  // broken message: try again
};

struct TDnsReply {
  TDnsReplyKind Kind = drMalformed;
  std::vector<TMxHost> Hosts;  // drHosts only
  std::string Reason;          // why a reply was not taken
};

// Checks and reads the reply to the MX query with `id` for `name` (ASCII, no trailing dot).
// Pure: nothing but the bytes is looked at.
TDnsReply ParseMxReply(const unsigned char* data, size_t size, uint16_t id, std::string_view name);

// The mail domain of an address in ASCII (international names as A-labels), without a
// trailing dot; empty when it cannot be one.
std::string MailDomainOf(const std::string& emailAddress);
// An MX query for the ASCII domain with a fresh random id; empty when the name cannot be one.
std::string BuildMxQuery(const std::string& asciiDomain, uint16_t& id);
// The "nameserver" addresses of a resolv.conf text, in order, without "0.0.0.0".
std::vector<std::string> ResolvConfServers(std::string_view text);
