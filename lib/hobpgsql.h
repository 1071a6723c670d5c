// CHobPgWire: the messages between the program and its database helper.
// CHobPgSql: a connection to a PostgreSQL database, held by the helper
// program (m_pszHelper), which alone loads the database's client library:
// the program links none of it, so a request that uses no database costs
// nothing more. Every statement travels with its values apart from its
// text, as parameters, so no value ever becomes part of a statement.
// CHobPgUsers: the users of protected directories kept in one table of such
// a database, one row per directory (the realm) and user.
#ifndef HOB_HOBPGSQL_H_
#define HOB_HOBPGSQL_H_

#include <sys/types.h>

#include "hobhtpasswd.h"
#include "hobstrary.h"
#include "hobstring.h"

// Results, besides HOB_HTP_OK, HOB_HTP_BUSY, HOB_HTP_NO_USER and
// HOB_HTP_HAS_USERS.
enum {
  HOB_PG_UNREACHABLE = -30,  // the helper or the client library cannot be started, the
                             // database cannot be reached, or the connection was lost
  HOB_PG_FAILED = -31,       // the database refused a statement
  HOB_PG_NO_TABLE = -32      // the table does not exist
};

// A message is a kind byte, the count of its fields (4 bytes, little
// endian) and each field as its length (4 bytes, little endian) and its
// bytes. A database NULL travels as an empty field.
class CHobPgWire {
 public:
  // Reads messages from inFd and writes them to outFd (either may be -1);
  // the descriptors stay the caller's.
  CHobPgWire(int inFd, int outFd);
  CHobPgWire(const CHobPgWire&) = delete;
  CHobPgWire& operator=(const CHobPgWire&) = delete;
  virtual ~CHobPgWire();

  // Read from inFd and write to outFd from now on, with nothing queued.
  void Reset(int inFd, int outFd);
  // Queue a message of kind with count fields, written when the queue is
  // full or at Flush. REQUIRES: fields holds count strings that are not null.
  void Put(char kind, const char* const* fields, int count);
  // Write what is queued: 0, or the errno of the first write that failed
  // (EPIPE when the reader is gone; a socket raises no SIGPIPE).
  int Flush();
  // The next message: its kind in kind and its fields in fields. 1 for a
  // message, 0 at the end of the input before a message, -1 on a read error,
  // an input that ends inside a message, or a field longer than kMaxField.
  int Get(char& kind, CHobStrAry& fields);

  static const unsigned kMaxField = 16 * 1024 * 1024;

 private:
  // Queue length bytes of data.
  void Queue(const char* data, size_t length);
  // At least n unread bytes in the input buffer: false at the end of the
  // input or on a read error.
  bool Fill(size_t n);
  // The next 4-byte length of the input. REQUIRES: Fill(4) succeeded.
  unsigned TakeLength();

  int m_nIn;
  int m_nOut;
  int m_nError;      // the errno of the first failed write, or 0
  char* m_pIn;       // bytes read: [m_nInStart, m_nInEnd) not yet taken
  size_t m_nInSize;  // the size of m_pIn
  size_t m_nInStart;
  size_t m_nInEnd;
  char* m_pOut;  // bytes queued for outFd: m_nOutUsed of kOutSize
  size_t m_nOutUsed;
};

class CHobPgSql {
 public:
  // The helper program Connect starts. REQUIRES: not null.
  static const char* m_pszHelper;
  static const int kMaxParams = 8;

  CHobPgSql();
  CHobPgSql(const CHobPgSql&) = delete;
  CHobPgSql& operator=(const CHobPgSql&) = delete;
  // Ends the helper, which closes the connection: a transaction still open
  // is rolled back by the database.
  virtual ~CHobPgSql();

  // Start the helper and connect with conninfo (a libpq connection string
  // or URI), giving up after 5 seconds; a database password comes from the
  // password file passFile ("": libpq's default). HOB_HTP_OK, with the
  // connection's parameters in m_aryInfo, or HOB_PG_UNREACHABLE with the
  // reason in m_strError. REQUIRES: not connected; no argument is null.
  int Connect(const char* conninfo, const char* passFile);
  // Send the statement sql with nParams (at most kMaxParams) text
  // parameters ($1, $2, ...), whose rows are then read with Next. HOB_HTP_OK
  // or HOB_PG_UNREACHABLE. REQUIRES: the rows of the statement before are
  // all read.
  int Query(const char* sql, int nParams, const char* const* params);
  // The next row of the statement into fields: 1 for a row; 0 when the
  // statement is done, with m_nRows the rows it returned or changed; or
  // HOB_PG_UNREACHABLE, HOB_PG_FAILED, HOB_PG_NO_TABLE, HOB_HTP_BUSY (a lock
  // not granted in time, a deadlock) with m_strState (the SQLSTATE) and
  // m_strError (the database's own message).
  int Next(CHobStrAry& fields);
  // Query, then every row read, the first into first (unless null; left
  // empty when there is none): HOB_HTP_OK or a code of Next.
  int Exec(const char* sql, int nParams, const char* const* params, CHobStrAry* first = nullptr);

  // After Connect: keyword and value, in turn, of host, port, dbname and
  // user as the connection used them, then of every other parameter that
  // conninfo named, except password.
  CHobStrAry m_aryInfo;
  CHobString m_strError;
  CHobString m_strState;
  long m_nRows;

 private:
  // The code for an error message of the helper, with m_strState and
  // m_strError set from it.
  int Failure(const CHobStrAry& fields);
  int Lost(const char* why);

  pid_t m_nPid;     // the helper, or -1
  int m_nFd;        // the program's end of the socket to the helper, or -1
  bool m_bPending;  // a statement's answer is not all read
  CHobPgWire m_wire;
};

// The users of protected directories in one table: realm, username, hash,
// changed, with (realm, username) its key.
class CHobPgUsers {
 public:
  // The users in table of db. REQUIRES: db is connected and outlives the
  // object; IsTableName(table).
  CHobPgUsers(CHobPgSql& db, const char* table);
  CHobPgUsers(const CHobPgUsers&) = delete;
  CHobPgUsers& operator=(const CHobPgUsers&) = delete;

  // True when name is 1 to 63 letters, digits and "_": a table name that
  // is never read as anything else. REQUIRES: name is not null.
  static bool IsTableName(const char* name);
  // text as an SQL string literal for a web server's configuration: in
  // single quotes, a quote doubled, and "%", "?", '"', "\" and control
  // characters written as chr(N) joined by "||", since the servers give the
  // first two a meaning of their own inside a query and the others end or
  // escape their quoted strings. REQUIRES: text is not null.
  static CHobString ConfigLiteral(const char* text);

  // A lock another request holds is waited for up to seconds (at least 1),
  // a statement for at most a minute: HOB_HTP_OK or a code of CHobPgSql.
  int SetWait(int seconds);
  // Make the table when missing, then, in one transaction, replace the
  // users of realm by user with hash. Without bReplace a realm that has
  // users is left as it is: HOB_HTP_HAS_USERS, their number in count.
  // Creates of one realm are serialised. On success count (unless null)
  // holds the users after it, nBefore the users before it and bExisted
  // whether there were any. HOB_HTP_OK or a code of CHobPgSql.
  // REQUIRES: no argument but count is null.
  int Create(const char* realm, const char* user, const char* hash, bool bReplace,
             CHobHtCount* count);
  // Insert user with hash into realm, or change its hash when it is there,
  // in one statement; count as Create's, nBefore 1 for a changed user.
  int Add(const char* realm, const char* user, const char* hash, CHobHtCount* count);
  // Remove user from realm; HOB_HTP_NO_USER when it is not there.
  int Delete(const char* realm, const char* user, CHobHtCount* count);
  // The hash of user in realm into hash; HOB_HTP_NO_USER when it is not there.
  int FindHash(const char* realm, const char* user, CHobString& hash);
  // Start reading the users of realm, in the order of their names: their
  // count (read in the same snapshot as the users), or a code of CHobPgSql.
  int OpenList(const char* realm);
  // The next user of the list as CHobHtList::Next gives it: 1, 0 at the
  // end, or a code of CHobPgSql. REQUIRES: OpenList succeeded.
  int Next(const char** name, int* length, const char** kind);

 private:
  // sql with "%T" replaced by the quoted table name.
  CHobString Statement(const char* sql) const;
  // The users of realm into count->nUsers: HOB_HTP_OK or a code.
  int CountUsers(const char* realm, CHobHtCount& count);
  // Ends the transaction, committing when result is HOB_HTP_OK, and
  // returns result (or the commit's failure).
  int Finish(int result);

  CHobPgSql& m_db;
  CHobString m_strTable;  // the quoted table name
  CHobStrAry m_aryRow;
};

#endif  // HOB_HOBPGSQL_H_
