// CHobHtml: standard output as the page stream: the HTTP header (at most once
// per process), a cookie header, and the opening and closing of an HTML page.
#ifndef HOB_HOBHTML_H_
#define HOB_HOBHTML_H_

#include "hobfile.h"

class CHobHtml : public CHobFile {
 public:
  CHobHtml();
  ~CHobHtml() override;

  // "Content-type: %s\n%s\n" with contentType and extra, unless a header was
  // already written by this process.
  void WriteHttpHeader(const char* contentType, const char* extra);
  // The same format and flag with contentType first and cookie second.
  void WriteHttpCookie(const char* cookie, const char* contentType);
  // The page head and the opening body tag; every null argument is left out.
  // No argument is escaped. Returns the result of the last write.
  int WriteHtmlHeader(const char* charset, const char* refresh, const char* pragma,
                      const char* robots, const char* keywords, const char* title,
                      const char* stylesheet, const char* script, const char* onLoad,
                      const char* background, const char* bgcolor, const char* text,
                      const char* link, const char* vlink, const char* alink,
                      const char* leftmargin, const char* topmargin, const char* marginwidth,
                      const char* marginheight);
  // "</body>\n</html>\n"; the result of the last write.
  int WriteHtmlFooter();

  // True once this process has written an HTTP header.
  static bool HeaderWritten();
};

#endif  // HOB_HOBHTML_H_
