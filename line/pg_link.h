// The line's link over libpq: one connection to the line's PostgreSQL
// database, with every wait bounded: the connection attempt by
// connect_timeout, each query by a deadline on the socket (the query is sent
// asynchronously and the answer awaited with poll). A connection that fails
// or times out is dropped; the next call connects again. Not thread safe:
// one owner thread at a time (the owners keep their own lock).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "line/line_link.h"

struct pg_conn;

namespace kx20 {

class PgLink final : public LineLink {
 public:
  // `conninfo`: a libpq connection string or URI. The connect timeout applies
  // unless the string sets its own.
  explicit PgLink(std::string conninfo, int connectTimeoutSeconds = 5, int queryTimeoutMs = 10000);
  ~PgLink() override;
  PgLink(const PgLink&) = delete;
  PgLink& operator=(const PgLink&) = delete;

  // Connects when not connected. False with `error` when the server cannot
  // be reached.
  bool Connect(std::string& error) override;
  bool Connected() const override { return conn_ != nullptr; }
  void Disconnect() override;

  // Runs one statement (or a semicolon-separated script when `params` is
  // empty) with text parameters ($1, $2, ...). Connects first when needed.
  // Returns false with `error` on any failure; a failure of the connection
  // itself (or a timeout) also drops it.
  bool Exec(const std::string& sql, const std::vector<std::optional<std::string>>& params,
            PgResult* result, std::string& error) override;

 private:
  // Until the socket can be read (or, with forWrite, read or written) or the
  // deadline passes.
  bool WaitSocket(bool forWrite, long deadlineMs, std::string& error);

  std::string conninfo_;
  int connectTimeoutSeconds_;
  int queryTimeoutMs_;
  pg_conn* conn_ = nullptr;
};

}  // namespace kx20
