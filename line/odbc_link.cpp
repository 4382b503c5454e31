#include "line/odbc_link.h"

#ifdef _WIN32
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "line/odbc_strings.h"

namespace kx20 {

using Clock = std::chrono::steady_clock;

// What the owner and the worker share. The worker alone touches the ODBC
// handles; everything else is under `mutex`.
struct OdbcLink::Session {
  enum class Task { kNone, kConnect, kExec, kEnd };

  std::mutex mutex;
  std::condition_variable changed;
  Task task = Task::kNone;
  bool finished = false;   // the last task is done; its outcome below
  bool abandoned = false;  // the owner gave up waiting: end after the task
  bool exited = false;     // the worker has freed the handles and ends

  // The task's inputs.
  std::string connectionString;
  int loginTimeoutSeconds = 0;
  std::string sql;
  std::vector<std::optional<std::string>> values;  // in marker order

  // The task's outcome.
  bool ok = false;
  bool lost = false;  // the connection is gone (or unusable)
  std::string state;  // SQLSTATE of the first diagnostic
  std::string error;
  PgResult result;

  // The worker's own.
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  bool connected = false;
  std::thread worker;
};

namespace {

using Session = OdbcLink::Session;

SQLCHAR* Text(const std::string& s) {
  return reinterpret_cast<SQLCHAR*>(const_cast<char*>(s.c_str()));
}

// The first diagnostic record of a handle: its SQLSTATE and message.
void FirstDiagnostic(SQLSMALLINT type, SQLHANDLE handle, std::string& state,
                     std::string& message) {
  SQLCHAR sqlState[6] = {0};
  SQLINTEGER native = 0;
  SQLCHAR text[2048] = {0};
  SQLSMALLINT length = 0;
  const SQLRETURN rc =
      SQLGetDiagRec(type, handle, 1, sqlState, &native, text, sizeof text, &length);
  if (SQL_SUCCEEDED(rc)) {
    state = reinterpret_cast<const char*>(sqlState);
    message = OdbcMessageLine(reinterpret_cast<const char*>(text));
  } else {
    state.clear();
    message.clear();
  }
  if (message.empty()) message = "the ODBC driver reported a failure without a message";
}

void FreeHandles(Session& s) {
  if (s.stmt != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, s.stmt);
  s.stmt = SQL_NULL_HSTMT;
  if (s.connected) SQLDisconnect(s.dbc);
  s.connected = false;
  if (s.dbc != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, s.dbc);
  s.dbc = SQL_NULL_HDBC;
  if (s.env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, s.env);
  s.env = SQL_NULL_HENV;
}

SQLHENV NewEnvironment() {
  SQLHENV env = SQL_NULL_HENV;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) return SQL_NULL_HENV;
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  return env;
}

// Outcome of one task, filled in by the worker before it takes the lock.
struct Outcome {
  bool ok = false;
  bool lost = false;
  std::string state;
  std::string error;
  PgResult result;
};

Outcome DoConnect(Session& s, const std::string& connectionString, int loginTimeoutSeconds) {
  Outcome o;
  s.env = NewEnvironment();
  if (s.env == SQL_NULL_HENV) {
    o.error = "the ODBC driver manager cannot be used (no environment handle)";
    o.lost = true;
    return o;
  }
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, s.env, &s.dbc))) {
    FirstDiagnostic(SQL_HANDLE_ENV, s.env, o.state, o.error);
    o.lost = true;
    return o;
  }
  SQLSetConnectAttr(s.dbc, SQL_ATTR_LOGIN_TIMEOUT,
                    reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(loginTimeoutSeconds)), 0);
  SQLCHAR completed[1024];
  SQLSMALLINT completedLength = 0;
  const SQLRETURN rc = SQLDriverConnect(s.dbc, nullptr, Text(connectionString), SQL_NTS, completed,
                                        sizeof completed, &completedLength, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    FirstDiagnostic(SQL_HANDLE_DBC, s.dbc, o.state, o.error);
    o.lost = true;
    return o;
  }
  s.connected = true;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, s.dbc, &s.stmt))) {
    FirstDiagnostic(SQL_HANDLE_DBC, s.dbc, o.state, o.error);
    o.lost = true;
    return o;
  }
  // The statements are PostgreSQL's own: no ODBC escape sequences in them.
  SQLSetStmtAttr(s.stmt, SQL_ATTR_NOSCAN, reinterpret_cast<SQLPOINTER>(SQL_NOSCAN_ON), 0);
  o.ok = true;
  return o;
}

bool ConnectionDead(Session& s, const std::string& state) {
  if (state.rfind("08", 0) == 0) return true;
  SQLUINTEGER dead = SQL_CD_FALSE;
  return SQL_SUCCEEDED(SQLGetConnectAttr(s.dbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
         dead == SQL_CD_TRUE;
}

// The command tag PostgreSQL would give (an ODBC client does not see the
// server's own): the statement's first word, and the row count where the
// server gives one.
std::string CommandTag(const std::string& sql, SQLLEN rows) {
  std::size_t i = 0;
  while (i < sql.size() && !std::isalpha(static_cast<unsigned char>(sql[i]))) ++i;
  std::string word;
  while (i < sql.size() && std::isalpha(static_cast<unsigned char>(sql[i]))) {
    word += static_cast<char>(std::toupper(static_cast<unsigned char>(sql[i++])));
  }
  const std::string count = std::to_string(rows < 0 ? 0 : rows);
  if (word == "INSERT") return "INSERT 0 " + count;
  if (word == "SELECT" || word == "UPDATE" || word == "DELETE" || word == "MERGE" ||
      word == "FETCH" || word == "MOVE" || word == "COPY") {
    return word + " " + count;
  }
  return word;
}

// One column's value as text; false with the driver's message.
bool ReadValue(Session& s, SQLUSMALLINT column, bool isBit, std::optional<std::string>& value,
               Outcome& o) {
  std::string text;
  char buffer[4096];
  for (;;) {
    SQLLEN indicator = 0;
    const SQLRETURN rc =
        SQLGetData(s.stmt, column, SQL_C_CHAR, buffer, sizeof buffer, &indicator);
    if (rc == SQL_NO_DATA) break;
    if (!SQL_SUCCEEDED(rc)) {
      FirstDiagnostic(SQL_HANDLE_STMT, s.stmt, o.state, o.error);
      return false;
    }
    if (indicator == SQL_NULL_DATA) {
      value.reset();
      return true;
    }
    text.append(buffer, std::strlen(buffer));
    // SQL_SUCCESS_WITH_INFO: truncated, more of the value follows.
    if (rc == SQL_SUCCESS) break;
  }
  if (isBit && (text == "1" || text == "0")) text = text == "1" ? "t" : "f";
  value = std::move(text);
  return true;
}

bool ReadRows(Session& s, SQLSMALLINT columns, PgResult& result, Outcome& o) {
  std::vector<bool> bits(static_cast<std::size_t>(columns), false);
  for (SQLSMALLINT c = 1; c <= columns; ++c) {
    SQLSMALLINT type = 0;
    SQLULEN size = 0;
    SQLSMALLINT digits = 0;
    SQLSMALLINT nullable = 0;
    if (SQL_SUCCEEDED(SQLDescribeCol(s.stmt, static_cast<SQLUSMALLINT>(c), nullptr, 0, nullptr,
                                     &type, &size, &digits, &nullable))) {
      bits[static_cast<std::size_t>(c - 1)] = type == SQL_BIT;
    }
  }
  for (;;) {
    const SQLRETURN rc = SQLFetch(s.stmt);
    if (rc == SQL_NO_DATA) return true;
    if (!SQL_SUCCEEDED(rc)) {
      FirstDiagnostic(SQL_HANDLE_STMT, s.stmt, o.state, o.error);
      return false;
    }
    std::vector<std::optional<std::string>> row(static_cast<std::size_t>(columns));
    for (SQLSMALLINT c = 1; c <= columns; ++c) {
      const std::size_t i = static_cast<std::size_t>(c - 1);
      if (!ReadValue(s, static_cast<SQLUSMALLINT>(c), bits[i], row[i], o)) return false;
    }
    result.rows.push_back(std::move(row));
  }
}

Outcome DoExec(Session& s, const std::string& sql,
               const std::vector<std::optional<std::string>>& values) {
  Outcome o;
  SQLFreeStmt(s.stmt, SQL_CLOSE);
  SQLFreeStmt(s.stmt, SQL_RESET_PARAMS);
  std::vector<SQLLEN> lengths(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::optional<std::string>& v = values[i];
    lengths[i] = v ? static_cast<SQLLEN>(v->size()) : SQL_NULL_DATA;
    const SQLULEN size = v ? std::max<SQLULEN>(1, v->size()) : 1;
    const SQLRETURN rc = SQLBindParameter(
        s.stmt, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, size,
        0, v ? const_cast<char*>(v->c_str()) : nullptr, v ? lengths[i] : 0, &lengths[i]);
    if (!SQL_SUCCEEDED(rc)) {
      FirstDiagnostic(SQL_HANDLE_STMT, s.stmt, o.state, o.error);
      return o;
    }
  }
  SQLRETURN rc = SQLExecDirect(s.stmt, Text(sql), SQL_NTS);
  const auto failed = [&](SQLSMALLINT type, SQLHANDLE handle) {
    FirstDiagnostic(type, handle, o.state, o.error);
    o.lost = ConnectionDead(s, o.state);
    SQLFreeStmt(s.stmt, SQL_CLOSE);
    return o;
  };
  if (rc == SQL_NO_DATA) {
    // A statement that touched no rows.
    o.result.commandTag = CommandTag(sql, 0);
    o.ok = true;
    return o;
  }
  if (!SQL_SUCCEEDED(rc)) return failed(SQL_HANDLE_STMT, s.stmt);
  // Each result in turn; as over libpq, the last one's rows are kept.
  for (;;) {
    PgResult result;
    SQLSMALLINT columns = 0;
    if (!SQL_SUCCEEDED(SQLNumResultCols(s.stmt, &columns))) return failed(SQL_HANDLE_STMT, s.stmt);
    if (columns > 0) {
      if (!ReadRows(s, columns, result, o)) {
        o.lost = ConnectionDead(s, o.state);
        SQLFreeStmt(s.stmt, SQL_CLOSE);
        return o;
      }
      result.commandTag = CommandTag(sql, static_cast<SQLLEN>(result.rows.size()));
    } else {
      SQLLEN rows = 0;
      SQLRowCount(s.stmt, &rows);
      result.commandTag = CommandTag(sql, rows);
    }
    o.result = std::move(result);
    rc = SQLMoreResults(s.stmt);
    if (rc == SQL_NO_DATA) break;
    if (!SQL_SUCCEEDED(rc)) return failed(SQL_HANDLE_STMT, s.stmt);
  }
  SQLFreeStmt(s.stmt, SQL_CLOSE);
  o.ok = true;
  return o;
}

void Work(std::shared_ptr<Session> s) {
  for (;;) {
    Session::Task task;
    std::string connectionString;
    int loginTimeout = 0;
    std::string sql;
    std::vector<std::optional<std::string>> values;
    {
      std::unique_lock<std::mutex> lock(s->mutex);
      s->changed.wait(lock, [&] { return s->task != Session::Task::kNone || s->abandoned; });
      task = s->task;
      s->task = Session::Task::kNone;
      if (task == Session::Task::kEnd || task == Session::Task::kNone) break;
      connectionString = s->connectionString;
      loginTimeout = s->loginTimeoutSeconds;
      sql = s->sql;
      values = s->values;
    }
    Outcome o = task == Session::Task::kConnect ? DoConnect(*s, connectionString, loginTimeout)
                                                : DoExec(*s, sql, values);
    bool end = false;
    {
      std::lock_guard<std::mutex> lock(s->mutex);
      s->ok = o.ok;
      s->lost = o.lost;
      s->state = std::move(o.state);
      s->error = std::move(o.error);
      s->result = std::move(o.result);
      s->finished = true;
      end = s->abandoned;
    }
    s->changed.notify_all();
    if (end) break;
  }
  FreeHandles(*s);
  {
    std::lock_guard<std::mutex> lock(s->mutex);
    s->exited = true;
  }
  s->changed.notify_all();
}

enum class Ran { kDone, kFailed, kTimedOut };

// Hands `task` to the session's worker and waits for it until `deadline`.
// On kTimedOut the session is abandoned: its worker ends by itself.
Ran Run(Session& s, Session::Task task, Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(s.mutex);
  s.task = task;
  s.finished = false;
  s.changed.notify_all();
  if (!s.changed.wait_until(lock, deadline, [&] { return s.finished; })) {
    s.abandoned = true;
    s.changed.notify_all();
    return Ran::kTimedOut;
  }
  return s.ok ? Ran::kDone : Ran::kFailed;
}

// Ends a session: the worker disconnects and frees its handles. Waited for
// a moment; a worker still inside a call (its server gone silent) is left
// to finish by itself.
void EndSession(std::shared_ptr<Session> s) {
  if (!s) return;
  std::unique_lock<std::mutex> lock(s->mutex);
  if (!s->abandoned) s->task = Session::Task::kEnd;
  s->changed.notify_all();
  const bool exited =
      s->changed.wait_for(lock, std::chrono::seconds(1), [&] { return s->exited; });
  lock.unlock();
  if (exited) {
    s->worker.join();
  } else {
    s->worker.detach();
  }
}

bool IsPath(const std::string& driver) {
  return driver.find('/') != std::string::npos || driver.find('\\') != std::string::npos;
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// What an operator needs when a connection cannot even reach a driver.
std::string ConnectFailure(const std::string& connectionString, const std::string& state,
                           const std::string& message) {
  const std::vector<OdbcAttribute> attributes = ParseOdbcAttributes(connectionString);
  const std::string driver = OdbcAttributeValue(attributes, "driver");
  const std::string dsn = OdbcAttributeValue(attributes, "dsn");
  const bool noDriver = state == "IM002" || state == "IM003" ||
                        message.find("Can't open lib") != std::string::npos;
  if (noDriver && !driver.empty() && !IsPath(driver)) {
    const std::vector<std::string> installed = InstalledOdbcDrivers();
    const bool known = std::any_of(installed.begin(), installed.end(), [&](const std::string& d) {
      return EqualsIgnoringCase(d, driver);
    });
    if (!known) {
      std::string list;
      for (const std::string& d : installed) list += (list.empty() ? "\"" : ", \"") + d + "\"";
      return "no ODBC driver named \"" + driver + "\" is installed (" +
             (installed.empty() ? std::string("no ODBC driver is installed at all")
                                : "installed: " + list) +
             "; line mode needs the PostgreSQL ODBC driver, psqlODBC): " + message;
    }
  }
  if (state == "IM002" && driver.empty() && dsn.empty()) {
    return message +
           " (an ODBC connection string names a data source, DSN=NAME, or a driver, "
           "Driver={" +
           kPostgresOdbcDriver + "};Server=HOST;Port=5432;Database=NAME)";
  }
  if (state == "IM002" && !dsn.empty()) {
    return "the ODBC data source \"" + dsn + "\" does not exist: " + message;
  }
  return message;
}

}  // namespace

std::vector<std::string> InstalledOdbcDrivers() {
  std::vector<std::string> names;
  SQLHENV env = NewEnvironment();
  if (env == SQL_NULL_HENV) return names;
  SQLCHAR name[256];
  SQLCHAR attributes[1024];
  SQLSMALLINT nameLength = 0;
  SQLSMALLINT attributesLength = 0;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  while (SQL_SUCCEEDED(SQLDrivers(env, direction, name, sizeof name, &nameLength, attributes,
                                  sizeof attributes, &attributesLength))) {
    names.emplace_back(reinterpret_cast<const char*>(name));
    direction = SQL_FETCH_NEXT;
  }
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return names;
}

OdbcLink::OdbcLink(const std::string& connectionString, int connectTimeoutSeconds,
                   int queryTimeoutMs)
    : connectionString_(WithoutOdbcPrefix(connectionString)),
      sessionString_(OdbcSessionString(connectionString_, queryTimeoutMs)),
      connectTimeoutSeconds_(std::max(1, connectTimeoutSeconds)),
      queryTimeoutMs_(queryTimeoutMs) {}

OdbcLink::~OdbcLink() { Disconnect(); }

void OdbcLink::Disconnect() { EndSession(std::move(session_)); }

bool OdbcLink::Connect(std::string& error) {
  if (session_) return true;
  auto s = std::make_shared<Session>();
  s->connectionString = sessionString_;
  s->loginTimeoutSeconds = connectTimeoutSeconds_;
  s->worker = std::thread(Work, s);
  // The driver's login timeout bounds reaching the server; the query
  // timeout what the driver asks of it once connected.
  const auto deadline = Clock::now() + std::chrono::seconds(connectTimeoutSeconds_) +
                        std::chrono::milliseconds(queryTimeoutMs_);
  switch (Run(*s, Session::Task::kConnect, deadline)) {
    case Ran::kTimedOut:
      error = "no answer from the database within " +
              std::to_string(connectTimeoutSeconds_ * 1000 + queryTimeoutMs_) +
              " ms while connecting";
      s->worker.detach();
      return false;
    case Ran::kFailed: {
      std::string state, message;
      {
        std::lock_guard<std::mutex> lock(s->mutex);
        state = s->state;
        message = s->error;
      }
      EndSession(std::move(s));
      error = ConnectFailure(connectionString_, state, message);
      return false;
    }
    case Ran::kDone:
      break;
  }
  session_ = std::move(s);
  // The server gives up on a statement or a lock wait before the client's
  // own deadline does.
  std::string setupError;
  const std::string setup = "SET statement_timeout = " + std::to_string(queryTimeoutMs_ * 8 / 10) +
                            "; SET lock_timeout = " + std::to_string(queryTimeoutMs_ / 2);
  if (!Exec(setup, {}, nullptr, setupError)) {
    error = setupError;
    Disconnect();
    return false;
  }
  return true;
}

bool OdbcLink::Exec(const std::string& sql, const std::vector<std::optional<std::string>>& params,
                    PgResult* result, std::string& error) {
  std::string marked;
  std::vector<std::size_t> order;
  if (!ToOdbcMarkers(sql, params.size(), marked, order, error)) return false;
  if (!Connect(error)) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(queryTimeoutMs_);
  std::shared_ptr<Session> s = session_;
  {
    std::lock_guard<std::mutex> lock(s->mutex);
    s->sql = std::move(marked);
    s->values.clear();
    for (std::size_t index : order) s->values.push_back(params[index]);
  }
  switch (Run(*s, Session::Task::kExec, deadline)) {
    case Ran::kTimedOut:
      error = "no answer from the database within " + std::to_string(queryTimeoutMs_) + " ms";
      s->worker.detach();
      session_.reset();
      return false;
    case Ran::kFailed: {
      bool lost = false;
      {
        std::lock_guard<std::mutex> lock(s->mutex);
        error = s->error;
        lost = s->lost;
      }
      if (lost) Disconnect();
      return false;
    }
    case Ran::kDone:
      break;
  }
  if (result != nullptr) {
    std::lock_guard<std::mutex> lock(s->mutex);
    *result = std::move(s->result);
  }
  return true;
}

}  // namespace kx20
