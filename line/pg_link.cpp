#include "line/pg_link.h"

#include <libpq-fe.h>
#include <poll.h>

#include <chrono>
#include <memory>

namespace kx20 {
namespace {

long NowMs() {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count());
}

std::string Trimmed(const char* message) {
  // The lines that describe where in our own SQL a server error arose tell
  // an operator nothing: they are left out.
  std::string s;
  std::string all = message != nullptr ? message : "";
  bool inContext = false;
  for (std::size_t start = 0; start < all.size();) {
    std::size_t end = all.find('\n', start);
    if (end == std::string::npos) end = all.size();
    const std::string line = all.substr(start, end - start);
    // A context block runs from "CONTEXT:" to the next message of its own.
    if (line.rfind("CONTEXT:", 0) == 0) {
      inContext = true;
    } else if (line.rfind("server ", 0) == 0 || line.rfind("FATAL:", 0) == 0 ||
               line.rfind("ERROR:", 0) == 0 || line.rfind("connection ", 0) == 0) {
      inContext = false;
    }
    if (!inContext) s += line + "\n";
    start = end + 1;
  }
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  // libpq's messages may span lines; one line reads better in a notice.
  for (char& c : s) {
    if (c == '\n' || c == '\t') c = ' ';
  }
  return s;
}

}  // namespace

PgLink::PgLink(std::string conninfo, int connectTimeoutSeconds, int queryTimeoutMs)
    : conninfo_(std::move(conninfo)),
      connectTimeoutSeconds_(connectTimeoutSeconds),
      queryTimeoutMs_(queryTimeoutMs) {}

PgLink::~PgLink() { Disconnect(); }

void PgLink::Disconnect() {
  if (conn_ != nullptr) PQfinish(conn_);
  conn_ = nullptr;
}

bool PgLink::Connect(std::string& error) {
  if (conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK) return true;
  Disconnect();
  // Keywords before "dbname" are overridden by what the expanded connection
  // string sets; those after it would override the string.
  const std::string timeout = std::to_string(connectTimeoutSeconds_);
  const char* keywords[] = {"connect_timeout", "application_name", "dbname", nullptr};
  const char* values[] = {timeout.c_str(), "kx20-station", conninfo_.c_str(), nullptr};
  pg_conn* conn = PQconnectdbParams(keywords, values, 1);
  if (conn == nullptr) {
    error = "out of memory while connecting";
    return false;
  }
  if (PQstatus(conn) != CONNECTION_OK) {
    error = Trimmed(PQerrorMessage(conn));
    if (error.empty()) error = "the connection failed";
    PQfinish(conn);
    return false;
  }
  conn_ = conn;
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

bool PgLink::WaitSocket(bool forWrite, long deadlineMs, std::string& error) {
  const int fd = PQsocket(conn_);
  if (fd < 0) {
    error = "the connection has no socket";
    return false;
  }
  for (;;) {
    const long left = deadlineMs - NowMs();
    if (left <= 0) {
      error = "no answer from the database within " + std::to_string(queryTimeoutMs_) + " ms";
      return false;
    }
    pollfd p{fd, static_cast<short>(forWrite ? (POLLOUT | POLLIN) : POLLIN), 0};
    const int n = poll(&p, 1, static_cast<int>(left));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) {
      error = "waiting for the database failed";
      return false;
    }
  }
}

bool PgLink::Exec(const std::string& sql, const std::vector<std::optional<std::string>>& params,
                  PgResult* result, std::string& error) {
  lastState_.clear();
  if (!Connect(error)) return false;
  const long deadline = NowMs() + queryTimeoutMs_;
  const auto lost = [&](std::string why) {
    error = std::move(why);
    Disconnect();
    return false;
  };

  // Non-blocking from the first byte: a server that stops reading must not
  // hold the send past the deadline either.
  PQsetnonblocking(conn_, 1);
  int sent = 0;
  if (params.empty()) {
    sent = PQsendQuery(conn_, sql.c_str());
  } else {
    std::vector<const char*> values;
    for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
    sent = PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(params.size()), nullptr,
                             values.data(), nullptr, nullptr, 0);
  }
  if (sent == 0) return lost(Trimmed(PQerrorMessage(conn_)));
  for (;;) {
    const int flushed = PQflush(conn_);
    if (flushed == 0) break;
    if (flushed < 0) return lost(Trimmed(PQerrorMessage(conn_)));
    // The server may be waiting for us to read (a notice) before it reads on.
    std::string why;
    if (!WaitSocket(true, deadline, why)) return lost(why);
    if (PQconsumeInput(conn_) == 0) return lost(Trimmed(PQerrorMessage(conn_)));
  }

  std::string firstError;
  std::string firstState;
  bool failed = false;
  for (;;) {
    while (PQisBusy(conn_) != 0) {
      std::string why;
      if (!WaitSocket(false, deadline, why)) return lost(why);
      if (PQconsumeInput(conn_) == 0) return lost(Trimmed(PQerrorMessage(conn_)));
    }
    PGresult* r = PQgetResult(conn_);
    if (r == nullptr) break;
    std::unique_ptr<PGresult, void (*)(PGresult*)> owned(r, PQclear);
    const ExecStatusType status = PQresultStatus(r);
    if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) {
      if (result != nullptr) {
        result->rows.clear();
        result->commandTag = PQcmdStatus(r);
        for (int row = 0; row < PQntuples(r); ++row) {
          std::vector<std::optional<std::string>> values;
          for (int col = 0; col < PQnfields(r); ++col) {
            if (PQgetisnull(r, row, col)) {
              values.emplace_back(std::nullopt);
            } else {
              values.emplace_back(std::string(PQgetvalue(r, row, col)));
            }
          }
          result->rows.push_back(std::move(values));
        }
      }
    } else if (!failed) {
      failed = true;
      // The primary message alone: the context lines name our own SQL,
      // which tells an operator nothing.
      const char* primary = PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY);
      const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
      firstState = state != nullptr ? state : "";
      firstError = Trimmed(primary != nullptr ? primary : PQresultErrorMessage(r));
      if (firstError.empty()) firstError = PQresStatus(status);
    }
  }
  PQsetnonblocking(conn_, 0);
  if (PQstatus(conn_) != CONNECTION_OK) {
    return lost(failed ? firstError : Trimmed(PQerrorMessage(conn_)));
  }
  if (failed) {
    error = firstError;
    lastState_ = firstState;
    return false;
  }
  return true;
}

}  // namespace kx20
