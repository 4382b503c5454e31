// The texts the ODBC link works with, apart from ODBC itself: which link a
// connection string asks for, the attributes of an ODBC connection string,
// the string the link connects with, and statements whose $n parameters
// become ODBC's ? markers.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace kx20 {

// The name the PostgreSQL ODBC driver (psqlODBC) is installed under on
// this kind of machine: its 64-bit Windows installer adds "(x64)".
#if defined(_WIN64)
inline constexpr const char* kPostgresOdbcDriver = "PostgreSQL Unicode(x64)";
#else
inline constexpr const char* kPostgresOdbcDriver = "PostgreSQL Unicode";
#endif

// The prefix that sends a connection string to the ODBC link on any build:
// "odbc:DSN=line" or "odbc:Driver={PostgreSQL Unicode};Server=...".
inline constexpr const char* kOdbcPrefix = "odbc:";

// One attribute of an ODBC connection string: keyword and value (braces
// around the value taken off, "}}" inside them read as "}").
using OdbcAttribute = std::pair<std::string, std::string>;

// The attributes of "KEY=VALUE;KEY={VALUE};..." in order. Text without "="
// between two semicolons is kept as a keyword with an empty value.
std::vector<OdbcAttribute> ParseOdbcAttributes(const std::string& text);

// The value of the first attribute `keyword` (case-insensitive), or empty.
std::string OdbcAttributeValue(const std::vector<OdbcAttribute>& attributes,
                               const std::string& keyword);

// True when `conninfo` is meant for ODBC: it starts with "odbc:", or it is
// an ODBC connection string that names a driver or a data source (a
// Driver=, DSN= or FileDSN= attribute). libpq's own forms ("host=... dbname=..."
// and postgresql:// URIs) never are.
bool IsOdbcConnectionString(const std::string& conninfo);

// `conninfo` without the "odbc:" prefix.
std::string WithoutOdbcPrefix(const std::string& conninfo);

// The string the ODBC link connects with: the operator's attributes first,
// then what the line needs of the PostgreSQL driver: no savepoint around
// each statement (an error aborts the transaction, as it does over libpq),
// booleans as bits, and, unless the operator gave libpq options of their
// own (pqopt), TCP keepalives and a TCP user timeout so that a route that
// dies also ends a call the link has given up on.
std::string OdbcSessionString(const std::string& connectionString, int queryTimeoutMs);

// A statement with PostgreSQL's $1..$n parameters as ODBC's ? markers.
// `order` gets, for each marker in turn, the index (0-based) of the
// parameter it stands for, so a parameter used twice is bound twice. Text
// in quotes, dollar quotes and comments is left alone. False with `error`
// for a parameter number without a value, a value no marker uses, or a ?
// outside quotes (the driver would take it for a marker).
bool ToOdbcMarkers(const std::string& sql, std::size_t parameterCount, std::string& out,
                   std::vector<std::size_t>& order, std::string& error);

// A driver's or driver manager's message as one line for an operator: line
// breaks and tabs become spaces; the PostgreSQL driver's "ERROR: " before a
// server message and its "Error while executing the query" after it are
// left out.
std::string OdbcMessageLine(const std::string& message);

}  // namespace kx20
