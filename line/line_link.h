// The line's database link: what line mode, `kx20ctl line` and the reports
// need of the line's PostgreSQL database, whatever carries the statements.
// Implemented over libpq (pg_link.h) and over ODBC (odbc_link.h); the SQL,
// the transactions (BEGIN, COMMIT, ROLLBACK as statements), the journal and
// the outbox above it are the same for both.
//
// Every wait is bounded: the connection attempt by the connect timeout, each
// statement by the query timeout (a client-side deadline, so a server that
// stops answering cannot hold the caller), and on the server by a session
// statement timeout and lock timeout set below the client's deadline. A
// connection that fails or times out is dropped; the next call connects
// again. A link is not thread safe: one owner thread at a time.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kx20 {

struct PgResult {
  std::vector<std::vector<std::optional<std::string>>> rows;  // text values, nullopt = NULL
  std::string commandTag;
};

class LineLink {
 public:
  virtual ~LineLink() = default;

  // Connects when not connected. False with `error` when the server cannot
  // be reached.
  virtual bool Connect(std::string& error) = 0;
  virtual bool Connected() const = 0;
  virtual void Disconnect() = 0;

  // Runs one statement (or a semicolon-separated script when `params` is
  // empty) with text parameters ($1, $2, ...). Connects first when needed.
  // Returns false with `error` on any failure; a failure of the connection
  // itself (or a timeout) also drops it.
  virtual bool Exec(const std::string& sql, const std::vector<std::optional<std::string>>& params,
                    PgResult* result, std::string& error) = 0;
};

// The link for a connection string. The connect timeout applies unless the
// string sets its own.
std::unique_ptr<LineLink> OpenLineLink(const std::string& conninfo, int connectTimeoutSeconds,
                                       int queryTimeoutMs);

}  // namespace kx20
