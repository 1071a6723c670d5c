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

// The key of the message for a tool-driver result, or null on success: the
// key for a run that failed, for a missing directory or file, for a file that
// cannot be written, and "msg90" for a password file in use.
const char* DriverMessage(int result, const char* runFailed, const char* missing,
                          const char* noAccess) {
  switch (result) {
    case HOB_HTP_RUN_FAILED:
      return runFailed;
    case HOB_HTP_MISSING:
      return missing;
    case HOB_HTP_NO_ACCESS:
      return noAccess;
    case HOB_HTP_BUSY:
      return "msg90";
    default:
      return nullptr;
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

// Marks the radio button of choice (0..2) among placeholders[0..2]; any
// other choice clears all three.
void MarkChoice(CHobString& page, const char* const placeholders[3], int choice) {
  for (int i = 0; i < 3; i++) page.Replace(placeholders[i], i == choice ? "checked" : "", false);
}

const char* const kTypePlaceholders[3] = {"%TYPE0%", "%TYPE1%", "%TYPE2%"};
const char* const kOptionPlaceholders[3] = {"%OPT0%", "%OPT1%", "%OPT2%"};

// The first-visit form: empty fields, type 0 and option "n" preselected.
void FillFirstVisit(CHobString& page) {
  page.Replace("%PATH%", "", false);
  page.Replace("%USER%", "", false);
  page.Replace("%PASS%", "", false);
  MarkChoice(page, kTypePlaceholders, 0);
  MarkChoice(page, kOptionPlaceholders, 0);
  page.Replace("<!--RESULT-->", "", false);
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

// The entry the tool prints for option "n", into entry. When the tool prints
// nothing, the entry is taken from a scratch password file shared by all
// requests, under the default lock; the scratch file is left empty on every
// path. Returns the key of the message on failure, else null.
const char* DisplayEntry(const CHobString& user, const CHobString& pass, int type,
                         CHobString& entry) {
  entry = CHobHtPasswd::Encrypt(user.m_pszText, pass.m_pszText, type);
  go.log.Trace("Encrypt=(%s)", entry.m_pszText);
  entry.Trim();
  if (!entry.IsEmpty() && entry != "-1") return nullptr;

  CHobFile lock;
  if (lock.Lock() != HOB_OK) return "msg90";
  const char* key =
      DriverMessage(CHobHtPasswd::WriteNew(kScratchFile, user.m_pszText, pass.m_pszText, type),
                    "msg08", "msg03", "msg44");
  entry = key == nullptr ? ReadText(kScratchFile) : CHobString();
  CHobFile scratch;
  scratch.WriteFile(kScratchFile, "", 0);
  return key;
}

// The fields of a submitted form, path normalised.
struct Submission {
  CHobString dir;  // the directory: separators normalised, no trailing "/"
  CHobString user;
  CHobString pass;
  CHobString type;
  CHobString option;
};

Submission ReadSubmission(const CHobForm& form) {
  Submission in;
  CHobStrPath path;
  CHobString entered = form.Value("path") + "/";
  path.Split(entered.m_pszText);
  in.dir = path.Directory("/");
  in.user = form.Value("user");
  in.pass = form.Value("pass");
  in.type = form.Value("type");
  in.option = form.Value("option");
  return in;
}

// The first check the submission fails, as a message key, or null.
const char* CheckSubmission(const Submission& in) {
  if (in.dir.IsEmpty()) return "msg00";
  if (in.dir == "." || in.dir.m_pszText[0] != '/') return "msg07";
  if (in.user.IsEmpty()) return "msg01";
  if (!IsSafeUserName(in.user)) return "msg11";
  if (in.pass.IsEmpty()) return "msg02";
  return nullptr;
}

// Handles a submitted form: checks the input, runs the chosen action and fills
// the form page with the entered values and the result. Returns the key of
// the message to answer with instead, or null when the page is the answer.
const char* Submit(const CHobForm& form, const CHobConfig& messages, CHobString& page) {
  Submission in = ReadSubmission(form);
  if (const char* key = CheckSubmission(in)) return key;

  page.Replace("%PATH%", HtmlEscape((in.dir + "/").m_pszText, true).m_pszText, false);
  page.Replace("%USER%", HtmlEscape(in.user.m_pszText, true).m_pszText, false);
  page.Replace("%PASS%", HtmlEscape(in.pass.m_pszText, true).m_pszText, false);
  if (in.type == "0" || in.type == "1" || in.type == "2") {
    MarkChoice(page, kTypePlaceholders, in.type.m_pszText[0] - '0');
  }
  int type = static_cast<int>(in.type);

  CHobString passwordFile = in.dir + kPasswordFileName;
  const char* user = in.user.m_pszText;
  const char* pass = in.pass.m_pszText;
  const char* key = nullptr;
  CHobString result;
  if (in.option == "n") {
    MarkChoice(page, kOptionPlaceholders, 0);
    CHobString entry;
    key = DisplayEntry(in.user, in.pass, type, entry);
    result = HtmlEscape((messages.Value("msg10") + "\n\n" + entry + "\n\n").m_pszText, true);
  } else if (in.option == "c") {
    MarkChoice(page, kOptionPlaceholders, 1);
    key = DriverMessage(CHobHtPasswd::WriteNew(passwordFile.m_pszText, user, pass, type), "msg08",
                        "msg03", "msg04");
  } else if (in.option == "a") {
    MarkChoice(page, kOptionPlaceholders, 2);
    key = DriverMessage(CHobHtPasswd::WriteAdd(passwordFile.m_pszText, user, pass, type), "msg08",
                        "msg05", "msg06");
  } else {
    // An unknown action runs nothing: the form comes back to choose one.
    MarkChoice(page, kOptionPlaceholders, -1);
    page.Replace("<!--RESULT-->", "", false);
    return nullptr;
  }
  if (key != nullptr) return key;
  result += AccessFileText(messages, passwordFile, in.user);
  page.Replace("<!--RESULT-->", result.m_pszText, false);
  return nullptr;
}

// Writes the message page built from "templ_info.html" with text, shown as it
// stands (a "%" in it is not a conversion) and cut to 4095 bytes.
void MessageForm(CHobHtml& html, const char* text) {
  go.log.Trace("MessageForm =====================================================");
  CHobString message = CHobString(text).Left(4095);
  CHobString page = ReadText(kInfoTemplate);
  page.Replace("%SIGNATURE%", ReadText(kSignatureFile).m_pszText, true);
  page.Replace("%MESSAGE%", message.m_pszText, true);
  html.WriteHttpHeader("text/html", "");
  html.WriteString(page.m_pszText);
  go.log.Trace("Program END  =====================================================\n\n");
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

  CHobHtml html;
  CHobConfig messages(false);
  CHobConfig settings(true);
  messages.ReadFile(kMessageFile);
  if (settings.ReadFile(kSystemFile, true) == HOB_LOCKED) {
    MessageForm(html, messages.Value("msg90").m_pszText);
    return 1;
  }

  CHobString logName = CHobString(kProgramName) + ".log";
  go.log.Initialize(logName.m_pszText);
  go.log.bTrace = static_cast<int>(settings.Value("opt_trace"));
  go.log.Trace("%s START =====================================================", kProgramName);

  CHobForm form;
  CHobString page = PrepareForm(settings);
  const char* key = nullptr;
  // A request with items but no "submit" (a stale link, a probe) gets the form.
  if (form.QueryString() == 0 || form.Data("submit") == nullptr) {
    FillFirstVisit(page);
  } else {
    key = Submit(form, messages, page);
  }
  if (key != nullptr) {
    MessageForm(html, messages.Value(key).m_pszText);
    return 1;
  }
  html.WriteHttpHeader("text/html", "");
  html.WriteString(page.m_pszText);
  go.log.Trace("%s  END  =====================================================\n\n", kProgramName);
  return 0;
}
