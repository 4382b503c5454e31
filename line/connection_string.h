// What the line's programs check of a connection string before they use it,
// and where else one can come from than the command line (where every user
// of the machine can read it in the process list).
//
// - A string that turns the connect timeout off (libpq's connect_timeout of
//   0 or less, in the string, in a URI's query or in an ODBC string's pqopt
//   for the PostgreSQL driver) is refused: it would let a connection attempt
//   wait for ever, past every bound the station keeps.
// - A connection file (--line-file) holds the string on its first line that
//   is neither empty nor a comment (#); an empty file means the empty string:
//   every setting from libpq's environment (PGSERVICE, PGHOST, PGPASSFILE,
//   ...). On Linux and other POSIX systems a file that every user may read
//   or write is refused: its string may hold a password, and a changed one
//   could point the station at another database.
#pragma once

#include <string>

namespace kx20 {

// False with `error` when `conninfo` turns the connect timeout off.
bool CheckConnectTimeout(const std::string& conninfo, std::string& error);

// True when `conninfo` carries a password (libpq's password=, a URI's
// user:password@, ODBC's PWD= or Password=, or password= in pqopt).
bool HasPassword(const std::string& conninfo);

// Reads the connection string from `path`. False with `error` when the file
// cannot be read, is not a regular file, may be read or written by every
// user (POSIX), or holds more than one string.
bool ReadConnectionFile(const std::string& path, std::string& conninfo, std::string& error);

// The warning for a password given on a command line; empty when there is
// none in `conninfo`.
std::string CommandLinePasswordWarning(const std::string& conninfo);

}  // namespace kx20
