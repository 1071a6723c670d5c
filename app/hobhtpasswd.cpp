// hob-htpasswd.cgi: lets a site owner set up HTTP Basic authentication for a
// directory from a browser. A first visit gets the settings form; a submitted
// form is checked, the host's password tool is run to show an entry, create a
// password file, add, delete or verify a user, or the users are listed, and
// the form comes back filled with the result: for the first three, the text
// of the access-control file to put into the directory. Every rejected input
// or failure is answered with a message page and exit status 1.
#include "hobhtpasswd.h"

#include <fcntl.h>
#include <limits.h>
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "hobaccess.h"
#include "hobbuffer.h"
#include "hobconfig.h"
#include "hobdir.h"
#include "hobfile.h"
#include "hobform.h"
#include "hobglobal.h"
#include "hobhtml.h"
#include "hobpgsql.h"
#include "hobprobe.h"
#include "hobstring.h"
#include "hobstrpath.h"

extern char** environ;

namespace {

const char* const kProgramName = "hob-htpasswd.cgi";
const char* const kMessageFile = "dat-message.dat";
const char* const kSystemFile = "dat-system.dat";
const char* const kFormTemplate = "templ_config.html";
const char* const kInfoTemplate = "templ_info.html";
const char* const kSignatureFile = "sys-signature";
const char* const kAccessTemplate = "dat-htaccess.dat";
const char* const kNginxTemplate = "dat-nginx.dat";
const char* const kLighttpdTemplate = "dat-lighttpd.dat";
// The server configuration texts for users kept in the database.
const char* const kApacheDbTemplate = "dat-apache-pgsql.dat";
const char* const kLighttpdDbTemplate = "dat-lighttpd-pgsql.dat";
// The database helper, from the program's own directory.
const char* const kDbHelper = "../hob-htpasswd/hob-htpasswd-pg";
// The table of the users when the settings name none.
const char* const kDefaultTable = "hob_users";
// The largest access file the program changes: larger is no access file.
const int kMaxAccessFile = 1024 * 1024;
// Seconds the check from outside may take.
const int kCheckSeconds = 2;
// The scratch file of the display fallback, made private with mkstemp.
const char* const kScratchPrefix = "tmp.htpasswd";
constexpr char kScratchPattern[] = "tmp.htpasswd.XXXXXX";
// Scratch files of killed requests older than this are removed.
const int kStaleSeconds = 60;
// The password file in the directory to protect.
const char* const kPasswordFile = ".htpasswd";

// Headers of every page: never cached (it may show a password), never shown
// in a frame of another site, and its address not sent to other sites.
const char* const kPageHeaders =
    "Cache-Control: no-store\n"
    "X-Frame-Options: DENY\n"
    "Content-Security-Policy: frame-ancestors 'none'\n"
    "Referrer-Policy: same-origin\n";

// The largest request the form can need: a path of PATH_MAX bytes, a user
// name and a password, all percent-encoded, with room to spare. A larger one
// is refused before it is read or decoded.
const long kMaxRequestSize = 64 * 1024;

// The longest wait for a lock that the "lockwait" setting may ask for: a web
// server gives up on a program long before this.
const int kMaxLockWait = 60;

// The bcrypt costs the "bcryptcost" setting may name; any other gives 10.
const int kMinBcryptCost = 4;
const int kMaxBcryptCost = 17;

// What the settings ask of one request.
struct Settings {
  bool bWrite;            // "writemode": the actions that write files are offered and allowed
  int nLockWait;          // "lockwait": seconds to wait for a lock another request holds
  int nMinPassLen;        // "minpasslen": the fewest characters a new password may have
  int nDefaultType;       // "defaulttype": the hash type the first visit marks
  CHobString hostnames;   // "hostnames": the Host headers served, blank-separated; "": any
  CHobString basedirs;    // "basedir": the directories the program may work in; "": any
  CHobString accessFile;  // "accessfile": the access file to write the block into; "": none
  bool bSelfCheck;        // "selfcheck": ask the server whether the directory asks for a password
  CHobString store;       // "store": "" or "file" for password files, "pgsql" for a database table
  bool bDb;               // the users are kept in a PostgreSQL table
  CHobString dbConnInfo;  // "pgconninfo": the libpq connection string of the database
  CHobString dbPassFile;  // "pgpassfile": libpq's password file for it; "": libpq's default
  CHobString dbTable;     // "pgtable": the table of the users
};

// The hash types, in the order of their placeholders %TYPE0%...: crypt, MD5,
// SHA-1, bcrypt, SHA-256 crypt, SHA-512 crypt.
const int kTypeCount = 6;
const char* const kTypePlaceholders[kTypeCount] = {"%TYPE0%", "%TYPE1%", "%TYPE2%",
                                                   "%TYPE3%", "%TYPE4%", "%TYPE5%"};

// The actions of the form, in the order of their placeholders %OPT0%..., and
// the fields each one needs.
struct Action {
  const char* option;  // the value of the item "option"
  bool bWrites;        // changes a password file: refused while writemode is 0
  bool bDir;           // reads or writes the directory
  bool bUser;          // needs a user name
  bool bPass;          // needs a password
  bool bNewPass;       // the password is a new one: long enough, and repeated alike
  bool bType;          // needs a hash type
};
const Action kActions[] = {
    {"n", false, false, true, true, true, true},     // show the entry
    {"c", true, true, true, true, true, true},       // create the password file
    {"a", true, true, true, true, true, true},       // add the user
    {"l", false, true, false, false, false, false},  // list the users
    {"d", true, true, true, false, false, false},    // delete the user
    {"v", false, true, true, true, false, false},    // verify the password
    {"p", true, true, false, false, false, false},   // write the block into the access file
    {"u", true, true, false, false, false, false}};  // remove the block from it
// The action a successful create leaves marked, so that the next submit adds
// a user instead of making the file anew.
const int kActionAfterCreate = 2;
const int kActionCount = sizeof(kActions) / sizeof(kActions[0]);
const char* const kOptionPlaceholders[kActionCount] = {"%OPT0%", "%OPT1%", "%OPT2%", "%OPT3%",
                                                       "%OPT4%", "%OPT5%", "%OPT6%", "%OPT7%"};

// The index of the hash type named exactly by text ("0".."5"), or -1.
int FindType(const CHobString& text) {
  if (text.GetLength() != 1 || text.m_pszText[0] < '0' || text.m_pszText[0] >= '0' + kTypeCount) {
    return -1;
  }
  return text.m_pszText[0] - '0';
}

// The whole file as text; "" when it is missing or empty.
CHobString ReadText(const char* path) {
  CHobFile file;
  CHobBuffer contents = file.ReadFile(path);
  return CHobString(contents.data);
}

// The character reference for c, or null when c stands for itself; "%" is
// replaced only with bPercent.
const char* HtmlReference(char c, bool bPercent) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    case '\'':
      return "&#39;";
    case '%':
      return bPercent ? "&#37;" : nullptr;
    default:
      return nullptr;
  }
}

// Appends length bytes of text to out with the HTML-special characters
// replaced by character references, so that nothing a visitor typed becomes
// markup. With bPercent, "%" is replaced too: a value put into the page can
// then never look like one of the page's own %NAME% placeholders and be
// filled by a later replacement. Runs without special characters are copied
// whole.
template <typename Sink>
void AppendEscaped(Sink& out, const char* text, size_t length, bool bPercent) {
  const char* end = text + length;
  while (text < end) {
    const char* ref = nullptr;
    size_t run = 0;
    while (text + run < end && (ref = HtmlReference(text[run], bPercent)) == nullptr) run++;
    if (run > 0) out.Append(text, static_cast<unsigned>(run));
    text += run;
    if (ref == nullptr) break;
    out.Append(ref, static_cast<unsigned>(strlen(ref)));
    text++;
  }
}

// text escaped as AppendEscaped does.
CHobString HtmlEscape(const char* text, bool bPercent) {
  CHobBuffer buf;
  if (text != nullptr) AppendEscaped(buf, text, strlen(text), bPercent);
  return CHobString(buf.data);
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
// cannot be written; "msg90" for a password file in use, "msg17" for a user
// not in it, "msg92" for a full disk, "msg26" for a tool result that was not
// the change asked for, "msg27" for a file that cannot be read back.
const char* DriverMessage(int result, const char* runFailed, const char* missing,
                          const char* noAccess) {
  switch (result) {
    case HOB_HTP_REFUSED:
      return "msg26";
    case HOB_HTP_UNREADABLE:
      return "msg27";
    case HOB_HTP_RUN_FAILED:
      return runFailed;
    case HOB_HTP_MISSING:
      return missing;
    case HOB_HTP_NO_ACCESS:
      return noAccess;
    case HOB_HTP_BUSY:
      return "msg90";
    case HOB_HTP_NO_USER:
      return "msg17";
    case HOB_HTP_DISK_FULL:
      return "msg92";
    default:
      return nullptr;
  }
}

// Reads what the settings ask of the request. "filemode" (octal) becomes the
// mode of every file written and makes lock files private to the web
// server's user, so that no other local user can hold them; absent, every
// file is 0666 as before, and text that is no mode gives 0600.
Settings ApplySettings(const CHobConfig& settings) {
  Settings applied;
  applied.bWrite = static_cast<int>(settings.Value("writemode")) != 0;
  applied.nDefaultType = FindType(settings.Value("defaulttype"));
  if (applied.nDefaultType < 0) applied.nDefaultType = 0;
  int wait = static_cast<int>(settings.Value("lockwait"));
  applied.nLockWait = wait < 0 ? 0 : wait > kMaxLockWait ? kMaxLockWait : wait;
  int minimum = static_cast<int>(settings.Value("minpasslen"));
  applied.nMinPassLen = minimum < 1 ? 1 : minimum;
  CHobString cost = settings.Value("bcryptcost");
  int bits = static_cast<int>(cost);
  go.nBcryptCost = cost.IsEmpty()                                     ? 0
                   : bits >= kMinBcryptCost && bits <= kMaxBcryptCost ? bits
                                                                      : 10;
  applied.hostnames = settings.Value("hostnames");
  applied.basedirs = settings.Value("basedir");
  // A name in the directory itself: one holding "/" would reach another.
  applied.accessFile = settings.Value("accessfile");
  if (applied.accessFile.Find("/") >= 0 || applied.accessFile == "." ||
      applied.accessFile == "..") {
    applied.accessFile = "";
  }
  applied.bSelfCheck = static_cast<int>(settings.Value("selfcheck")) != 0;
  applied.store = settings.Value("store");
  applied.bDb = applied.store == "pgsql";
  applied.dbConnInfo = settings.Value("pgconninfo");
  applied.dbPassFile = settings.Value("pgpassfile");
  applied.dbTable = settings.Value("pgtable");
  if (applied.dbTable.IsEmpty()) applied.dbTable = kDefaultTable;
  CHobString mode = settings.Value("filemode");
  if (!mode.IsEmpty()) {
    char* end = nullptr;
    long bits = strtol(mode.m_pszText, &end, 8);
    go.nFileMode = *end == '\0' && bits >= 0 && bits <= 07777 ? static_cast<int>(bits) : 0600;
    go.bFileMode = true;
    go.nLockMode = 0600;
  }
  return applied;
}

// The web servers whose own configuration text the program knows.
enum Server { kApache, kNginx, kLighttpd, kOtherServer };

// The web server the program runs under, by SERVER_SOFTWARE.
Server ServerKind() {
  CHobString software = go.env.SERVER_SOFTWARE.ToLower();
  if (software.Left(6) == "apache") return kApache;
  if (software.Left(5) == "nginx") return kNginx;
  if (software.Left(8) == "lighttpd") return kLighttpd;
  return kOtherServer;
}

// True when the web server reads the users through an SQL backend that
// checks crypt(3) hashes only, as lighttpd's does: bcrypt, SHA-256 and
// SHA-512 crypt.
bool CryptHashesOnly(const Settings& settings) { return settings.bDb && ServerKind() == kLighttpd; }

// True when type is a hash type the form offers: one the web server can
// check where the users are kept.
bool IsOfferedType(int type, const Settings& settings) {
  if (type < 0) return false;
  return !CryptHashesOnly(settings) || type == 3 || type == 4 || type == 5;
}

// Reads the form template and fills what does not depend on the request.
CHobString PrepareForm(const CHobConfig& settings, const CHobConfig& messages,
                       const Settings& applied) {
  CHobString page = ReadText(kFormTemplate);
  page.Replace("%SIGNATURE%", ReadText(kSignatureFile).m_pszText, true);
  // SERVER_NAME may come from the request's Host header.
  page.Replace("%DOMAIN%", HtmlEscape(go.env.SERVER_NAME.m_pszText, true).m_pszText, true);
  if (!applied.bWrite) {
    page.Replace("<!--WRITE-->", "<!--/WRITE-->", "", true);
  }
  // The users in a database are protected by the server's configuration,
  // never by lines in the access file.
  if (applied.accessFile.IsEmpty() || applied.bDb) {
    page.Replace("<!--ACCESS-->", "<!--/ACCESS-->", "", true);
  }
  if (CryptHashesOnly(applied)) page.Replace("<!--NOSQL-->", "<!--/NOSQL-->", "", true);
  CHobString store;
  if (applied.bDb) {
    store = CHobString("<p>") + messages.Value("msg78") + "</p>";
    store.Replace("%TEXT%", HtmlEscape(applied.dbTable.m_pszText, true).m_pszText, true);
  }
  page.Replace("%STORE%", store.m_pszText, true);
  page.Replace("%MINPASSLEN%", CHobString(applied.nMinPassLen).m_pszText, true);
  go.strHtpasswd = settings.Value("htpasswd");
  return page;
}

// Marks the radio button of choice among placeholders[0..count-1]; any other
// choice clears them all.
void MarkChoice(CHobString& page, const char* const placeholders[], int count, int choice) {
  for (int i = 0; i < count; i++) {
    page.Replace(placeholders[i], i == choice ? "checked" : "", false);
  }
}

// The first-visit form: empty fields, the default type and option "n"
// preselected.
void FillFirstVisit(CHobString& page, const Settings& settings) {
  page.Replace("%PATH%", "", false);
  page.Replace("%USER%", "", false);
  page.Replace("%PASS%", "", false);
  MarkChoice(page, kTypePlaceholders, kTypeCount,
             IsOfferedType(settings.nDefaultType, settings) ? settings.nDefaultType : 3);
  MarkChoice(page, kOptionPlaceholders, kActionCount, 0);
  page.Replace("%RESULTHIDDEN%", "hidden", false);
  page.Replace("%STATUS%", "", false);
  page.Replace("<!--RESULT-->", "", false);
}

// What a message names: a number (%N%) and a text (%TEXT%, escaped).
struct Detail {
  Detail() : number(0) {}
  int number;
  CHobString text;
};

// The document root of the server, links resolved; "" when unknown.
// A server that sets DOCUMENT_ROOT for its alias of the program's directory
// and then the one the site's configuration names passes both: the last one
// is the site's.
CHobString DocumentRoot() {
  const char* root = nullptr;
  for (char** variable = environ; *variable != nullptr; variable++) {
    if (strncmp(*variable, "DOCUMENT_ROOT=", 14) == 0) root = *variable + 14;
  }
  char real[PATH_MAX];
  if (root == nullptr || *root == '\0' || realpath(root, real) == nullptr) return CHobString();
  return CHobString(real);
}

// The URL path of the directory resolved (links resolved) as a server's
// configuration names it: "/", its path under the document root and "/",
// with '"' and "\" escaped for a quoted string; "" when it does not lie
// under the document root.
CHobString LocationOf(const CHobString& resolved) {
  CHobString root = DocumentRoot();
  if (root.IsEmpty() || resolved.IsEmpty()) return CHobString();
  if (root == "/") root = "";
  CHobString rest;
  if (resolved != root) {
    if (resolved.Left(root.GetLength() + 1) != root + "/") return CHobString();
    rest = resolved.Mid(root.GetLength() + 1);
  }
  CHobString location = "/";
  for (const char* p = rest.m_pszText; *p != '\0'; p++) {
    if (*p == '"' || *p == '\\') location += "\\";
    char one[2] = {*p, '\0'};
    location += one;
  }
  if (location.Right(1) != "/") location += "/";
  return location;
}

// The text of template under the heading of key, escaped for the page, with
// the password file, the user and the location filled in.
CHobString TemplateText(const CHobConfig& messages, const char* key, const char* templatePath,
                        const CHobString& passwordFile, const CHobString& user,
                        const CHobString& location) {
  CHobString text = messages.Value(key) + "\n\n" + ReadText(templatePath);
  text = HtmlEscape(text.m_pszText, false);
  text.Replace("%FILE%", HtmlEscape(passwordFile.m_pszText, true).m_pszText, false);
  text.Replace("%USER%", HtmlEscape(user.m_pszText, true).m_pszText, false);
  text.Replace("%LOCATION%", HtmlEscape(location.m_pszText, true).m_pszText, false);
  if (text.Right(1) != "\n") text += "\n";
  return text;
}

// The text that protects the directory in the configuration of a server that
// reads no access file, under its heading: for nginx (when the site has its
// template) and lighttpd; "" for Apache. A directory outside the document
// root gets nginx's placeholder location.
CHobString ServerText(const CHobConfig& messages, Server server, const CHobString& passwordFile,
                      const CHobString& user, const CHobString& resolved) {
  CHobString location = LocationOf(resolved);
  if (server == kLighttpd) {
    return TemplateText(messages, "msg35", kLighttpdTemplate, passwordFile, user,
                        location.IsEmpty() ? CHobString("/protected/") : location);
  }
  if (server == kApache || ReadText(kNginxTemplate).IsEmpty()) return CHobString();
  return TemplateText(messages, "msg22", kNginxTemplate, passwordFile, user,
                      location.IsEmpty() ? CHobString("/protected/") : location);
}

// The access-control file text under its heading, with the text for the
// server's own configuration where it reads no access file: nginx's first,
// then the access file's; lighttpd's alone; for Apache the access file's
// alone; for another server both, the access file's first.
CHobString AccessFileText(const CHobConfig& messages, const CHobString& passwordFile,
                          const CHobString& user, const CHobString& resolved) {
  Server server = ServerKind();
  CHobString own = ServerText(messages, server, passwordFile, user, resolved);
  if (server == kLighttpd) return own;
  CHobString access =
      TemplateText(messages, "msg09", kAccessTemplate, passwordFile, user, LocationOf(resolved));
  if (own.IsEmpty()) return access;
  return server == kNginx ? own + "\n" + access : access + "\n" + own;
}

// A private scratch file in the working directory (mode 0600, a name no other
// request uses), removed again when the object goes.
class ScratchFile {
 public:
  ScratchFile() {
    // Those of requests that were killed go first.
    CHobDir work;
    if (work.Open(".") == HOB_DIR_OK) work.RemoveStale(kScratchPrefix, kStaleSeconds);
    memcpy(m_szPath, kScratchPattern, sizeof(kScratchPattern));
    int fd = mkstemp(m_szPath);
    if (fd >= 0) close(fd);
    m_bMade = fd >= 0;
  }
  ~ScratchFile() {
    if (m_bMade) unlink(m_szPath);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  bool m_bMade;
  char m_szPath[sizeof(kScratchPattern)];
};

// The entry the tool prints for option "n", into entry. When the tool prints
// nothing, the entry is taken from a private scratch password file, which is
// gone again on every path. Returns the key of the message on failure, else
// null.
const char* DisplayEntry(const CHobString& user, const CHobString& pass, int type,
                         CHobString& entry) {
  entry = CHobHtPasswd::Encrypt(user.m_pszText, pass.m_pszText, type);
  // The hash stays out of the trace: the log may be readable by others.
  go.log.Trace("Encrypt=(%s)", entry.GetToken(":", true).m_pszText);
  entry.Trim();
  if (!entry.IsEmpty() && entry != "-1") return nullptr;

  ScratchFile scratch;
  if (!scratch.m_bMade) return "msg44";
  const char* key = DriverMessage(
      CHobHtPasswd::WriteScratch(scratch.m_szPath, user.m_pszText, pass.m_pszText, type), "msg08",
      "msg03", "msg44");
  entry = key == nullptr ? ReadText(scratch.m_szPath) : CHobString();
  return key;
}

// The position of the ":" that starts the port of "host[:port]" (the last
// one outside an IPv6 address's brackets), or -1 when it names no port.
int PortAt(const CHobString& hostAndPort) {
  int colon = -1;
  for (int at = hostAndPort.Find(":", hostAndPort.Find("]") + 1); at >= 0;
       at = hostAndPort.Find(":", at + 1)) {
    colon = at;
  }
  return colon;
}

// "scheme://host[:port]" in lower case, without the scheme's default port:
// the form of an origin that compares equal for equal origins.
CHobString NormalOrigin(const CHobString& scheme, const CHobString& hostAndPort) {
  CHobString host = hostAndPort.ToLower();
  int colon = PortAt(host);
  CHobString defaultPort = scheme == "https" ? ":443" : ":80";
  if (colon >= 0 && host.Mid(colon) == defaultPort) host = host.Left(colon);
  return scheme.ToLower() + "://" + host;
}

// The origin of a URL ("https://example.test/x?y" gives "https://example.test"),
// or "" when text is no absolute http or https URL.
CHobString OriginOf(const CHobString& url) {
  int separator = url.Find("://");
  if (separator <= 0) return CHobString();
  CHobString scheme = url.Left(separator).ToLower();
  if (scheme != "http" && scheme != "https") return CHobString();
  CHobString rest = url.Mid(separator + 3);
  int end = rest.FindOneOf("/?#");
  return NormalOrigin(scheme, end >= 0 ? rest.Left(end) : rest);
}

// "https" when the request came over TLS, else "http".
CHobString RequestScheme() {
  const char* https = getenv("HTTPS");
  return https != nullptr && CHobString(https).Compare("on", 1) == 0 ? "https" : "http";
}

// True when origin is that of this program's own pages: the request's Host
// header (else the server's name) with the port it names. Some servers pass
// the Host header without its port; the server's port then counts too.
bool IsOwnOrigin(const CHobString& origin) {
  CHobString scheme = RequestScheme();
  CHobString host = go.env.HTTP_HOST.IsEmpty() ? go.env.SERVER_NAME : go.env.HTTP_HOST;
  if (origin == NormalOrigin(scheme, host)) return true;
  return PortAt(host) < 0 && !go.env.SERVER_PORT.IsEmpty() &&
         origin == NormalOrigin(scheme, host + ":" + go.env.SERVER_PORT);
}

// True when the request may be a submit: a POST that the owner sent by
// submitting this program's own form. A page on another site can make the
// browser post a form here with the owner's cached credentials, and a script
// on any page of this site can post one too; the browser says where a
// request comes from and whether the person started it, and anything but
// the person's own submit of a page of this origin is refused. Clients that
// send none of these headers (command-line tools) are served.
bool IsOwnFormPost() {
  if (go.env.REQUEST_METHOD != "POST") return false;
  CHobString site = getenv("HTTP_SEC_FETCH_SITE");
  if (!site.IsEmpty()) {
    if (site != "same-origin" && site != "none") return false;
    if (CHobString(getenv("HTTP_SEC_FETCH_MODE")) != "navigate" ||
        CHobString(getenv("HTTP_SEC_FETCH_DEST")) != "document" ||
        CHobString(getenv("HTTP_SEC_FETCH_USER")) != "?1") {
      return false;
    }
  }
  CHobString origin = getenv("HTTP_ORIGIN");
  if (!origin.IsEmpty()) return IsOwnOrigin(OriginOf(origin));
  return go.env.HTTP_REFERER.IsEmpty() || IsOwnOrigin(OriginOf(go.env.HTTP_REFERER));
}

// True when the request is larger than the form can need: its body or query
// string is then neither read nor decoded.
bool IsOversized() {
  return (go.env.REQUEST_METHOD.Compare("POST", 1) == 0 &&
          static_cast<long>(go.env.CONTENT_LENGTH) > kMaxRequestSize) ||
         go.env.QUERY_STRING.GetLength() > kMaxRequestSize;
}

// The next blank-separated word of a list at *p, into word, moving *p past
// it; false when none is left.
bool NextWord(const char*& p, CHobString& word) {
  p += strspn(p, " \t");
  size_t length = strcspn(p, " \t");
  if (length == 0) return false;
  word = CHobString(p).Left(static_cast<int>(length));
  p += length;
  return true;
}

// True when the settings name no host names, or the request's Host header
// is one of them. A page of a host name that merely leads to this server,
// such as a rebinding attacker's, then gets nothing, whatever its origin.
bool IsKnownHost(const CHobString& hostnames) {
  if (hostnames.IsEmpty()) return true;
  if (go.env.HTTP_HOST.IsEmpty()) return false;
  CHobString scheme = RequestScheme();
  CHobString host = NormalOrigin(scheme, go.env.HTTP_HOST);
  // Some servers pass the Host header on without its port: the server's
  // port then counts too.
  CHobString withPort = PortAt(go.env.HTTP_HOST) < 0 && !go.env.SERVER_PORT.IsEmpty()
                            ? NormalOrigin(scheme, go.env.HTTP_HOST + ":" + go.env.SERVER_PORT)
                            : host;
  CHobString known;
  for (const char* p = hostnames.m_pszText; NextWord(p, known);) {
    CHobString listed = NormalOrigin(scheme, known);
    if (listed == host || listed == withPort) return true;
  }
  return false;
}

// dir, an absolute path, with its "." and ".." components resolved as text.
CHobString LexicalPath(const CHobString& dir) {
  CHobStrPath path;
  CHobString entered = dir + "/";
  path.Split(entered.m_pszText);
  CHobStrAry kept(0, 10);
  for (int i = 0; i < path.m_aryDir.count; i++) {
    const CHobString& part = path.m_aryDir.items[i];
    if (part.IsEmpty() || part == ".") continue;
    if (part == "..") {
      if (kept.count > 0) kept.SetSize(kept.count - 1, true);
    } else {
      kept.Add(part.m_pszText);
    }
  }
  CHobString joined;
  for (int i = 0; i < kept.count; i++) joined += CHobString("/") + kept.items[i];
  return joined.IsEmpty() ? CHobString("/") : joined;
}

// True when resolved, an absolute path with no link and no "..", lies in one
// of the directories of the list basedirs (each resolved as it is now).
bool IsInsideBase(const CHobString& resolved, const CHobString& basedirs) {
  if (resolved.IsEmpty()) return false;
  CHobString word;
  for (const char* p = basedirs.m_pszText; NextWord(p, word);) {
    char real[PATH_MAX];
    if (realpath(word.m_pszText, real) == nullptr) continue;
    CHobString base = real;
    if (base == "/" || resolved == base || resolved.Left(base.GetLength() + 1) == base + "/") {
      return true;
    }
  }
  return false;
}

// The fields of a submitted form, path normalised.
struct Submission {
  CHobString dir;  // the directory: separators normalised, no trailing "/"
  CHobString user;
  CHobString pass;
  bool bPass2;  // the form repeated the password
  CHobString pass2;
  CHobString type;
  CHobString option;
  bool bReplace;  // create may replace a password file that holds users
};

Submission ReadSubmission(const CHobForm& form) {
  Submission in;
  CHobStrPath path;
  CHobString entered = form.Value("path") + "/";
  path.Split(entered.m_pszText);
  in.dir = path.Directory("/");
  in.user = form.Value("user");
  in.pass = form.Value("pass");
  in.bPass2 = form.Data("pass2") != nullptr;
  in.pass2 = form.Value("pass2");
  in.type = form.Value("type");
  in.option = form.Value("option");
  in.bReplace = form.Value("replace") == "1";
  return in;
}

// The index of the action named option, or -1.
int FindAction(const CHobString& option) {
  for (int i = 0; i < kActionCount; i++) {
    if (option == kActions[i].option) return i;
  }
  return -1;
}

// The characters of text: its bytes but UTF-8 continuation bytes.
int CharacterCount(const CHobString& text) {
  int count = 0;
  for (const char* p = text.m_pszText; *p != '\0'; p++) {
    if ((static_cast<unsigned char>(*p) & 0xC0) != 0x80) count++;
  }
  return count;
}

// The first check the submission fails, as a message key, or null; number
// gets what the message names (the shortest password allowed). An unknown
// action is checked as one that needs a user name and a password.
const char* CheckSubmission(const CHobForm& form, const Submission& in, const Settings& settings,
                            int& number) {
  int found = FindAction(in.option);
  const Action unknown = {"", false, false, true, true, false, false};
  const Action& action = found >= 0 ? kActions[found] : unknown;
  if (action.bWrites && !settings.bWrite) return "msg15";
  if (form.Value("path").GetLength() >= PATH_MAX) return "msg14";
  if (in.dir.IsEmpty()) return "msg00";
  if (in.dir == "." || in.dir.m_pszText[0] != '/') return "msg07";
  if (action.bUser && in.user.IsEmpty()) return "msg01";
  if (action.bUser && !IsSafeUserName(in.user)) return "msg11";
  if (action.bPass && in.pass.IsEmpty()) return "msg02";
  // The password reaches the tool as one line on its standard input.
  if (action.bPass && in.pass.FindOneOf("\r\n") >= 0) return "msg16";
  // A form that asks for the password twice gets it twice alike; a request
  // without the second field (a script's) is served as it stands.
  if (action.bNewPass && in.bPass2 && in.pass2 != in.pass) return "msg25";
  if (action.bNewPass && CharacterCount(in.pass) < settings.nMinPassLen) {
    number = settings.nMinPassLen;
    return "msg24";
  }
  if (action.bType && !IsOfferedType(FindType(in.type), settings)) return "msg13";
  return nullptr;
}

// The path of the directory open as dir, or, where it could not be opened,
// of what typed names now (a link as its last component followed), or of
// typed with ".." resolved as text when it names nothing.
CHobString ResolvedPath(const CHobDir& dir, const CHobString& typed) {
  if (dir.m_nFd >= 0) return dir.RealPath();
  char real[PATH_MAX];
  return realpath(typed.m_pszText, real) != nullptr ? CHobString(real) : LexicalPath(typed);
}

// Opens the directory of in for action and checks where it lies. Returns
// the key of the message that refuses it, or null. With base directories
// set, every action, show included, is refused outside them.
const char* OpenDirectory(const Submission& in, const Action& action, const Settings& settings,
                          CHobDir& dir) {
  int opened = dir.Open(in.dir.m_pszText);
  if (!settings.basedirs.IsEmpty() && !IsInsideBase(ResolvedPath(dir, in.dir), settings.basedirs)) {
    return "msg43";
  }
  if (!action.bDir) return nullptr;
  // Users in a database need a directory that is there, nothing more:
  // nothing is read or written in it.
  if (settings.bDb) {
    return opened == HOB_DIR_MISSING ? "msg03" : opened == HOB_DIR_NOT_DIR ? "msg28" : nullptr;
  }
  switch (opened) {
    case HOB_DIR_OK:
      break;
    case HOB_DIR_MISSING:
      return "msg03";
    case HOB_DIR_NOT_DIR:
      return "msg28";
    case HOB_DIR_LINK:
      return "msg04";
    default:
      return action.bWrites ? "msg04" : "msg06";
  }
  // A password file there protects nothing: any local user may replace it.
  return dir.IsOpenToAll() ? "msg42" : nullptr;
}

// The users of a password file or of the database, opened by a list and
// written into the page by main as they are read, where the page's result
// marker is.
struct Listing {
  Listing() : bOpen(false), pDbUsers(nullptr) {}
  bool bOpen;          // the users are open and go into the page
  CHobString heading;  // their heading, escaped
  CHobHtList users;
  CHobPgUsers* pDbUsers;  // the database's users instead, or null
};

// The connection to the database and its table of users, held until the
// page is written.
struct Database {
  explicit Database(const char* table) : users(db, table) {}
  CHobPgSql db;
  CHobPgUsers users;
};

// A status text of the catalogue with %USER% (escaped) and %N% filled in.
CHobString StatusText(const CHobConfig& messages, const char* key, const CHobString& user,
                      int number) {
  CHobString text = messages.Value(key);
  text.Replace("%USER%", HtmlEscape(user.m_pszText, true).m_pszText, true);
  text.Replace("%N%", CHobString(number).m_pszText, true);
  return text;
}

// A line of the result: the catalogue text of key with %TEXT% and %N% filled
// in, as plain text (escaped with the rest of the result), ended by a line
// feed.
CHobString ResultLine(const CHobConfig& messages, const char* key, const CHobString& text,
                      int number = 0) {
  CHobString line = messages.Value(key);
  line.Replace("%TEXT%", text.m_pszText, true);
  line.Replace("%N%", CHobString(number).m_pszText, true);
  return line + "\n";
}

// The access file of a directory across a change of the program's block.
struct AccessChange {
  AccessChange() : bExisted(false), bChanged(false), bFound(false) {}
  CHobBuffer before;  // its bytes before the change
  bool bExisted;      // it was there before
  bool bChanged;      // the change wrote or removed it
  bool bFound;        // it held the program's block before
};

// The access file name in dir and its line lineNumber, for msg29.
void DescribeLine(const CHobBuffer& text, int lineNumber, Detail& detail) {
  detail.number = lineNumber;
  const char* p = text.data;
  const char* end = text.data + text.length;
  for (int line = 1; p != nullptr && p < end && line < lineNumber; line++) {
    p = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
    if (p != nullptr) p++;
  }
  if (p == nullptr || p >= end) return;
  const char* stop = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
  detail.text = CHobString(CHobBuffer(p, static_cast<unsigned>((stop ? stop : end) - p)).data);
}

// Reads the access file of dir into change: the key of the message that
// refuses to touch it (a link, unreadable, or, unless bRemove, one that sets
// up a password by lines of its own: msg29 with the line), or null.
const char* ReadAccessFile(const CHobDir& dir, const Settings& settings, bool bRemove,
                           AccessChange& change, Detail& detail) {
  int read = dir.ReadFile(settings.accessFile.m_pszText, change.before, kMaxAccessFile);
  change.bExisted = read >= 0;
  if (read < 0 && read != -ENOENT) return "msg04";
  CHobString line;
  int lineNumber =
      bRemove ? 0 : CHobAccess::FindForeignAuth(change.before.data, change.before.length, line);
  if (lineNumber > 0) {
    detail.number = lineNumber;
    detail.text = line;
    return "msg29";
  }
  return nullptr;
}

// Writes the program's block holding block into the access file of dir, or
// with bRemove takes it out (an access file left empty is removed), under
// the lock beside the password file; the lines outside the block stay as
// they are. Returns the key of the message that refuses it (detail: the
// line at fault), or null with what was done in change.
const char* ChangeAccessFile(const CHobDir& dir, const Settings& settings, const CHobString& block,
                             bool bRemove, AccessChange& change, Detail& detail) {
  CHobFlock lock;
  CHobString lockName = CHobString(kPasswordFile) + ".lock";
  int locked = lock.LockAt(dir.m_nFd, lockName.m_pszText, false, settings.nLockWait);
  if (locked == HOB_LOCKED) return "msg90";
  if (locked != HOB_OK) return "msg04";
  if (const char* key = ReadAccessFile(dir, settings, bRemove, change, detail)) return key;
  CHobBuffer after;
  int stray = 0;
  int made = bRemove ? CHobAccess::WithoutBlock(change.before.data, change.before.length, after,
                                                change.bFound, &stray)
                     : CHobAccess::WithBlock(change.before.data, change.before.length,
                                             block.m_pszText, after, &stray);
  if (made != HOB_ACCESS_OK) {
    DescribeLine(change.before, stray, detail);
    return "msg29";
  }
  // Never rename into place a file whose owner's lines are not all there.
  if (!CHobAccess::KeepsOutsideLines(change.before.data, change.before.length, after.data,
                                     after.length)) {
    return "msg26";
  }
  if (change.bExisted && after.length == change.before.length &&
      memcmp(after.data, change.before.data, static_cast<size_t>(after.length)) == 0) {
    return nullptr;
  }
  const char* name = settings.accessFile.m_pszText;
  int written = bRemove && after.length == 0 ? (change.bExisted ? dir.Remove(name) : 0)
                                             : dir.WriteFile(name, after.data, after.length,
                                                             go.bFileMode ? go.nFileMode : -1);
  if (written == -ENOSPC || written == -EDQUOT) return "msg92";
  if (written != 0) return "msg04";
  change.bChanged = true;
  return nullptr;
}

// Puts the access file of dir back as change found it: true when it is.
bool RestoreAccessFile(const CHobDir& dir, const Settings& settings, const AccessChange& change) {
  CHobFlock lock;
  CHobString lockName = CHobString(kPasswordFile) + ".lock";
  if (lock.LockAt(dir.m_nFd, lockName.m_pszText, false, settings.nLockWait) != HOB_OK) {
    return false;
  }
  const char* name = settings.accessFile.m_pszText;
  if (!change.bExisted) return dir.Remove(name) == 0;
  return dir.WriteFile(name, change.before.data, change.before.length,
                       go.bFileMode ? go.nFileMode : -1) == 0;
}

// The status the server answers for the directory resolved when asked
// without credentials, with its URL in url; -1 when it could not be asked or
// gave no answer, with the reason in reason.
int CheckFromOutside(const CHobConfig& messages, const CHobString& resolved, CHobString& url,
                     CHobString& reason) {
  CHobString path = CHobProbe::UrlPath(resolved.m_pszText, DocumentRoot().m_pszText);
  if (path.IsEmpty()) {
    reason = messages.Value("msg56");
    return -1;
  }
  CHobString scheme = RequestScheme();
  url = scheme + "://" + go.env.HTTP_HOST + path;
  return CHobProbe::Status(go.env.SERVER_ADDR.m_pszText, go.env.SERVER_PORT.m_pszText,
                           go.env.HTTP_HOST.m_pszText, path.m_pszText, scheme == "https",
                           kCheckSeconds, reason);
}

// True for the answers of a server that does not ask for a password.
bool IsOpenAnswer(int status) {
  return (status >= 200 && status < 400) || status == 403 || status == 404;
}

// The lines that start the result of protecting the directory (create and
// protect): where the lines were written, then what the check from outside
// found; the key of the status that sums it up in status. A server that
// answers 500 right after the lines were written refuses them: the access
// file is then put back as it was.
CHobString ProtectedLines(const CHobConfig& messages, const CHobDir& dir, const Settings& settings,
                          const CHobString& resolved, const AccessChange& change,
                          const char*& status) {
  CHobString accessPath = resolved + "/" + settings.accessFile;
  CHobString lines = ResultLine(messages, "msg30", accessPath);
  status = "msg81";
  if (!settings.bSelfCheck) return lines;
  CHobString url, reason;
  int answer = CheckFromOutside(messages, resolved, url, reason);
  Server server = ServerKind();
  const char* fix = server == kNginx || server == kLighttpd ? "msg54" : "msg53";
  if (answer == 401) {
    status = "msg59";
    return lines + ResultLine(messages, "msg31", url);
  }
  if (IsOpenAnswer(answer)) {
    status = "msg79";
    return lines + ResultLine(messages, "msg32", url) + ResultLine(messages, fix, url);
  }
  if (answer == 500) {
    status = "msg80";
    lines = ResultLine(messages, "msg32", url) + ResultLine(messages, "msg53", url);
    if (!change.bChanged) return lines;
    return lines + ResultLine(messages,
                              RestoreAccessFile(dir, settings, change) ? "msg55" : "msg57",
                              accessPath);
  }
  if (answer >= 0) reason = ResultLine(messages, "msg58", url, answer);
  reason.Replace("\n", "", true);
  return lines + ResultLine(messages, "msg33", reason);
}

// The lines that start the result of unprotect: whether the program's lines
// were there and removed, then what the check from outside found.
CHobString UnprotectedLines(const CHobConfig& messages, const Settings& settings,
                            const CHobString& resolved, const AccessChange& change) {
  CHobString lines =
      ResultLine(messages, change.bFound ? "msg36" : "msg50", resolved + "/" + settings.accessFile);
  if (!settings.bSelfCheck) return lines;
  CHobString url, reason;
  int status = CheckFromOutside(messages, resolved, url, reason);
  if (status == 401) return lines + ResultLine(messages, "msg34", url);
  if (IsOpenAnswer(status)) return lines + ResultLine(messages, "msg52", url);
  if (status >= 0) reason = ResultLine(messages, "msg58", url, status);
  reason.Replace("\n", "", true);
  return lines + ResultLine(messages, "msg33", reason);
}

// The block of the access file: the access-file template with the password
// file and the user filled in.
CHobString AccessBlock(const CHobString& passwordFile, const CHobString& user) {
  CHobString block = ReadText(kAccessTemplate);
  block.Replace("%FILE%", passwordFile.m_pszText, false);
  block.Replace("%USER%", user.m_pszText, false);
  return block;
}

// Protects the directory open as dir by the program's block in its access
// file (create and protect): the key of the message that refuses it, or null
// with the result text (escaped) in result and the status line (HTML) that
// sums it up appended to status. Under a server that reads no access file
// the text for its own configuration comes before the lines written.
const char* Protect(const CHobConfig& messages, const CHobDir& dir, const Settings& settings,
                    const CHobString& resolved, const CHobString& user, CHobString& status,
                    CHobString& result, Detail& detail) {
  CHobString passwordFile = resolved + "/" + kPasswordFile;
  CHobString block = AccessBlock(passwordFile, user);
  AccessChange change;
  if (const char* key = ChangeAccessFile(dir, settings, block, false, change, detail)) return key;
  const char* outcome = nullptr;
  CHobString lines = ProtectedLines(messages, dir, settings, resolved, change, outcome);
  if (!status.IsEmpty()) status += " ";
  status += StatusText(messages, outcome, user, 0);
  result = HtmlEscape(lines.m_pszText, true);
  CHobString own = ServerText(messages, ServerKind(), passwordFile, user, resolved);
  if (!own.IsEmpty()) result += CHobString("\n") + own;
  result += CHobString("\n") + HtmlEscape(block.m_pszText, true);
  return nullptr;
}

// Runs the action of in on the password file of the directory open as dir.
// Returns the key of the message to answer with (detail: what it names), or
// null with the status line (HTML) in status and the result text for the
// page in result (for list: in listing).
const char* RunAction(int action, const Submission& in, const CHobDir& dir,
                      const CHobConfig& messages, const Settings& settings, Listing& listing,
                      CHobString& status, CHobString& result, Detail& detail) {
  const char* user = in.user.m_pszText;
  const char* pass = in.pass.m_pszText;
  int type = FindType(in.type);
  int wait = settings.nLockWait;
  const bool writesAccess = !settings.accessFile.IsEmpty();
  CHobString resolved = dir.RealPath();
  if (resolved.IsEmpty()) resolved = in.dir;
  CHobHtCount count = {0, 0, false};
  const char* key = nullptr;
  const char* heading = nullptr;  // the result of delete and verify
  switch (kActions[action].option[0]) {
    case 'n': {
      // Nothing is written, and no access-file text is shown: following it
      // without a password file would lock every user out.
      CHobString entry;
      key = DisplayEntry(in.user, in.pass, type, entry);
      result = HtmlEscape((messages.Value("msg10") + "\n\n" + entry + "\n").m_pszText, true);
      status = StatusText(messages, "msg48", in.user, 0);
      return key;
    }
    case 'c': {
      // The access file is looked at first: one that protects the
      // directory by lines of its own leaves everything as it is.
      AccessChange unchanged;
      if (writesAccess && (key = ReadAccessFile(dir, settings, false, unchanged, detail))) {
        return key;
      }
      int made =
          CHobHtPasswd::WriteNew(dir, kPasswordFile, user, pass, type, in.bReplace, wait, &count);
      if (made == HOB_HTP_HAS_USERS) {
        detail.number = count.nUsers;
        return "msg23";
      }
      if ((key = DriverMessage(made, "msg08", "msg03", "msg04")) != nullptr) return key;
      status = StatusText(messages, count.bExisted ? "msg46" : "msg45", in.user, count.nUsers);
      if (writesAccess) {
        return Protect(messages, dir, settings, resolved, in.user, status, result, detail);
      }
      result = AccessFileText(messages, resolved + "/" + kPasswordFile, in.user, resolved);
      return nullptr;
    }
    case 'a':
      key =
          DriverMessage(CHobHtPasswd::WriteAdd(dir, kPasswordFile, user, pass, type, wait, &count),
                        "msg08", "msg05", "msg06");
      status = StatusText(messages, count.nBefore > 0 ? "msg38" : "msg37", in.user, count.nUsers);
      // A site whose access file the program writes is protected by create.
      if (key == nullptr && !writesAccess) {
        result = AccessFileText(messages, resolved + "/" + kPasswordFile, in.user, resolved);
      }
      return key;
    case 'l': {
      int users = CHobHtPasswd::OpenList(dir, kPasswordFile, wait, listing.users);
      if ((key = DriverMessage(users, "msg08", "msg05", "msg06")) != nullptr) return key;
      CHobString text = messages.Value("msg18") + " (" + CHobString(users) + ")\n\n";
      listing.heading = HtmlEscape(text.m_pszText, true);
      listing.bOpen = true;
      status = StatusText(messages, "msg49", in.user, users);
      return nullptr;
    }
    case 'd':
      key = DriverMessage(CHobHtPasswd::Delete(dir, kPasswordFile, user, wait, &count), "msg08",
                          "msg05", "msg06");
      heading = "msg19";
      status = StatusText(messages, "msg47", in.user, count.nUsers);
      break;
    case 'v': {
      int verified = CHobHtPasswd::Verify(dir, kPasswordFile, user, pass, wait);
      key = verified == HOB_HTP_MISMATCH ? nullptr
                                         : DriverMessage(verified, "msg08", "msg05", "msg06");
      heading = verified == HOB_HTP_OK ? "msg20" : "msg21";
      status =
          StatusText(messages, heading, in.user, 0) + " " + HtmlEscape(in.user.m_pszText, true);
      break;
    }
    case 'p': {
      if (!writesAccess) return "msg51";
      int fd = dir.OpenFile(kPasswordFile, O_RDONLY);
      if (fd < 0) return fd == -ENOENT ? "msg05" : "msg06";
      close(fd);
      return Protect(messages, dir, settings, resolved, in.user, status, result, detail);
    }
    case 'u': {
      if (!writesAccess) return "msg51";
      AccessChange change;
      if ((key = ChangeAccessFile(dir, settings, "", true, change, detail)) != nullptr) return key;
      status = StatusText(messages, change.bFound ? "msg60" : "msg50", in.user, 0);
      CHobString text = UnprotectedLines(messages, settings, resolved, change);
      result = HtmlEscape(text.m_pszText, true);
      return nullptr;
    }
  }
  if (key != nullptr) return key;
  result = HtmlEscape((messages.Value(heading) + "\n\n" + in.user + "\n").m_pszText, true);
  return nullptr;
}

// The path of the database helper: kDbHelper from the program's own
// directory; "" when the program's path cannot be learnt.
CHobString DbHelperPath() {
  char self[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return CHobString();
  self[length] = '\0';
  char* slash = strrchr(self, '/');
  if (slash == nullptr) return CHobString();
  slash[1] = '\0';
  return CHobString(self) + kDbHelper;
}

// The message key for a database result other than HOB_HTP_OK, with what
// it names in detail: the database's own message, or the table.
const char* DbMessage(int result, const CHobPgSql& db, const Settings& settings, Detail& detail) {
  switch (result) {
    case HOB_PG_UNREACHABLE:
      detail.text = db.m_strError;
      return "msg39";
    case HOB_PG_NO_TABLE:
      detail.text = settings.dbTable;
      return "msg70";
    case HOB_HTP_BUSY:
      return "msg90";
    case HOB_HTP_NO_USER:
      return "msg17";
    default:
      detail.text = db.m_strError;
      return "msg40";
  }
}

// text with '"' and "\" escaped, for a quoted string of a server's
// configuration.
CHobString ConfigQuoted(const CHobString& text) {
  CHobString quoted;
  char one[2] = {'\0', '\0'};
  for (const char* p = text.m_pszText; *p != '\0'; p++) {
    if (*p == '"' || *p == '\\') quoted += "\\";
    one[0] = *p;
    quoted += one;
  }
  return quoted;
}

// The value of the connection parameter keyword in info, or "".
CHobString InfoValue(const CHobStrAry& info, const char* keyword) {
  for (int i = 0; i + 1 < info.count; i += 2) {
    if (info.items[i] == keyword) return info.items[i + 1];
  }
  return CHobString();
}

// The connection parameters of info as a libpq connection string: each
// value in single quotes, with "'" and "\" escaped.
CHobString ConnInfoText(const CHobStrAry& info) {
  CHobString text;
  for (int i = 0; i + 1 < info.count; i += 2) {
    if (info.items[i + 1].IsEmpty()) continue;
    CHobString value = info.items[i + 1];
    value.Replace("\\", "\\\\", true);
    value.Replace("'", "\\'", true);
    if (!text.IsEmpty()) text += " ";
    text += info.items[i] + "='" + value + "'";
  }
  return text;
}

// The text that lets the web server read the users of realm from the
// table, under its heading, escaped for the page: Apache's server
// configuration (mod_authn_dbd), lighttpd's (mod_authn_dbi) or, for nginx,
// which has no SQL backend, only that. Another server gets Apache's.
CHobString DbServerText(const CHobConfig& messages, const Settings& settings, const CHobPgSql& db,
                        const CHobString& realm, const CHobString& resolved) {
  Server server = ServerKind();
  if (server == kNginx) return HtmlEscape((messages.Value("msg73") + "\n").m_pszText, true);
  bool lighttpd = server == kLighttpd;
  CHobString heading = messages.Value(lighttpd ? "msg72" : "msg71") + "\n\n";
  CHobString text = HtmlEscape(
      (heading + ReadText(lighttpd ? kLighttpdDbTemplate : kApacheDbTemplate)).m_pszText, false);
  CHobString location = LocationOf(resolved);
  const struct {
    const char* placeholder;
    CHobString value;
  } values[] = {
      {"%DBDPARAMS%", ConfigQuoted(ConnInfoText(db.m_aryInfo))},
      {"%DBHOST%", ConfigQuoted(InfoValue(db.m_aryInfo, "host"))},
      {"%DBPORT%", ConfigQuoted(InfoValue(db.m_aryInfo, "port"))},
      {"%DBNAME%", ConfigQuoted(InfoValue(db.m_aryInfo, "dbname"))},
      {"%DBUSER%", ConfigQuoted(InfoValue(db.m_aryInfo, "user"))},
      {"%TABLE%", CHobString("\\\"") + settings.dbTable + "\\\""},
      {"%REALM%", CHobPgUsers::ConfigLiteral(realm.m_pszText)},
      {"%DIRECTORY%", ConfigQuoted(resolved)},
      {"%LOCATION%", location.IsEmpty() ? CHobString("/protected/") : location},
  };
  for (const auto& value : values) {
    text.Replace(value.placeholder, HtmlEscape(value.value.m_pszText, true).m_pszText, true);
  }
  if (text.Right(1) != "\n") text += "\n";
  return text;
}

// The lines that start the result of a create in the database when the
// settings ask for a check from outside: whether the server now asks for a
// password at the directory's URL. Nothing is written for the server, so a
// directory that answers without one only has the configuration to come.
CHobString DbCheckedLines(const CHobConfig& messages, const Settings& settings,
                          const CHobString& resolved) {
  if (!settings.bSelfCheck) return CHobString();
  CHobString url, reason;
  int status = CheckFromOutside(messages, resolved, url, reason);
  if (status == 401) return ResultLine(messages, "msg75", url) + "\n";
  if (IsOpenAnswer(status)) return ResultLine(messages, "msg76", url) + "\n";
  if (status >= 0) reason = ResultLine(messages, "msg58", url, status);
  reason.Replace("\n", "", true);
  return ResultLine(messages, "msg33", reason) + "\n";
}

// The hash of the entry the tool printed for user, into hash: the key of
// the message on failure, else null.
const char* DbHash(const CHobString& user, const CHobString& pass, int type, CHobString& hash) {
  CHobString entry;
  if (const char* key = DisplayEntry(user, pass, type, entry)) return key;
  // A user name holds no ":", and no hash the tool makes does.
  int colon = entry.Find(":");
  hash = colon >= 0 ? entry.Mid(colon + 1) : CHobString();
  hash.Trim();
  return hash.IsEmpty() || hash.FindOneOf(":\r\n") >= 0 ? "msg08" : nullptr;
}

// Runs the action of in on the users of the directory in the database's
// table, as RunAction does on a password file; the realm is the directory as
// typed. Show needs no database and is left to RunAction. The hash is made
// before the connection, so that no connection waits for a slow hash.
const char* RunDbAction(int action, const Submission& in, const CHobDir& dir,
                        const CHobConfig& messages, const Settings& settings, Database& database,
                        Listing& listing, CHobString& status, CHobString& result, Detail& detail) {
  char option = kActions[action].option[0];
  if (option == 'p' || option == 'u') return "msg74";
  CHobString hash;
  if (option == 'c' || option == 'a') {
    if (const char* key = DbHash(in.user, in.pass, FindType(in.type), hash)) return key;
  }
  static CHobString helper;
  helper = DbHelperPath();
  CHobPgSql::m_pszHelper = helper.m_pszText;
  CHobPgSql& db = database.db;
  CHobPgUsers& users = database.users;
  int done = db.Connect(settings.dbConnInfo.m_pszText, settings.dbPassFile.m_pszText);
  if (done == HOB_HTP_OK) done = users.SetWait(settings.nLockWait);
  if (done != HOB_HTP_OK) return DbMessage(done, db, settings, detail);

  const char* realm = in.dir.m_pszText;
  const char* user = in.user.m_pszText;
  CHobString resolved = dir.RealPath();
  if (resolved.IsEmpty()) resolved = in.dir;
  CHobHtCount count = {0, 0, false};
  const char* heading = nullptr;  // the result of delete and verify
  switch (option) {
    case 'c':
      done = users.Create(realm, user, hash.m_pszText, in.bReplace, &count);
      if (done == HOB_HTP_HAS_USERS) {
        detail.number = count.nUsers;
        return "msg68";
      }
      if (done != HOB_HTP_OK) return DbMessage(done, db, settings, detail);
      status = StatusText(messages, count.bExisted ? "msg65" : "msg64", in.user, count.nUsers);
      result = HtmlEscape(DbCheckedLines(messages, settings, resolved).m_pszText, true) +
               DbServerText(messages, settings, db, in.dir, resolved);
      return nullptr;
    case 'a':
      done = users.Add(realm, user, hash.m_pszText, &count);
      if (done != HOB_HTP_OK) return DbMessage(done, db, settings, detail);
      status = StatusText(messages, count.nBefore > 0 ? "msg63" : "msg62", in.user, count.nUsers);
      result = DbServerText(messages, settings, db, in.dir, resolved);
      return nullptr;
    case 'l': {
      int listed = users.OpenList(realm);
      if (listed < 0) return DbMessage(listed, db, settings, detail);
      CHobString text = messages.Value("msg69") + " (" + CHobString(listed) + ")\n\n";
      listing.heading = HtmlEscape(text.m_pszText, true);
      listing.bOpen = true;
      listing.pDbUsers = &users;
      status = StatusText(messages, "msg67", in.user, listed);
      return nullptr;
    }
    case 'd':
      done = users.Delete(realm, user, &count);
      if (done != HOB_HTP_OK) return DbMessage(done, db, settings, detail);
      heading = "msg77";
      status = StatusText(messages, "msg66", in.user, count.nUsers);
      break;
    default: {
      done = users.FindHash(realm, user, hash);
      if (done != HOB_HTP_OK) return DbMessage(done, db, settings, detail);
      CHobString entry = in.user + ":" + hash;
      int verified = CHobHtPasswd::VerifyEntry(entry.m_pszText, user, in.pass.m_pszText);
      if (verified == HOB_HTP_UNREADABLE) {
        detail.text = "the stored hash holds a line break";
        return "msg40";
      }
      if (verified != HOB_HTP_MISMATCH) {
        if (const char* key = DriverMessage(verified, "msg08", "msg44", "msg44")) return key;
      }
      heading = verified == HOB_HTP_OK ? "msg20" : "msg21";
      status =
          StatusText(messages, heading, in.user, 0) + " " + HtmlEscape(in.user.m_pszText, true);
      break;
    }
  }
  result = HtmlEscape((messages.Value(heading) + "\n\n" + in.user + "\n").m_pszText, true);
  return nullptr;
}

// Handles a submitted form: checks the request and its input, opens the
// directory, runs the chosen action and fills the form page with the
// entered values and the result. Returns the key of the message to answer
// with instead (detail: what it names), or null when the page is the answer.
const char* Submit(const CHobForm& form, const CHobConfig& messages, const Settings& settings,
                   CHobDir& dir, std::optional<Database>& database, Listing& listing,
                   CHobString& page, Detail& detail) {
  if (!IsOwnFormPost()) return "msg12";
  Submission in = ReadSubmission(form);
  if (const char* key = CheckSubmission(form, in, settings, detail.number)) return key;
  int action = FindAction(in.option);
  if (action >= 0) {
    if (const char* key = OpenDirectory(in, kActions[action], settings, dir)) return key;
  }

  // An unknown action runs nothing: the form comes back to choose one.
  CHobString status, result;
  if (action >= 0) {
    const char* key =
        settings.bDb && kActions[action].option[0] != 'n'
            ? RunDbAction(action, in, dir, messages, settings, *database, listing, status, result,
                          detail)
            : RunAction(action, in, dir, messages, settings, listing, status, result, detail);
    if (key != nullptr) return key;
  }
  page.Replace("%PATH%", HtmlEscape((in.dir + "/").m_pszText, true).m_pszText, false);
  page.Replace("%USER%", HtmlEscape(in.user.m_pszText, true).m_pszText, false);
  page.Replace("%PASS%", "", false);  // the password is never sent back
  MarkChoice(page, kTypePlaceholders, kTypeCount, FindType(in.type));
  bool created = action >= 0 && kActions[action].option[0] == 'c';
  MarkChoice(page, kOptionPlaceholders, kActionCount, created ? kActionAfterCreate : action);
  page.Replace("%RESULTHIDDEN%", "", false);
  page.Replace("%STATUS%", status.m_pszText, false);
  // A list goes where the marker is as main writes the page.
  if (!listing.bOpen) page.Replace("<!--RESULT-->", result.m_pszText, false);
  return nullptr;
}

// Bytes for the page, written in blocks.
class PageBlock {
 public:
  explicit PageBlock(CHobHtml& html) : m_html(html), m_nUsed(0) {}
  ~PageBlock() { Flush(); }
  PageBlock(const PageBlock&) = delete;
  PageBlock& operator=(const PageBlock&) = delete;
  void Append(const char* data, size_t length) {
    if (m_nUsed + length > sizeof m_buf) Flush();
    if (length > sizeof m_buf) {
      m_html.WriteBuffer(data, static_cast<int>(length));
      return;
    }
    memcpy(m_buf + m_nUsed, data, length);
    m_nUsed += length;
  }
  void Flush() {
    if (m_nUsed > 0) m_html.WriteBuffer(m_buf, static_cast<int>(m_nUsed));
    m_nUsed = 0;
  }

 private:
  CHobHtml& m_html;
  size_t m_nUsed;
  char m_buf[64 * 1024];
};

// Writes page with the heading and the users of listing where its result
// marker is: each user's name, escaped, and the kind of its hash, a line
// each, written as they are read.
void WriteListPage(CHobHtml& html, const CHobString& page, Listing& listing) {
  const char* marker = "<!--RESULT-->";
  int at = page.Find(marker);
  if (at < 0) {
    html.WriteString(page.m_pszText);
    return;
  }
  PageBlock out(html);
  out.Append(page.m_pszText, static_cast<size_t>(at));
  out.Append(listing.heading.m_pszText, static_cast<size_t>(listing.heading.GetLength()));
  const char *name, *kind;
  int length;
  while ((listing.pDbUsers != nullptr ? listing.pDbUsers->Next(&name, &length, &kind)
                                      : listing.users.Next(&name, &length, &kind)) == 1) {
    AppendEscaped(out, name, static_cast<size_t>(length), true);
    out.Append(" (", 2);
    out.Append(kind, strlen(kind));
    out.Append(")\n", 2);
  }
  const char* rest = page.m_pszText + at + strlen(marker);
  out.Append(rest, strlen(rest));
}

// Writes the message page built from "templ_info.html" with text, shown as it
// stands (a "%" in it is not a conversion) and cut to 4095 bytes, with what
// it names in place of its "%N%" and "%TEXT%" (escaped), and the directory
// the form named (escaped) in place of the page's "%PATH%".
void MessageForm(CHobHtml& html, const char* text, const CHobString& path, const Detail& detail) {
  go.log.Trace("MessageForm =====================================================");
  CHobString message = CHobString(text).Left(4095);
  message.Replace("%N%", CHobString(detail.number).m_pszText, true);
  message.Replace("%TEXT%", HtmlEscape(detail.text.m_pszText, true).m_pszText, true);
  CHobString page = ReadText(kInfoTemplate);
  page.Replace("%SIGNATURE%", ReadText(kSignatureFile).m_pszText, true);
  page.Replace("%PATH%", HtmlEscape(path.m_pszText, true).m_pszText, true);
  page.Replace("%MESSAGE%", message.m_pszText, true);
  html.WriteHttpHeader("text/html", kPageHeaders);
  html.WriteString(page.m_pszText);
  go.log.Trace("Program END  =====================================================\n\n");
}

// The key of the message for settings that name no store the program
// knows (msg61) or a table that is not a plain name (msg41), with the
// setting in detail; null when they are sound.
const char* StoreProblem(const Settings& settings, Detail& detail) {
  if (settings.store != "" && settings.store != "file" && !settings.bDb) {
    detail.text = settings.store;
    return "msg61";
  }
  if (settings.bDb && !CHobPgUsers::IsTableName(settings.dbTable.m_pszText)) {
    detail.text = settings.dbTable;
    return "msg41";
  }
  return nullptr;
}

// Reads the system settings under the shared start-up lock, waiting for it
// as long as "lockwait" says (learnt from a first read without the lock),
// and applies them. Returns the key of the message when the lock is not
// taken, else null.
const char* ReadSettings(CHobConfig& settings, Settings& applied) {
  settings.ReadFile(kSystemFile);
  // The lock file may have to be created, with the mode the settings ask for.
  applied = ApplySettings(settings);
  CHobFlock lock;
  int locked = lock.Lock(nullptr, true, applied.nLockWait);
  if (locked == HOB_LOCKED) return "msg90";
  if (locked != HOB_OK) return "msg91";
  settings.ReadFile(kSystemFile);
  applied = ApplySettings(settings);
  return nullptr;
}

}  // namespace

int main() {
  // A request lives for milliseconds: the heap grows in one step large enough
  // for any page and is never given back before exit, which saves the system
  // calls (and page faults) of growing and trimming it piece by piece.
  mallopt(M_TOP_PAD, 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
  // An installed program lives in a read-only directory; its site files,
  // lock, scratch and log files are then found in HOB_HTPASSWD_HOME.
  const char* home = getenv("HOB_HTPASSWD_HOME");
  if (home != nullptr && *home != '\0' && chdir(home) != 0) {
    std::printf(
        "Content-type: text/plain\n%s\nhob-htpasswd: the directory in HOB_HTPASSWD_HOME cannot "
        "be entered.\n",
        kPageHeaders);
    return 1;
  }

  CHobHtml html;
  CHobConfig messages(false);
  CHobConfig settings(true);
  messages.ReadFile(kMessageFile);
  Settings applied;
  const char* key = ReadSettings(settings, applied);
  if (key != nullptr) {
    MessageForm(html, messages.Value(key).m_pszText, CHobString(), Detail());
    return 1;
  }

  CHobString logName = CHobString(kProgramName) + ".log";
  go.log.Initialize(logName.m_pszText);
  go.log.bTrace = static_cast<int>(settings.Value("opt_trace"));
  go.log.Trace("%s START =====================================================", kProgramName);
  go.log.Trace("Settings: lock wait %d s", applied.nLockWait);

  CHobForm form;
  form.m_arySecret.Add("pass");
  CHobString page = PrepareForm(settings, messages, applied);
  CHobDir dir;
  // Made only for users in the database: a request of the file store runs
  // none of its code.
  std::optional<Database> database;
  if (applied.bDb) database.emplace(applied.dbTable.m_pszText);
  Listing listing;
  Detail detail;  // what a message names
  if (!IsKnownHost(applied.hostnames)) {
    key = "msg12";
  } else if (const char* problem = StoreProblem(applied, detail)) {
    key = problem;
  } else if (IsOversized()) {
    key = "msg14";
  } else if (form.QueryString() == 0 || form.Data("submit") == nullptr) {
    // A request with items but no "submit" (a stale link, a probe) gets the form.
    FillFirstVisit(page, applied);
  } else {
    key = Submit(form, messages, applied, dir, database, listing, page, detail);
  }
  if (key != nullptr) {
    MessageForm(html, messages.Value(key).m_pszText, form.Value("path"), detail);
    return 1;
  }
  html.WriteHttpHeader("text/html", kPageHeaders);
  if (listing.bOpen) {
    WriteListPage(html, page, listing);
  } else {
    html.WriteString(page.m_pszText);
  }
  go.log.Trace("%s  END  =====================================================\n\n", kProgramName);
  return 0;
}
