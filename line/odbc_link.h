// The line's link over ODBC (odbc32 on Windows, unixODBC on Linux), for the
// PostgreSQL ODBC driver (psqlODBC).
//
// An ODBC call cannot be given a deadline: it blocks until the driver
// returns, and a server that stops answering (a dropped route, a hung host)
// would hold it for good. So each connection has a worker thread of its
// own that makes every call on it, and the link waits for the worker until
// its deadline: the connect timeout (also given to the driver as the login
// timeout) plus the query timeout for connecting, the query timeout for a
// statement. When a deadline passes the link gives the connection up: the
// worker is left to end on its own (when the driver returns, or when the
// TCP keepalives and user timeout end a dead connection) and frees its
// handles then; the next call connects afresh. On the server each session
// gets a statement timeout and a lock timeout below the client's deadline,
// as over libpq.
//
// Statements take PostgreSQL's $1..$n, sent as ? markers; values come back
// as text as PostgreSQL writes them for text, numbers and booleans (t/f).
// Dates and times come back in the driver's form, without the zone: format
// them in SQL (to_char) where they are read. Not thread safe: one owner
// thread at a time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "line/line_link.h"

namespace kx20 {

class OdbcLink final : public LineLink {
 public:
  // `connectionString`: an ODBC connection string ("DSN=line",
  // "Driver={PostgreSQL Unicode};Server=...;Database=..."), with or without
  // the "odbc:" prefix.
  explicit OdbcLink(const std::string& connectionString, int connectTimeoutSeconds = 5,
                    int queryTimeoutMs = 10000);
  ~OdbcLink() override;
  OdbcLink(const OdbcLink&) = delete;
  OdbcLink& operator=(const OdbcLink&) = delete;

  bool Connect(std::string& error) override;
  bool Connected() const override { return session_ != nullptr; }
  void Disconnect() override;
  bool Exec(const std::string& sql, const std::vector<std::optional<std::string>>& params,
            PgResult* result, std::string& error) override;

  struct Session;  // a connection and its worker thread (odbc_link.cpp)

 private:
  std::string connectionString_;  // as given, for the messages about drivers
  std::string sessionString_;     // what the driver is given
  int connectTimeoutSeconds_;
  int queryTimeoutMs_;
  std::shared_ptr<Session> session_;
};

// The names of the ODBC drivers installed on this machine (SQLDrivers).
std::vector<std::string> InstalledOdbcDrivers();

}  // namespace kx20
