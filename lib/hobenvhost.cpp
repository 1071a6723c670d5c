// CHobEnv::GetRemoteHost: the host name of the client. It lives in a unit of
// its own so that a program that never asks for it links no resolver: a
// statically linked program that did would need, at run time, the resolver
// libraries of the very C library it was built with.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstring>

#include "hobenv.h"

CHobString CHobEnv::GetRemoteHost() const {
  if (REMOTE_ADDR.IsEmpty()) return CHobString();
  in_addr_t address = inet_addr(REMOTE_ADDR.m_pszText);
  // inet_addr answers text that is no address with the broadcast address.
  if (address == INADDR_NONE && strcmp(REMOTE_ADDR.m_pszText, "255.255.255.255") != 0) {
    return CHobString();
  }
  const hostent* host = gethostbyaddr(&address, sizeof(address), AF_INET);
  if (host == nullptr || host->h_name == nullptr) return CHobString();
  return CHobString(host->h_name);
}
