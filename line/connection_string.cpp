#include "line/connection_string.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <utility>
#include <vector>

#include "common/text_compare.h"
#include "line/odbc_strings.h"
#include "storage/durable_file.h"

namespace kx20 {
namespace {

// libpq's keyword = value form: values bare or in single quotes with
// backslash escapes, separated by white space.
std::vector<std::pair<std::string, std::string>> KeywordValues(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::size_t i = 0;
  const auto space = [&] {
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  };
  for (;;) {
    space();
    if (i >= text.size()) return pairs;
    std::string keyword;
    while (i < text.size() && text[i] != '=' && !std::isspace(static_cast<unsigned char>(text[i]))) {
      keyword += text[i++];
    }
    space();
    if (i >= text.size() || text[i] != '=') return pairs;  // libpq refuses it itself
    ++i;
    space();
    std::string value;
    if (i < text.size() && text[i] == '\'') {
      for (++i; i < text.size() && text[i] != '\''; ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) ++i;
        value += text[i];
      }
      ++i;
    } else {
      while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) {
        if (text[i] == '\\' && i + 1 < text.size()) ++i;
        value += text[i++];
      }
    }
    pairs.emplace_back(keyword, value);
  }
}

std::string PercentDecoded(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      out += static_cast<char>(std::strtol(s.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

bool IsUri(const std::string& s) {
  return s.rfind("postgresql://", 0) == 0 || s.rfind("postgres://", 0) == 0;
}

// The keyword/value pairs of a libpq string or URI (a URI's query, and its
// user information as "user"/"password").
std::vector<std::pair<std::string, std::string>> LibpqPairs(const std::string& conninfo) {
  if (!IsUri(conninfo)) return KeywordValues(conninfo);
  std::vector<std::pair<std::string, std::string>> pairs;
  const std::size_t rest = conninfo.find("://") + 3;
  const std::size_t question = conninfo.find('?', rest);
  const std::string authority =
      conninfo.substr(rest, (question == std::string::npos ? conninfo.size() : question) - rest);
  const std::size_t at = authority.find('@');
  if (at != std::string::npos) {
    const std::string user = authority.substr(0, at);
    const std::size_t colon = user.find(':');
    if (colon != std::string::npos) pairs.emplace_back("password", user.substr(colon + 1));
  }
  if (question == std::string::npos) return pairs;
  const std::string query = conninfo.substr(question + 1);
  for (std::size_t i = 0; i <= query.size();) {
    std::size_t amp = query.find('&', i);
    if (amp == std::string::npos) amp = query.size();
    const std::string part = query.substr(i, amp - i);
    const std::size_t eq = part.find('=');
    if (eq != std::string::npos) {
      pairs.emplace_back(PercentDecoded(part.substr(0, eq)), PercentDecoded(part.substr(eq + 1)));
    }
    i = amp + 1;
  }
  return pairs;
}

// Every libpq keyword/value pair the string gives, through whichever link:
// an ODBC string's pqopt holds libpq's own.
std::vector<std::pair<std::string, std::string>> LibpqSettings(const std::string& conninfo) {
  if (!IsOdbcConnectionString(conninfo)) return LibpqPairs(conninfo);
  const std::vector<OdbcAttribute> attributes = ParseOdbcAttributes(WithoutOdbcPrefix(conninfo));
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const OdbcAttribute& a : attributes) {
    if (EqualsIgnoringCase(a.first, "pqopt")) {
      for (auto& p : KeywordValues(a.second)) pairs.push_back(std::move(p));
    }
  }
  return pairs;
}

}  // namespace

bool CheckConnectTimeout(const std::string& conninfo, std::string& error) {
  for (const auto& [keyword, value] : LibpqSettings(conninfo)) {
    if (keyword != "connect_timeout") continue;
    // As libpq reads it: an integer, white space around it allowed.
    char* end = nullptr;
    const long seconds = std::strtol(value.c_str(), &end, 10);
    while (end != nullptr && *end != '\0' && std::isspace(static_cast<unsigned char>(*end))) ++end;
    if (end == value.c_str() || (end != nullptr && *end != '\0')) continue;  // libpq refuses it
    if (seconds <= 0) {
      error = "the connection string sets connect_timeout=" + value +
              ", which means waiting for ever to connect; the station bounds every wait on the "
              "line's database: leave connect_timeout out (3 s is used) or give a positive "
              "number of seconds";
      return false;
    }
  }
  return true;
}

bool HasPassword(const std::string& conninfo) {
  for (const auto& [keyword, value] : LibpqSettings(conninfo)) {
    if (keyword == "password" && !value.empty()) return true;
  }
  if (IsOdbcConnectionString(conninfo)) {
    for (const OdbcAttribute& a : ParseOdbcAttributes(WithoutOdbcPrefix(conninfo))) {
      if ((EqualsIgnoringCase(a.first, "pwd") || EqualsIgnoringCase(a.first, "password")) && !a.second.empty()) {
        return true;
      }
    }
  }
  return false;
}

std::string CommandLinePasswordWarning(const std::string& conninfo) {
  if (!HasPassword(conninfo)) return "";
  return "warning: the connection string on the command line holds a password, which every "
         "user of this machine can read in the process list; keep it in a connection file "
         "(--line-file), libpq's password file (PGPASSFILE, ~/.pgpass) or service file, or an "
         "ODBC data source";
}

bool ReadConnectionFile(const std::string& path, std::string& conninfo, std::string& error) {
  conninfo.clear();
#ifndef _WIN32
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    error = "the connection file " + path + " cannot be read (it does not exist or is not "
            "reachable)";
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = "the connection file " + path + " is not a regular file";
    return false;
  }
  if ((st.st_mode & (S_IROTH | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    error = "the connection file " + path + " may be " +
            ((st.st_mode & S_IROTH) != 0 ? std::string("read") : std::string("changed")) +
            " by every user of this machine (mode " + mode +
            "): it may hold a password, and a changed one could point the station at another "
            "database. Restrict it: chmod 600 " + path +
            " (or 640 with a group of the station's users)";
    return false;
  }
#endif
  std::string text;
  std::string failure;
  switch (SystemFileSystem().ReadContents(path, text, &failure)) {
    case ReadOutcome::kRead:
      break;
    case ReadOutcome::kMissing:
      error = "the connection file " + path + " does not exist";
      return false;
    case ReadOutcome::kFailed:
      error = "the connection file " + path + " cannot be read: " + failure;
      return false;
  }
  bool found = false;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    std::size_t first = 0;
    while (first < line.size() && std::isspace(static_cast<unsigned char>(line[first]))) ++first;
    line.erase(0, first);
    if (line.empty() || line[0] == '#') continue;
    if (found) {
      error = "the connection file " + path +
              " holds more than one connection string (one line; lines starting with # are "
              "comments)";
      return false;
    }
    conninfo = line;
    found = true;
  }
  return true;
}

}  // namespace kx20
