#include "line/odbc_strings.h"

#include <cctype>

#include "common/text_compare.h"

namespace kx20 {
namespace {

std::string Trimmed(const std::string& s) {
  std::size_t begin = 0;
  std::size_t end = s.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(s[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(s[end - 1]))) --end;
  return s.substr(begin, end - begin);
}

// Letters, digits, '_', '$' and bytes of multibyte characters: what an
// identifier is made of, so a '$' after one of them belongs to it.
bool IsIdentifierChar(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return std::isalnum(u) || c == '_' || c == '$' || u >= 0x80;
}

bool IsTagStart(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return std::isalpha(u) || c == '_' || u >= 0x80;
}

// The dollar quote's opening tag at `at` ("$$" or "$name$"), or empty.
std::string DollarTag(const std::string& sql, std::size_t at) {
  std::size_t i = at + 1;
  if (i < sql.size() && sql[i] == '$') return "$$";
  if (i >= sql.size() || !IsTagStart(sql[i])) return "";
  while (i < sql.size() && IsIdentifierChar(sql[i]) && sql[i] != '$') ++i;
  if (i < sql.size() && sql[i] == '$') return sql.substr(at, i - at + 1);
  return "";
}

}  // namespace

std::vector<OdbcAttribute> ParseOdbcAttributes(const std::string& text) {
  std::vector<OdbcAttribute> attributes;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t eq = text.find('=', i);
    const std::size_t semi = text.find(';', i);
    if (eq == std::string::npos || (semi != std::string::npos && semi < eq)) {
      const std::size_t end = semi == std::string::npos ? text.size() : semi;
      const std::string keyword = Trimmed(text.substr(i, end - i));
      if (!keyword.empty()) attributes.emplace_back(keyword, "");
      i = end + 1;
      continue;
    }
    const std::string keyword = Trimmed(text.substr(i, eq - i));
    std::size_t v = eq + 1;
    while (v < text.size() && text[v] == ' ') ++v;
    std::string value;
    if (v < text.size() && text[v] == '{') {
      // Braced: up to the closing brace, "}}" standing for one.
      std::size_t j = v + 1;
      for (; j < text.size(); ++j) {
        if (text[j] == '}') {
          if (j + 1 < text.size() && text[j + 1] == '}') {
            value += '}';
            ++j;
            continue;
          }
          break;
        }
        value += text[j];
      }
      const std::size_t next = text.find(';', j);
      i = next == std::string::npos ? text.size() : next + 1;
    } else {
      const std::size_t end = semi == std::string::npos ? text.size() : semi;
      value = Trimmed(text.substr(v, end - v));
      i = end + 1;
    }
    attributes.emplace_back(keyword, value);
  }
  return attributes;
}

std::string OdbcAttributeValue(const std::vector<OdbcAttribute>& attributes,
                               const std::string& keyword) {
  for (const OdbcAttribute& a : attributes) {
    if (EqualsIgnoringCase(a.first, keyword)) return a.second;
  }
  return "";
}

bool IsOdbcConnectionString(const std::string& conninfo) {
  if (conninfo.size() >= 5 && EqualsIgnoringCase(conninfo.substr(0, 5), kOdbcPrefix)) return true;
  for (const OdbcAttribute& a : ParseOdbcAttributes(conninfo)) {
    if (EqualsIgnoringCase(a.first, "driver") || EqualsIgnoringCase(a.first, "dsn") ||
        EqualsIgnoringCase(a.first, "filedsn")) {
      return true;
    }
  }
  return false;
}

std::string WithoutOdbcPrefix(const std::string& conninfo) {
  if (conninfo.size() >= 5 && EqualsIgnoringCase(conninfo.substr(0, 5), kOdbcPrefix)) {
    return conninfo.substr(5);
  }
  return conninfo;
}

std::string OdbcSessionString(const std::string& connectionString, int queryTimeoutMs) {
  std::string s = connectionString;
  while (!s.empty() && (s.back() == ';' || std::isspace(static_cast<unsigned char>(s.back())))) {
    s.pop_back();
  }
  if (!s.empty()) s += ';';
  // Protocol 7.4 with rollback level 0: the driver sets no savepoint before
  // each statement of a transaction.
  s += "Protocol=7.4-0;BoolsAsChar=0";
  if (OdbcAttributeValue(ParseOdbcAttributes(connectionString), "pqopt").empty()) {
    s += ";pqopt={keepalives=1 keepalives_idle=5 keepalives_interval=2 keepalives_count=3 "
         "tcp_user_timeout=" +
         std::to_string(2 * queryTimeoutMs) + "}";
  }
  return s;
}

bool ToOdbcMarkers(const std::string& sql, std::size_t parameterCount, std::string& out,
                   std::vector<std::size_t>& order, std::string& error) {
  out.clear();
  order.clear();
  std::vector<bool> used(parameterCount, false);
  const std::size_t n = sql.size();
  std::size_t i = 0;
  // Copies from `i` up to and including the end of what starts there,
  // found by `end` (the index just past it, or n when unterminated).
  const auto copyTo = [&](std::size_t end) {
    out.append(sql, i, end - i);
    i = end;
  };
  while (i < n) {
    const char c = sql[i];
    const bool afterIdentifier = i > 0 && IsIdentifierChar(sql[i - 1]);
    if (c == '\'') {
      // A string: '' inside it is a quote; an E'' string also escapes with
      // a backslash.
      const bool escapes = i > 0 && (sql[i - 1] == 'E' || sql[i - 1] == 'e') &&
                           !(i > 1 && IsIdentifierChar(sql[i - 2]));
      std::size_t j = i + 1;
      for (; j < n; ++j) {
        if (escapes && sql[j] == '\\') {
          ++j;
        } else if (sql[j] == '\'') {
          if (j + 1 < n && sql[j + 1] == '\'') {
            ++j;
          } else {
            break;
          }
        }
      }
      copyTo(j < n ? j + 1 : n);
    } else if (c == '"') {
      std::size_t j = i + 1;
      for (; j < n; ++j) {
        if (sql[j] == '"') {
          if (j + 1 < n && sql[j + 1] == '"') {
            ++j;
          } else {
            break;
          }
        }
      }
      copyTo(j < n ? j + 1 : n);
    } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
      const std::size_t eol = sql.find('\n', i);
      copyTo(eol == std::string::npos ? n : eol + 1);
    } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
      // Block comments nest.
      int depth = 0;
      std::size_t j = i;
      while (j < n) {
        if (sql[j] == '/' && j + 1 < n && sql[j + 1] == '*') {
          ++depth;
          j += 2;
        } else if (sql[j] == '*' && j + 1 < n && sql[j + 1] == '/') {
          j += 2;
          if (--depth == 0) break;
        } else {
          ++j;
        }
      }
      copyTo(j);
    } else if (c == '$' && !afterIdentifier && i + 1 < n &&
               std::isdigit(static_cast<unsigned char>(sql[i + 1]))) {
      std::size_t j = i + 1;
      std::size_t number = 0;
      while (j < n && std::isdigit(static_cast<unsigned char>(sql[j]))) {
        if (number < 100000) number = number * 10 + static_cast<std::size_t>(sql[j] - '0');
        ++j;
      }
      if (number < 1 || number > parameterCount) {
        error = "the statement uses $" + sql.substr(i + 1, j - i - 1) + " but has " +
                std::to_string(parameterCount) + " parameter(s)";
        return false;
      }
      order.push_back(number - 1);
      used[number - 1] = true;
      out += '?';
      i = j;
    } else if (c == '$' && !afterIdentifier && !DollarTag(sql, i).empty()) {
      const std::string tag = DollarTag(sql, i);
      const std::size_t close = sql.find(tag, i + tag.size());
      copyTo(close == std::string::npos ? n : close + tag.size());
    } else if (c == '?') {
      error = "the statement has a ? outside quotes, which ODBC would take for a parameter";
      return false;
    } else {
      out += c;
      ++i;
    }
  }
  for (std::size_t p = 0; p < parameterCount; ++p) {
    if (!used[p]) {
      error = "the statement does not use its parameter $" + std::to_string(p + 1);
      return false;
    }
  }
  return true;
}

std::string OdbcMessageLine(const std::string& message) {
  // Line by line: a server's CONTEXT block (where in our own SQL an error
  // arose) runs to the next message of its own and tells an operator
  // nothing.
  std::string s;
  bool inContext = false;
  for (std::size_t start = 0; start <= message.size();) {
    std::size_t end = message.find('\n', start);
    if (end == std::string::npos) end = message.size();
    const std::string line = Trimmed(message.substr(start, end - start));
    start = end + 1;
    if (line.rfind("CONTEXT:", 0) == 0) {
      inContext = true;
    } else if (line.rfind("server ", 0) == 0 || line.rfind("FATAL:", 0) == 0 ||
               line.rfind("ERROR:", 0) == 0 || line.rfind("connection ", 0) == 0 ||
               line.rfind("The connection", 0) == 0 || line.rfind(";", 0) == 0) {
      inContext = false;
    }
    if (inContext || line.empty()) continue;
    if (!s.empty()) s += line[0] == ';' ? "" : " ";
    s += line;
  }
  for (char& c : s) {
    if (c == '\t') c = ' ';
  }
  const std::string executing = "Error while executing the query";
  if (s.size() >= executing.size() &&
      s.compare(s.size() - executing.size(), executing.size(), executing) == 0) {
    s = Trimmed(s.substr(0, s.size() - executing.size()));
    if (!s.empty() && s.back() == ';') s.pop_back();
  }
  if (s.rfind("ERROR:", 0) == 0) s = Trimmed(s.substr(6));
  return s;
}

}  // namespace kx20
