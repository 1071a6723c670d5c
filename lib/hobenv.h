// CHobEnv: a snapshot of the 34 CGI environment variables.
#ifndef HOB_HOBENV_H_
#define HOB_HOBENV_H_

#include "hobstring.h"

class CHobEnv {
 public:
  // Fill every member from the environment (unset: "") and trace each value.
  void GetEnv();
  // The resolver's host name for REMOTE_ADDR, or "" when it is empty or unknown.
  CHobString GetRemoteHost() const;

  CHobString CONTENT_LENGTH;
  CHobString CONTENT_TYPE;
  CHobString DOCUMENT_NAME;
  CHobString DOCUMENT_URI;
  CHobString DOCUMENT_ROOT;
  CHobString GATEWAY_INTERFACE;
  CHobString HTTP_ACCEPT;
  CHobString HTTP_ACCEPT_ENCODING;
  CHobString HTTP_ACCEPT_LANGUAGE;
  CHobString HTTP_CACHE_CONTROL;
  CHobString HTTP_CONNECTION;
  CHobString HTTP_COOKIE;
  CHobString HTTP_HOST;
  CHobString HTTP_REFERER;
  CHobString HTTP_USER_AGENT;
  CHobString HTTP_VIA;
  CHobString LAST_MODIFIED;
  CHobString PATH;
  CHobString PATH_INFO;
  CHobString PATH_TRANSLATED;
  CHobString QUERY_STRING;
  CHobString REMOTE_ADDR;
  CHobString REMOTE_PORT;
  CHobString REQUEST_METHOD;
  CHobString REQUEST_URI;
  CHobString SCRIPT_FILENAME;
  CHobString SCRIPT_NAME;
  CHobString SERVER_ADDR;
  CHobString SERVER_ADMIN;
  CHobString SERVER_NAME;
  CHobString SERVER_PORT;
  CHobString SERVER_PROTOCOL;
  CHobString SERVER_SIGNATURE;
  CHobString SERVER_SOFTWARE;
};

#endif  // HOB_HOBENV_H_
