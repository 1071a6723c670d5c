// CHobHtml: the HTTP header, written at most once per process, and the frame
// of an HTML page.
#include "hobhtml.h"

namespace {

// Set by the first header this process writes, whatever object wrote it, so
// a message page that follows a started page sends no second header.
bool bHttpHeader = false;

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

CHobHtml::CHobHtml() = default;

CHobHtml::~CHobHtml() = default;

void CHobHtml::WriteHttpHeader(const char* contentType, const char* extra) {
  if (bHttpHeader) return;
  WriteFormat("Content-type: %s\n%s\n", OrEmpty(contentType), OrEmpty(extra));
  bHttpHeader = true;
}

void CHobHtml::WriteHttpCookie(const char* cookie, const char* contentType) {
  if (bHttpHeader) return;
  WriteFormat("Content-type: %s\n%s\n", OrEmpty(contentType), OrEmpty(cookie));
  bHttpHeader = true;
}

int CHobHtml::WriteHtmlHeader(const char* charset, const char* refresh, const char* pragma,
                              const char* robots, const char* keywords, const char* title,
                              const char* stylesheet, const char* script, const char* onLoad,
                              const char* background, const char* bgcolor, const char* text,
                              const char* link, const char* vlink, const char* alink,
                              const char* leftmargin, const char* topmargin,
                              const char* marginwidth, const char* marginheight) {
  WriteString("<html>\n");
  WriteString("<head>\n");
  if (charset != nullptr) {
    WriteFormat("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=%s\">\n", charset);
  }
  if (refresh != nullptr) WriteFormat("<meta http-equiv=\"refresh\" content=\"%s\">\n", refresh);
  if (pragma != nullptr) WriteFormat("<meta http-equiv=\"pragma\" content=\"%s\">\n", pragma);
  if (robots != nullptr) WriteFormat("<meta name=\"robots\" content=\"%s\">\n", robots);
  if (keywords != nullptr) {
    WriteFormat("<meta name=\"keywords\" content=\"%s\">\n", keywords);
    WriteFormat("<meta name=\"description\" content=\"%s\">\n", keywords);
  }
  if (title != nullptr) WriteFormat("<title>%s</title>\n", title);
  if (stylesheet != nullptr) {
    WriteFormat("<link rel=\"stylesheet\" href=\"%s\" type=\"text/css\">\n", stylesheet);
  }
  if (script != nullptr) {
    WriteFormat("<script language=\"JavaScript\">\n<!--\n%s\n//-->\n</script>", script);
  }
  WriteString("</head>\n");
  WriteString("<body");

  const struct {
    const char* name;
    const char* value;
  } attributes[] = {
      {"bgcolor", bgcolor},
      {"text", text},
      {"link", link},
      {"vlink", vlink},
      {"alink", alink},
      {"leftmargin", leftmargin},
      {"topmargin", topmargin},
      {"marginwidth", marginwidth},
      {"marginheight", marginheight},
      {"background", background},
      {"onLoad", onLoad},
  };
  for (const auto& attribute : attributes) {
    if (attribute.value != nullptr) WriteFormat(" %s=\"%s\"", attribute.name, attribute.value);
  }
  return WriteString(">\n");
}

int CHobHtml::WriteHtmlFooter() {
  WriteString("</body>\n");
  return WriteString("</html>\n");
}

bool CHobHtml::HeaderWritten() { return bHttpHeader; }
