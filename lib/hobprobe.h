// CHobProbe: asks the program's own web server for a directory's URL without
// credentials and reports the HTTP status, to tell whether the directory
// really asks for a password. The request is made by the command
// m_pszCurl, started only when a check is made; nothing is linked for it.
#ifndef HOB_HOBPROBE_H_
#define HOB_HOBPROBE_H_

#include "hobstring.h"

class CHobProbe {
 public:
  // The command Status starts, looked up in PATH when it holds no "/";
  // "curl" unless changed. REQUIRES: not null.
  static const char* m_pszCurl;

  // The percent-encoded URL path of the directory dir under the document
  // root documentRoot, with a leading and a trailing "/" (root "/srv/www",
  // dir "/srv/www/a b" gives "/a%20b/"; dir equal to the root gives "/").
  // Letters, digits, "-._~" and "/" stay as they are, every other byte
  // becomes %XX with upper-case hex; runs of "/" in dir count as one.
  // "" when documentRoot is empty, when dir does not lie under it (the root
  // must end at a "/" of dir or at its end; trailing "/" on the root do not
  // count), or when dir holds a "." or ".." component.
  // REQUIRES: dir and documentRoot are not null.
  static CHobString UrlPath(const char* dir, const char* documentRoot);

  // One GET of http(s)://addr:port urlPath with "Host: host", no credentials,
  // no proxy, no redirect followed, the server's certificate not verified,
  // taking at most timeoutSeconds (at least 1) for the connection and the
  // whole request and about one second more when the command itself hangs.
  // Returns the status the server answered (100..599) with reason empty, or
  // -1 with a short reason: the command's error text, "curl cannot be
  // started", or why nothing was sent. Nothing is sent unless addr is a
  // literal IPv4 or IPv6 address, port a decimal number 1..65535, host
  // non-empty and made of letters, digits and ".-:[]", and urlPath a "/"
  // followed by printable ASCII other than the space.
  // REQUIRES: no argument is null.
  static int Status(const char* addr, const char* port, const char* host, const char* urlPath,
                    bool tls, int timeoutSeconds, CHobString& reason);
};

#endif  // HOB_HOBPROBE_H_
