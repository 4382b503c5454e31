#include "line/line_link.h"

#include "line/pg_link.h"

namespace kx20 {

std::unique_ptr<LineLink> OpenLineLink(const std::string& conninfo, int connectTimeoutSeconds,
                                       int queryTimeoutMs) {
  return std::make_unique<PgLink>(conninfo, connectTimeoutSeconds, queryTimeoutMs);
}

}  // namespace kx20
