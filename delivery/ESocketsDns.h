// Finding where mail for a domain goes: MX records asked of the system's name servers (then a
// fallback server), with queries and replies built and checked by our own code.
#pragma once

#include <string>
#include <vector>

#include "delivery/ESocketsError.h"

// The hosts to deliver to for the domain of `emailAddress`, lowest preference first: its mail
// exchangers, or the domain itself when it has none. Empty for a null MX (the domain takes no
// mail). Raises ETarvexSocketError when no name server gives a usable answer within `timeoutMs`.
std::vector<std::string> FindMailExchanger(const std::string& emailAddress, int timeoutMs);

// Name servers ("address" or "address:port", IPv4 or IPv6) asked instead of those of
// /etc/resolv.conf; empty restores them.
void SetDnsServers(std::vector<std::string> servers);
// The server asked when those give no answer; empty restores the built-in one.
void SetDnsFallbackServer(const std::string& server);
