// CHobEnv: the CGI environment captured once. The host name of the client is
// looked up in hobenvhost.cpp.
#include "hobenv.h"

#include <cstdlib>

#include "hobglobal.h"

namespace {

// Every captured variable with the member that holds it, in the order in
// which they are captured and traced.
const struct {
  const char* name;
  CHobString CHobEnv::*member;
} kVariables[] = {
    {"CONTENT_LENGTH", &CHobEnv::CONTENT_LENGTH},
    {"CONTENT_TYPE", &CHobEnv::CONTENT_TYPE},
    {"DOCUMENT_NAME", &CHobEnv::DOCUMENT_NAME},
    {"DOCUMENT_URI", &CHobEnv::DOCUMENT_URI},
    {"DOCUMENT_ROOT", &CHobEnv::DOCUMENT_ROOT},
    {"GATEWAY_INTERFACE", &CHobEnv::GATEWAY_INTERFACE},
    {"HTTP_ACCEPT", &CHobEnv::HTTP_ACCEPT},
    {"HTTP_ACCEPT_ENCODING", &CHobEnv::HTTP_ACCEPT_ENCODING},
    {"HTTP_ACCEPT_LANGUAGE", &CHobEnv::HTTP_ACCEPT_LANGUAGE},
    {"HTTP_CACHE_CONTROL", &CHobEnv::HTTP_CACHE_CONTROL},
    {"HTTP_CONNECTION", &CHobEnv::HTTP_CONNECTION},
    {"HTTP_COOKIE", &CHobEnv::HTTP_COOKIE},
    {"HTTP_HOST", &CHobEnv::HTTP_HOST},
    {"HTTP_REFERER", &CHobEnv::HTTP_REFERER},
    {"HTTP_USER_AGENT", &CHobEnv::HTTP_USER_AGENT},
    {"HTTP_VIA", &CHobEnv::HTTP_VIA},
    {"LAST_MODIFIED", &CHobEnv::LAST_MODIFIED},
    {"PATH", &CHobEnv::PATH},
    {"PATH_INFO", &CHobEnv::PATH_INFO},
    {"PATH_TRANSLATED", &CHobEnv::PATH_TRANSLATED},
    {"QUERY_STRING", &CHobEnv::QUERY_STRING},
    {"REMOTE_ADDR", &CHobEnv::REMOTE_ADDR},
    {"REMOTE_PORT", &CHobEnv::REMOTE_PORT},
    {"REQUEST_METHOD", &CHobEnv::REQUEST_METHOD},
    {"REQUEST_URI", &CHobEnv::REQUEST_URI},
    {"SCRIPT_FILENAME", &CHobEnv::SCRIPT_FILENAME},
    {"SCRIPT_NAME", &CHobEnv::SCRIPT_NAME},
    {"SERVER_ADDR", &CHobEnv::SERVER_ADDR},
    {"SERVER_ADMIN", &CHobEnv::SERVER_ADMIN},
    {"SERVER_NAME", &CHobEnv::SERVER_NAME},
    {"SERVER_PORT", &CHobEnv::SERVER_PORT},
    {"SERVER_PROTOCOL", &CHobEnv::SERVER_PROTOCOL},
    {"SERVER_SIGNATURE", &CHobEnv::SERVER_SIGNATURE},
    {"SERVER_SOFTWARE", &CHobEnv::SERVER_SOFTWARE},
};

}  // namespace

void CHobEnv::GetEnv() {
  for (const auto& variable : kVariables) {
    this->*variable.member = getenv(variable.name);
  }
  // The name padded to 20 columns lines the values up in the log.
  for (const auto& variable : kVariables) {
    go.log.Trace("%-20s = [%s]", variable.name, (this->*variable.member).m_pszText);
  }
}
