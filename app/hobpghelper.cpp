// hob-htpasswd-pg: the database helper of hob-htpasswd.cgi, started by the
// program for a request whose users are kept in PostgreSQL, with one socket
// as its standard input and output. It loads the client library libpq
// (libpq.so.5) when it starts; the program, linked statically, loads none.
// It reads the program's messages (CHobPgWire) and answers each:
//
//   'C' conninfo, passfile   connect, giving up after 5 seconds; the
//                            password comes from passfile ("": libpq's own)
//                            -> 'K' keyword, value, ... (see CHobPgSql)
//   'Q' sql, values...       run sql with the values as its parameters
//                            -> 'R' fields for each row as it arrives, then
//                               'D' rows (returned or changed)
//   either may answer        'E' sqlstate, message
//
// and ends, closing the connection, at the end of its input. A lost
// connection, and a library that cannot be loaded, answer with SQLSTATE
// class 08. It is no CGI program: started as one, it refuses to run.
#include <dlfcn.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>

#include "hobpgsql.h"
#include "hobstrary.h"
#include "hobstring.h"

namespace {

// The part of libpq's interface the helper uses, as libpq-fe.h declares it.
struct PGconn;
struct PGresult;
struct PQconninfoOption {
  char* keyword;
  char* envvar;
  char* compiled;
  char* val;
  char* label;
  char* dispchar;  // "*" for a secret such as the password
  int dispsize;
};
const int kConnectionBad = 1;  // CONNECTION_BAD
enum { kCommandOk = 1, kTuplesOk = 2, kSingleTuple = 9 };
const int kDiagSqlState = 'C';
const int kDiagMessage = 'M';

typedef void (*NoticeProcessor)(void*, const char*);

struct Libpq {
  PGconn* (*connectdbParams)(const char* const*, const char* const*, int);
  int (*status)(const PGconn*);
  char* (*errorMessage)(const PGconn*);
  void (*finish)(PGconn*);
  NoticeProcessor (*setNoticeProcessor)(PGconn*, NoticeProcessor, void*);
  char* (*host)(const PGconn*);
  char* (*port)(const PGconn*);
  char* (*db)(const PGconn*);
  char* (*user)(const PGconn*);
  PQconninfoOption* (*conninfoParse)(const char*, char**);
  void (*conninfoFree)(PQconninfoOption*);
  void (*freemem)(void*);
  int (*sendQueryParams)(PGconn*, const char*, int, const unsigned*, const char* const*, const int*,
                         const int*, int);
  int (*setSingleRowMode)(PGconn*);
  PGresult* (*getResult)(PGconn*);
  int (*resultStatus)(const PGresult*);
  char* (*resultErrorField)(const PGresult*, int);
  int (*ntuples)(const PGresult*);
  int (*nfields)(const PGresult*);
  char* (*getvalue)(const PGresult*, int, int);
  char* (*cmdTuples)(PGresult*);
  void (*clear)(PGresult*);
};

// Loads libpq into lib: "" or why it cannot be loaded.
CHobString Load(Libpq& lib) {
  void* handle = dlopen("libpq.so.5", RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    return CHobString("the PostgreSQL client library (Debian package libpq5) cannot be loaded: ") +
           dlerror();
  }
  struct {
    const char* name;
    void** slot;
  } const symbols[] = {
      {"PQconnectdbParams", reinterpret_cast<void**>(&lib.connectdbParams)},
      {"PQstatus", reinterpret_cast<void**>(&lib.status)},
      {"PQerrorMessage", reinterpret_cast<void**>(&lib.errorMessage)},
      {"PQfinish", reinterpret_cast<void**>(&lib.finish)},
      {"PQsetNoticeProcessor", reinterpret_cast<void**>(&lib.setNoticeProcessor)},
      {"PQhost", reinterpret_cast<void**>(&lib.host)},
      {"PQport", reinterpret_cast<void**>(&lib.port)},
      {"PQdb", reinterpret_cast<void**>(&lib.db)},
      {"PQuser", reinterpret_cast<void**>(&lib.user)},
      {"PQconninfoParse", reinterpret_cast<void**>(&lib.conninfoParse)},
      {"PQconninfoFree", reinterpret_cast<void**>(&lib.conninfoFree)},
      {"PQfreemem", reinterpret_cast<void**>(&lib.freemem)},
      {"PQsendQueryParams", reinterpret_cast<void**>(&lib.sendQueryParams)},
      {"PQsetSingleRowMode", reinterpret_cast<void**>(&lib.setSingleRowMode)},
      {"PQgetResult", reinterpret_cast<void**>(&lib.getResult)},
      {"PQresultStatus", reinterpret_cast<void**>(&lib.resultStatus)},
      {"PQresultErrorField", reinterpret_cast<void**>(&lib.resultErrorField)},
      {"PQntuples", reinterpret_cast<void**>(&lib.ntuples)},
      {"PQnfields", reinterpret_cast<void**>(&lib.nfields)},
      {"PQgetvalue", reinterpret_cast<void**>(&lib.getvalue)},
      {"PQcmdTuples", reinterpret_cast<void**>(&lib.cmdTuples)},
      {"PQclear", reinterpret_cast<void**>(&lib.clear)},
  };
  for (const auto& symbol : symbols) {
    *symbol.slot = dlsym(handle, symbol.name);
    if (*symbol.slot == nullptr) {
      return CHobString("the PostgreSQL client library lacks ") + symbol.name;
    }
  }
  return CHobString();
}

// The database's notices ("relation already exists, skipping") are no
// answer of the program's.
void IgnoreNotice(void*, const char*) {}

// One connection and the messages of the program.
class Helper {
 public:
  Helper() : m_wire(0, 1), m_pConn(nullptr) {}
  ~Helper() {
    if (m_pConn != nullptr) m_lib.finish(m_pConn);
  }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  // Answers the program's messages until its input ends: the exit status.
  int Run() {
    CHobString missing = Load(m_lib);
    char kind;
    CHobStrAry fields;
    for (;;) {
      int got = m_wire.Get(kind, fields);
      if (got <= 0) return got == 0 ? 0 : 1;
      if (!missing.IsEmpty()) {
        Error("08000", missing.m_pszText);
      } else if (kind == 'C' && fields.count == 2 && m_pConn == nullptr) {
        Connect(fields.items[0].m_pszText, fields.items[1].m_pszText);
      } else if (kind == 'Q' && fields.count >= 1 && m_pConn != nullptr) {
        Query(fields);
      } else {
        Error("08P01", "the program sent a message the helper does not take");
      }
      if (m_wire.Flush() != 0) return 1;
    }
  }

 private:
  void Error(const char* state, const char* message) {
    const char* const fields[] = {state, message};
    m_wire.Put('E', fields, 2);
  }

  // The error of a connection that is bad, as an answer.
  void ConnectionError() {
    CHobString message = m_lib.errorMessage(m_pConn);
    message.TrimRight();
    Error("08006", message.m_pszText);
  }

  void Connect(const char* conninfo, const char* passFile) {
    if (*passFile != '\0') setenv("PGPASSFILE", passFile, 1);
    // The connection string comes first, so the timeout after it wins.
    const char* const keywords[] = {"dbname", "connect_timeout", "fallback_application_name",
                                    nullptr};
    const char* const values[] = {conninfo, "5", "hob-htpasswd", nullptr};
    m_pConn = m_lib.connectdbParams(keywords, values, 1);
    if (m_pConn == nullptr) {
      Error("08000", "out of memory");
      return;
    }
    if (m_lib.status(m_pConn) == kConnectionBad) {
      ConnectionError();
      return;
    }
    m_lib.setNoticeProcessor(m_pConn, IgnoreNotice, nullptr);
    CHobStrAry info;
    const char* const used[][2] = {{"host", m_lib.host(m_pConn)},
                                   {"port", m_lib.port(m_pConn)},
                                   {"dbname", m_lib.db(m_pConn)},
                                   {"user", m_lib.user(m_pConn)}};
    for (const auto& pair : used) {
      info.Add(pair[0]);
      info.Add(pair[1] != nullptr ? pair[1] : "");
    }
    char* error = nullptr;
    PQconninfoOption* given = m_lib.conninfoParse(conninfo, &error);
    if (error != nullptr) m_lib.freemem(error);
    for (PQconninfoOption* option = given; option != nullptr && option->keyword != nullptr;
         option++) {
      bool bUsed = false;
      for (const auto& pair : used) bUsed = bUsed || strcmp(option->keyword, pair[0]) == 0;
      bool bSecret = option->dispchar != nullptr && strchr(option->dispchar, '*') != nullptr;
      if (option->val == nullptr || bUsed || bSecret) continue;
      info.Add(option->keyword);
      info.Add(option->val);
    }
    if (given != nullptr) m_lib.conninfoFree(given);
    const char* fields[64];
    int count = info.count < 64 ? info.count : 64;
    for (int i = 0; i < count; i++) fields[i] = info.items[i].m_pszText;
    m_wire.Put('K', fields, count);
  }

  // Runs the statement of fields, its rows sent as they arrive.
  void Query(const CHobStrAry& fields) {
    const char* params[CHobPgSql::kMaxParams];
    int nParams = fields.count - 1;
    if (nParams > CHobPgSql::kMaxParams) {
      Error("54023", "too many parameters");
      return;
    }
    for (int i = 0; i < nParams; i++) params[i] = fields.items[1 + i].m_pszText;
    if (!m_lib.sendQueryParams(m_pConn, fields.items[0].m_pszText, nParams, nullptr, params,
                               nullptr, nullptr, 0)) {
      ConnectionError();
      return;
    }
    m_lib.setSingleRowMode(m_pConn);
    long rows = 0;
    CHobString state, message;
    while (PGresult* result = m_lib.getResult(m_pConn)) {
      int status = m_lib.resultStatus(result);
      if (status == kSingleTuple) {
        SendRow(result);
        rows++;
      } else if (status == kCommandOk) {
        rows = atol(m_lib.cmdTuples(result));
      } else if (status != kTuplesOk && state.IsEmpty()) {
        const char* code = m_lib.resultErrorField(result, kDiagSqlState);
        const char* text = m_lib.resultErrorField(result, kDiagMessage);
        state = code != nullptr ? code : "XX000";
        message = text != nullptr ? text : m_lib.errorMessage(m_pConn);
      }
      m_lib.clear(result);
    }
    if (m_lib.status(m_pConn) == kConnectionBad) {
      ConnectionError();
    } else if (!state.IsEmpty()) {
      Error(state.m_pszText, message.m_pszText);
    } else {
      CHobString count(rows);
      const char* const done[] = {count.m_pszText};
      m_wire.Put('D', done, 1);
    }
  }

  void SendRow(const PGresult* result) {
    const char* values[16];
    int count = m_lib.nfields(result);
    if (count > 16) count = 16;
    for (int i = 0; i < count; i++) values[i] = m_lib.getvalue(result, 0, i);
    m_wire.Put('R', values, count);
  }

  Libpq m_lib;
  CHobPgWire m_wire;
  PGconn* m_pConn;
};

}  // namespace

int main() {
  // Run by a web server, a visitor's request body would be its input.
  if (getenv("GATEWAY_INTERFACE") != nullptr || getenv("REQUEST_METHOD") != nullptr) {
    std::printf("Status: 403 Forbidden\nContent-type: text/plain\n\nNot a CGI program.\n");
    return 2;
  }
  Helper helper;
  return helper.Run();
}
