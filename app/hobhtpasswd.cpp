// hob-htpasswd.cgi: lets a site owner set up HTTP Basic authentication for a
// directory from a browser. A first visit gets the settings form; a submitted
// form is checked, the host's password tool is run to show an entry, create a
// password file or add a user to one, and the form comes back filled, with the
// text of the access-control file to put into the directory. Every rejected
// input or failure is answered with a message page and exit status 1.
#include "hobhtpasswd.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "hobbuffer.h"
#include "hobconfig.h"
#include "hobfile.h"
#include "hobform.h"
#include "hobglobal.h"
#include "hobhtml.h"
#include "hobstring.h"
#include "hobstrpath.h"

namespace {

const char* const kProgramName = "hob-htpasswd.cgi";
const char* const kMessageFile = "dat-message.dat";
const char* const kSystemFile = "dat-system.dat";
const char* const kFormTemplate = "templ_config.html";
const char* const kInfoTemplate = "templ_info.html";
const char* const kSignatureFile = "sys-signature";
const char* const kAccessTemplate = "dat-htaccess.dat";
const char* const kScratchFile = "./tmp.htpasswd";
const char* const kPasswordFileName = "/.htpasswd";

// The whole file as text; "" when it is missing or empty.
CHobString ReadText(const char* path) {
  CHobFile file;
  CHobBuffer contents = file.ReadFile(path);
  return CHobString(contents.data);
}

// text with the HTML-special characters replaced by character references, so
// that nothing a visitor typed becomes markup. With bPercent, "%" is replaced
// too: a value put into the page can then never look like one of the page's
// own %NAME% placeholders and be filled by a later replacement.
CHobString HtmlEscape(const char* text, bool bPercent) {
  CHobString out;
  if (text == nullptr) return out;
  CHobBuffer buf;
  for (const char* p = text; *p != '\0'; p++) {
    const char* ref = nullptr;
    switch (*p) {
      case '&':
        ref = "&amp;";
        break;
      case '<':
        ref = "&lt;";
        break;
      case '>':
        ref = "&gt;";
        break;
      case '"':
        ref = "&quot;";
        break;
      case '\'':
        ref = "&#39;";
        break;
      case '%':
        ref = bPercent ? "&#37;" : nullptr;
        break;
      default:
        break;
    }
    if (ref != nullptr) {
      buf.Append(ref, static_cast<unsigned>(CHobString(ref).GetLength()));
    } else {
      buf.Append(p, 1);
    }
  }
  out = buf.data;
  return out;
}

// A user name the password tool would store as given: no control character
// (a line feed would start an entry of the visitor's choosing) and no ":"
// (the separator between name and hash).
bool IsSafeUserName(const CHobString& user) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(user.m_pszText); *p != 0;
       p++) {
    if (*p < 0x20 || *p == 0x7F || *p == ':') return false;
  }
  return true;
}

// Answers the request with the message page built from "templ_info.html" and
// ends the process with exit status 1. The text is shown as it stands (a "%"
// in it is not a conversion), cut to 4095 bytes.
[[noreturn]] void MessageForm(const char* text) {
  go.log.Trace("MessageForm =====================================================");
  CHobString message = CHobString(text).Left(4095);
  CHobString page = ReadText(kInfoTemplate);
  page.Replace("%SIGNATURE%", ReadText(kSignatureFile).m_pszText, true);
  page.Replace("%MESSAGE%", message.m_pszText, true);
  CHobHtml html;
  html.WriteHttpHeader("text/html", "");
  html.WriteString(page.m_pszText);
  go.log.Trace("Program END  =====================================================\n\n");
  std::exit(1);
}

// Shows the catalogue text of key and ends the request.
[[noreturn]] void Fail(const CHobConfig& messages, const char* key) {
  MessageForm(messages.Value(key).m_pszText);
}

// Ends the request with the message for a failed tool-driver result: the
// key for a run that failed, for a missing directory or file, for a file
// that cannot be written, and "msg90" for a password file in use. Returns on
// success.
void CheckDriverResult(const CHobConfig& messages, int result, const char* runFailed,
                       const char* missing, const char* noAccess) {
  switch (result) {
    case HOB_HTP_RUN_FAILED:
      Fail(messages, runFailed);
    case HOB_HTP_MISSING:
      Fail(messages, missing);
    case HOB_HTP_NO_ACCESS:
      Fail(messages, noAccess);
    case HOB_HTP_BUSY:
      Fail(messages, "msg90");
    default:
      return;
  }
}

// Reads the form template and fills what does not depend on the request.
CHobString PrepareForm(const CHobConfig& settings) {
  CHobString page = ReadText(kFormTemplate);
  page.Replace("%SIGNATURE%", ReadText(kSignatureFile).m_pszText, true);
  // SERVER_NAME may come from the request's Host header.
  page.Replace("%DOMAIN%", HtmlEscape(go.env.SERVER_NAME.m_pszText, true).m_pszText, true);
  if (static_cast<int>(settings.Value("writemode")) == 0) {
    page.Replace("<!--WRITE-->", "<!--/WRITE-->", "", true);
  }
  go.strHtpasswd = settings.Value("htpasswd");
  return page;
}

// Marks the radio button of choice (0..2) among placeholders[0..2].
void MarkChoice(CHobString& page, const char* const placeholders[3], int choice) {
  for (int i = 0; i < 3; i++) page.Replace(placeholders[i], i == choice ? "checked" : "", false);
}

const char* const kTypePlaceholders[3] = {"%TYPE0%", "%TYPE1%", "%TYPE2%"};
const char* const kOptionPlaceholders[3] = {"%OPT0%", "%OPT1%", "%OPT2%"};

void WriteFirstVisit(CHobHtml& html, CHobString& page) {
  html.WriteHttpHeader("text/html", "");
  page.Replace("%PATH%", "", false);
  page.Replace("%USER%", "", false);
  page.Replace("%PASS%", "", false);
  MarkChoice(page, kTypePlaceholders, 0);
  MarkChoice(page, kOptionPlaceholders, 0);
  page.Replace("<!--RESULT-->", "", false);
  html.WriteString(page.m_pszText);
}

// The access-control file text under its heading, escaped for the page, with
// the password file and the user filled in.
CHobString AccessFileText(const CHobConfig& messages, const CHobString& passwordFile,
                          const CHobString& user) {
  CHobString text = messages.Value("msg09") + "\n\n" + ReadText(kAccessTemplate);
  text = HtmlEscape(text.m_pszText, false);
  text.Replace("%FILE%", HtmlEscape(passwordFile.m_pszText, true).m_pszText, false);
  text.Replace("%USER%", HtmlEscape(user.m_pszText, true).m_pszText, false);
  return text;
}

// The entry the tool prints for option "n". When the tool prints nothing, the
// entry is taken from a scratch password file shared by all requests, under
// the default lock.
CHobString DisplayEntry(const CHobConfig& messages, const CHobString& user, const CHobString& pass,
                        int type) {
  CHobString entry = CHobHtPasswd::Encrypt(user.m_pszText, pass.m_pszText, type);
  go.log.Trace("Encrypt=(%s)", entry.m_pszText);
  entry.Trim();
  if (!entry.IsEmpty() && entry != "-1") return entry;

  CHobFile lock;
  if (lock.Lock() != 0) Fail(messages, "msg90");
  CheckDriverResult(messages,
                    CHobHtPasswd::WriteNew(kScratchFile, user.m_pszText, pass.m_pszText, type),
                    "msg08", "msg03", "msg44");
  entry = ReadText(kScratchFile);
  CHobFile scratch;
  scratch.WriteFile(kScratchFile, "", 0);
  lock.Unlock();
  return entry;
}

// Handles a submitted form: checks the input, runs the chosen action and
// answers with the filled form. Ends the process on any failure.
void Submit(CHobForm& form, CHobHtml& html, CHobString& page, const CHobConfig& messages) {
  html.WriteHttpHeader("text/html", "");

  CHobStrPath path;
  CHobString entered = form.Value("path") + "/";
  path.Split(entered.m_pszText);
  CHobString dir = path.Directory("/");
  CHobString user = form.Value("user");
  CHobString pass = form.Value("pass");
  CHobString typeText = form.Value("type");
  CHobString option = form.Value("option");

  if (dir.IsEmpty()) Fail(messages, "msg00");
  if (dir == "." || dir.m_pszText[0] != '/') Fail(messages, "msg07");
  if (user.IsEmpty()) Fail(messages, "msg01");
  if (!IsSafeUserName(user)) Fail(messages, "msg11");
  if (pass.IsEmpty()) Fail(messages, "msg02");

  page.Replace("%PATH%", HtmlEscape((dir + "/").m_pszText, true).m_pszText, false);
  page.Replace("%USER%", HtmlEscape(user.m_pszText, true).m_pszText, false);
  page.Replace("%PASS%", HtmlEscape(pass.m_pszText, true).m_pszText, false);
  if (typeText == "0" || typeText == "1" || typeText == "2") {
    MarkChoice(page, kTypePlaceholders, typeText.m_pszText[0] - '0');
  }
  int type = static_cast<int>(typeText);

  CHobString passwordFile = dir + kPasswordFileName;
  CHobString result;
  if (option == "n") {
    MarkChoice(page, kOptionPlaceholders, 0);
    CHobString entry = DisplayEntry(messages, user, pass, type);
    result = HtmlEscape((messages.Value("msg10") + "\n\n" + entry + "\n\n").m_pszText, true);
  } else if (option == "c") {
    MarkChoice(page, kOptionPlaceholders, 1);
    CheckDriverResult(
        messages,
        CHobHtPasswd::WriteNew(passwordFile.m_pszText, user.m_pszText, pass.m_pszText, type),
        "msg08", "msg03", "msg04");
  } else if (option == "a") {
    MarkChoice(page, kOptionPlaceholders, 2);
    CheckDriverResult(
        messages,
        CHobHtPasswd::WriteAdd(passwordFile.m_pszText, user.m_pszText, pass.m_pszText, type),
        "msg08", "msg05", "msg06");
  } else {
    return;
  }
  result += AccessFileText(messages, passwordFile, user);
  page.Replace("<!--RESULT-->", result.m_pszText, false);
  html.WriteString(page.m_pszText);
}

}  // namespace

int main() {
  // An installed program lives in a read-only directory; its site files,
  // lock, scratch and log files are then found in HOB_HTPASSWD_HOME.
  const char* home = getenv("HOB_HTPASSWD_HOME");
  if (home != nullptr && *home != '\0' && chdir(home) != 0) {
    std::printf(
        "Content-type: text/plain\n\nhob-htpasswd: the directory in HOB_HTPASSWD_HOME cannot be "
        "entered.\n");
    return 1;
  }
  CHobConfig messages(false);
  CHobConfig settings(true);
  messages.ReadFile(kMessageFile);
  if (settings.ReadFile(kSystemFile, true) == HOB_LOCKED) Fail(messages, "msg90");

  CHobString logName = CHobString(kProgramName) + ".log";
  go.log.Initialize(logName.m_pszText);
  go.log.bTrace = static_cast<int>(settings.Value("opt_trace"));
  go.log.Trace("%s START =====================================================", kProgramName);

  CHobForm form;
  CHobHtml html;
  CHobString page = PrepareForm(settings);
  // A request with items but no "submit" (a stale link, a probe) gets the form.
  if (form.QueryString() == 0 || form.Data("submit") == nullptr) {
    WriteFirstVisit(html, page);
  } else {
    Submit(form, html, page, messages);
  }

  go.log.Trace("%s  END  =====================================================\n\n", kProgramName);
  return 0;
}
