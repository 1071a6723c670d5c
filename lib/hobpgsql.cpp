// CHobPgWire, CHobPgSql, CHobPgUsers: the program talks to its database
// helper over one socket, the helper's standard input and output. The
// helper runs one statement at a time and answers with its rows as they
// arrive, then with the end of the statement or its error; the program ends
// the helper, and with it the connection, when it is done. The program
// itself loads no database library, so a request that keeps its users in
// password files costs what it cost before.
//
// Every value travels as a parameter of a statement whose text is fixed here;
// only the table's name, checked to be letters, digits and "_", is put into
// a statement's text, quoted as a name. A change is one transaction, so a
// statement that fails or a connection that is lost leaves the table as it
// was; the database's own locks serialise requests, so no lock file is
// needed.
#include "hobpgsql.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The size of the queue of messages for the helper or the program.
const size_t kOutSize = 64 * 1024;
// The input is read in blocks of at least this size.
const size_t kInBlock = 64 * 1024;

// Write length bytes of data to fd: 0 or an errno. A socket whose reader is
// gone gives EPIPE instead of raising SIGPIPE.
int SendAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EPIPE;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return 0;
}

void PutLength(char* at, size_t length) {
  for (int i = 0; i < 4; i++) at[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
}

}  // namespace

CHobPgWire::CHobPgWire(int inFd, int outFd)
    : m_nIn(inFd),
      m_nOut(outFd),
      m_nError(0),
      m_pIn(nullptr),
      m_nInSize(0),
      m_nInStart(0),
      m_nInEnd(0),
      m_pOut(nullptr),
      m_nOutUsed(0) {}

CHobPgWire::~CHobPgWire() {
  free(m_pIn);
  free(m_pOut);
}

void CHobPgWire::Reset(int inFd, int outFd) {
  m_nIn = inFd;
  m_nOut = outFd;
  m_nError = 0;
  m_nInStart = m_nInEnd = m_nOutUsed = 0;
}

void CHobPgWire::Queue(const char* data, size_t length) {
  // Made with the first message: a program that never talks to the helper
  // allocates nothing.
  if (m_pOut == nullptr && (m_pOut = static_cast<char*>(malloc(kOutSize))) == nullptr) {
    m_nError = ENOMEM;
  }
  if (m_nError != 0) return;
  if (m_nOutUsed + length > kOutSize && (m_nError = Flush()) != 0) return;
  if (length > kOutSize) {
    m_nError = SendAll(m_nOut, data, length);
    return;
  }
  memcpy(m_pOut + m_nOutUsed, data, length);
  m_nOutUsed += length;
}

void CHobPgWire::Put(char kind, const char* const* fields, int count) {
  char head[5];
  head[0] = kind;
  PutLength(head + 1, static_cast<size_t>(count));
  Queue(head, sizeof head);
  for (int i = 0; i < count; i++) {
    size_t length = strlen(fields[i]);
    char size[4];
    PutLength(size, length);
    Queue(size, sizeof size);
    Queue(fields[i], length);
  }
}

int CHobPgWire::Flush() {
  if (m_nError == 0 && m_nOutUsed > 0) m_nError = SendAll(m_nOut, m_pOut, m_nOutUsed);
  m_nOutUsed = 0;
  return m_nError;
}

bool CHobPgWire::Fill(size_t n) {
  if (m_nInEnd - m_nInStart >= n) return true;
  if (m_nInStart > 0) {
    memmove(m_pIn, m_pIn + m_nInStart, m_nInEnd - m_nInStart);
    m_nInEnd -= m_nInStart;
    m_nInStart = 0;
  }
  if (n + kInBlock > m_nInSize) {
    char* grown = static_cast<char*>(realloc(m_pIn, n + kInBlock));
    if (grown == nullptr) return false;
    m_pIn = grown;
    m_nInSize = n + kInBlock;
  }
  while (m_nInEnd < n) {
    ssize_t got = read(m_nIn, m_pIn + m_nInEnd, m_nInSize - m_nInEnd);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    m_nInEnd += static_cast<size_t>(got);
  }
  return true;
}

unsigned CHobPgWire::TakeLength() {
  const unsigned char* at = reinterpret_cast<const unsigned char*>(m_pIn + m_nInStart);
  m_nInStart += 4;
  return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<unsigned>(at[3]) << 24);
}

int CHobPgWire::Get(char& kind, CHobStrAry& fields) {
  if (!Fill(1)) return m_nInEnd == m_nInStart ? 0 : -1;
  if (!Fill(5)) return -1;
  kind = m_pIn[m_nInStart++];
  unsigned count = TakeLength();
  if (count > kMaxField) return -1;
  fields.SetSize(static_cast<int>(count), false);
  for (unsigned i = 0; i < count; i++) {
    if (!Fill(4)) return -1;
    unsigned length = TakeLength();
    if (length > kMaxField || !Fill(length)) return -1;
    CHobString& field = fields.items[i];
    field.Alloc(length);
    memcpy(field.m_pszText, m_pIn + m_nInStart, length);
    field.m_pszText[length] = '\0';
    m_nInStart += length;
  }
  return 1;
}

const char* CHobPgSql::m_pszHelper = "hob-htpasswd-pg";

CHobPgSql::CHobPgSql() : m_nRows(0), m_nPid(-1), m_nFd(-1), m_bPending(false), m_wire(-1, -1) {}

CHobPgSql::~CHobPgSql() {
  if (m_nPid < 0) return;
  // A helper still busy with a statement is not waited for: its connection
  // goes with it, and the database rolls back what it had begun.
  if (m_bPending) kill(m_nPid, SIGKILL);
  if (m_nFd >= 0) close(m_nFd);
  int status;
  while (waitpid(m_nPid, &status, 0) < 0 && errno == EINTR) {
  }
}

int CHobPgSql::Lost(const char* why) {
  m_bPending = false;
  m_strState = "08006";
  m_strError = why;
  return HOB_PG_UNREACHABLE;
}

int CHobPgSql::Failure(const CHobStrAry& fields) {
  if (fields.count != 2) return Lost("the database helper gave an answer it should not give");
  m_strState = fields.items[0];
  m_strError = fields.items[1];
  m_strError.TrimRight();
  // Class 08: the connection; 42P01: no such table; 55P03: a lock not
  // granted in time; 40001 and 40P01: a conflict with another request.
  if (m_strState.Left(2) == "08") return HOB_PG_UNREACHABLE;
  if (m_strState == "42P01") return HOB_PG_NO_TABLE;
  if (m_strState == "55P03" || m_strState == "40001" || m_strState == "40P01") {
    return HOB_HTP_BUSY;
  }
  return HOB_PG_FAILED;
}

int CHobPgSql::Connect(const char* conninfo, const char* passFile) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return Lost(strerror(errno));
  posix_spawn_file_actions_t actions;
  int error = posix_spawn_file_actions_init(&actions);
  if (error == 0) {
    error = posix_spawn_file_actions_adddup2(&actions, fds[1], 0);
    if (error == 0) error = posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    if (error == 0) {
      error = posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    // The helper gets no environment of the web server's: nothing a request
    // may set (PGHOST and the like) reaches the client library.
    char* const argv[] = {const_cast<char*>(m_pszHelper), nullptr};
    char* const envp[] = {nullptr};
    if (error == 0) error = posix_spawn(&m_nPid, m_pszHelper, &actions, nullptr, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
  }
  close(fds[1]);
  if (error != 0) {
    close(fds[0]);
    m_nPid = -1;
    CHobString why =
        CHobString("the database helper ") + m_pszHelper + " cannot be started: " + strerror(error);
    return Lost(why.m_pszText);
  }
  m_nFd = fds[0];
  m_wire.Reset(m_nFd, m_nFd);
  const char* const fields[] = {conninfo, passFile};
  m_wire.Put('C', fields, 2);
  m_bPending = true;
  if (m_wire.Flush() != 0) return Lost("the database helper ended at once");
  char kind;
  CHobStrAry reply;
  if (m_wire.Get(kind, reply) != 1) return Lost("the database helper ended at once");
  m_bPending = false;
  // Whatever the helper could not do, nothing was reached.
  if (kind == 'E') {
    Failure(reply);
    return HOB_PG_UNREACHABLE;
  }
  if (kind != 'K') return Lost("the database helper gave an answer it should not give");
  m_aryInfo = reply;
  return HOB_HTP_OK;
}

int CHobPgSql::Query(const char* sql, int nParams, const char* const* params) {
  if (m_nFd < 0) return Lost("not connected");
  const char* fields[1 + kMaxParams];
  if (nParams > kMaxParams) return Lost("too many parameters");
  fields[0] = sql;
  for (int i = 0; i < nParams; i++) fields[1 + i] = params[i];
  m_wire.Put('Q', fields, 1 + nParams);
  m_bPending = true;
  m_nRows = 0;
  return m_wire.Flush() == 0 ? HOB_HTP_OK : Lost("the database helper ended");
}

int CHobPgSql::Next(CHobStrAry& fields) {
  if (!m_bPending) return 0;
  char kind;
  if (m_wire.Get(kind, fields) != 1) return Lost("the database helper ended");
  if (kind == 'R') return 1;
  m_bPending = false;
  if (kind == 'D' && fields.count == 1) {
    m_nRows = atol(fields.items[0].m_pszText);
    return 0;
  }
  if (kind == 'E') return Failure(fields);
  return Lost("the database helper gave an answer it should not give");
}

int CHobPgSql::Exec(const char* sql, int nParams, const char* const* params, CHobStrAry* first) {
  int result = Query(sql, nParams, params);
  if (result != HOB_HTP_OK) return result;
  if (first != nullptr) first->SetSize(0, false);
  CHobStrAry row;
  bool bFirst = true;
  for (;;) {
    int read = Next(row);
    if (read <= 0) return read;
    if (bFirst && first != nullptr) *first = row;
    bFirst = false;
  }
}

namespace {

const char* const kCreateTable =
    "CREATE TABLE IF NOT EXISTS %T (realm text, username text, hash text, "
    "changed timestamptz DEFAULT now(), PRIMARY KEY (realm, username))";
const char* const kCountUsers = "SELECT count(*) FROM %T WHERE realm = $1";
// Creates of one realm wait for each other: the check for users and the
// replacement must see the same rows.
const char* const kLockRealm = "SELECT pg_advisory_xact_lock(hashtext($1), hashtext($2))";
const char* const kDeleteRealm = "DELETE FROM %T WHERE realm = $1";
const char* const kInsertUser = "INSERT INTO %T (realm, username, hash) VALUES ($1, $2, $3)";
// xmax is 0 in a row version that an insert made, and not in one that an
// update made.
const char* const kUpsertUser =
    "INSERT INTO %T (realm, username, hash) VALUES ($1, $2, $3) "
    "ON CONFLICT (realm, username) DO UPDATE SET hash = EXCLUDED.hash, changed = now() "
    "RETURNING xmax = 0";
const char* const kDeleteUser = "DELETE FROM %T WHERE realm = $1 AND username = $2";
const char* const kFindHash = "SELECT hash FROM %T WHERE realm = $1 AND username = $2";
const char* const kListUsers = "SELECT username, hash FROM %T WHERE realm = $1 ORDER BY username";

// The longest name a table may have in the database.
const int kMaxTableName = 63;
// The longest a statement may run, in milliseconds.
const char* const kStatementTimeout = "60000";

}  // namespace

CHobPgUsers::CHobPgUsers(CHobPgSql& db, const char* table)
    : m_db(db), m_strTable(CHobString("\"") + table + "\"") {}

bool CHobPgUsers::IsTableName(const char* name) {
  size_t length = strspn(name, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_");
  return length > 0 && length <= kMaxTableName && name[length] == '\0';
}

CHobString CHobPgUsers::ConfigLiteral(const char* text) {
  CHobString literal = "'";
  char one[2] = {'\0', '\0'};
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; p++) {
    if (*p == '\'') {
      literal += "''";
    } else if (*p < 0x20 || *p == 0x7F || strchr("%?\"\\", *p) != nullptr) {
      literal += CHobString("' || chr(") + CHobString(static_cast<int>(*p)) + ") || '";
    } else {
      one[0] = static_cast<char>(*p);
      literal += one;
    }
  }
  return literal + "'";
}

CHobString CHobPgUsers::Statement(const char* sql) const {
  CHobString statement = sql;
  statement.Replace("%T", m_strTable.m_pszText, true);
  return statement;
}

int CHobPgUsers::SetWait(int seconds) {
  CHobString lock(1000 * (seconds < 1 ? 1 : seconds));
  const char* const params[] = {lock.m_pszText, kStatementTimeout};
  return m_db.Exec(
      "SELECT set_config('lock_timeout', $1, false), set_config('statement_timeout', $2, false)", 2,
      params);
}

int CHobPgUsers::CountUsers(const char* realm, CHobHtCount& count) {
  const char* const params[] = {realm};
  int result = m_db.Exec(Statement(kCountUsers).m_pszText, 1, params, &m_aryRow);
  if (result == HOB_HTP_OK)
    count.nUsers = m_aryRow.count == 1 ? atoi(m_aryRow.items[0].m_pszText) : 0;
  return result;
}

int CHobPgUsers::Finish(int result) {
  if (result == HOB_HTP_OK) return m_db.Exec("COMMIT", 0, nullptr);
  if (result != HOB_PG_UNREACHABLE) m_db.Exec("ROLLBACK", 0, nullptr);
  return result;
}

int CHobPgUsers::Create(const char* realm, const char* user, const char* hash, bool bReplace,
                        CHobHtCount* count) {
  CHobHtCount counted = {0, 0, false};
  int result = m_db.Exec("BEGIN", 0, nullptr);
  if (result != HOB_HTP_OK) return result;
  result = m_db.Exec(Statement(kCreateTable).m_pszText, 0, nullptr);
  const char* const lock[] = {m_strTable.m_pszText, realm};
  if (result == HOB_HTP_OK) result = m_db.Exec(kLockRealm, 2, lock);
  if (result == HOB_HTP_OK) result = CountUsers(realm, counted);
  if (result == HOB_HTP_OK && counted.nUsers > 0 && !bReplace) result = HOB_HTP_HAS_USERS;
  const char* const params[] = {realm, user, hash};
  if (result == HOB_HTP_OK) {
    counted.nBefore = counted.nUsers;
    counted.bExisted = counted.nUsers > 0;
    result = m_db.Exec(Statement(kDeleteRealm).m_pszText, 1, params);
  }
  if (result == HOB_HTP_OK) result = m_db.Exec(Statement(kInsertUser).m_pszText, 3, params);
  if (result == HOB_HTP_OK) counted.nUsers = 1;
  result = Finish(result);
  if (count != nullptr) *count = counted;
  return result;
}

int CHobPgUsers::Add(const char* realm, const char* user, const char* hash, CHobHtCount* count) {
  CHobHtCount counted = {0, 0, true};
  int result = m_db.Exec("BEGIN", 0, nullptr);
  if (result != HOB_HTP_OK) return result;
  const char* const params[] = {realm, user, hash};
  result = m_db.Exec(Statement(kUpsertUser).m_pszText, 3, params, &m_aryRow);
  if (result == HOB_HTP_OK) {
    counted.nBefore = m_aryRow.count == 1 && m_aryRow.items[0] == "t" ? 0 : 1;
    result = CountUsers(realm, counted);
  }
  result = Finish(result);
  if (count != nullptr) *count = counted;
  return result;
}

int CHobPgUsers::Delete(const char* realm, const char* user, CHobHtCount* count) {
  CHobHtCount counted = {0, 0, true};
  int result = m_db.Exec("BEGIN", 0, nullptr);
  if (result != HOB_HTP_OK) return result;
  const char* const params[] = {realm, user};
  result = m_db.Exec(Statement(kDeleteUser).m_pszText, 2, params);
  if (result == HOB_HTP_OK) {
    counted.nBefore = static_cast<int>(m_db.m_nRows);
    result = m_db.m_nRows == 0 ? HOB_HTP_NO_USER : CountUsers(realm, counted);
  }
  result = Finish(result);
  if (count != nullptr) *count = counted;
  return result;
}

int CHobPgUsers::FindHash(const char* realm, const char* user, CHobString& hash) {
  const char* const params[] = {realm, user};
  int result = m_db.Exec(Statement(kFindHash).m_pszText, 2, params, &m_aryRow);
  if (result != HOB_HTP_OK) return result;
  if (m_aryRow.count != 1) return HOB_HTP_NO_USER;
  hash = m_aryRow.items[0];
  return HOB_HTP_OK;
}

int CHobPgUsers::OpenList(const char* realm) {
  int result = m_db.Exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", 0, nullptr);
  CHobHtCount counted = {0, 0, true};
  if (result == HOB_HTP_OK) result = CountUsers(realm, counted);
  const char* const params[] = {realm};
  if (result == HOB_HTP_OK) result = m_db.Query(Statement(kListUsers).m_pszText, 1, params);
  return result == HOB_HTP_OK ? counted.nUsers : result;
}

int CHobPgUsers::Next(const char** name, int* length, const char** kind) {
  int read = m_db.Next(m_aryRow);
  if (read != 1) return read;
  if (m_aryRow.count != 2) return HOB_PG_FAILED;
  *name = m_aryRow.items[0].m_pszText;
  *length = m_aryRow.items[0].GetLength();
  *kind = CHobHtPasswd::HashKind(m_aryRow.items[1].m_pszText);
  return 1;
}
