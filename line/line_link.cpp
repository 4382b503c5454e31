#include "line/line_link.h"

#include "line/odbc_strings.h"
#if KX20_LINE_HAVE_LIBPQ
#include "line/pg_link.h"
#endif
#if KX20_LINE_HAVE_ODBC
#include "line/odbc_link.h"
#endif

namespace kx20 {
namespace {

// A link this build cannot make: every call says why.
class MissingLink final : public LineLink {
 public:
  explicit MissingLink(std::string why) : why_(std::move(why)) {}
  bool Connect(std::string& error) override {
    error = why_;
    return false;
  }
  bool Connected() const override { return false; }
  void Disconnect() override {}
  bool Exec(const std::string&, const std::vector<std::optional<std::string>>&, PgResult*,
            std::string& error) override {
    error = why_;
    return false;
  }

 private:
  std::string why_;
};

}  // namespace

std::unique_ptr<LineLink> OpenLineLink(const std::string& conninfo, int connectTimeoutSeconds,
                                       int queryTimeoutMs) {
  // Without libpq (the Windows builds) every string is an ODBC one.
  const bool odbc = !KX20_LINE_HAVE_LIBPQ || IsOdbcConnectionString(conninfo);
#if KX20_LINE_HAVE_ODBC
  if (odbc) return std::make_unique<OdbcLink>(conninfo, connectTimeoutSeconds, queryTimeoutMs);
#else
  if (odbc) {
    return std::make_unique<MissingLink>(
        "this build has no ODBC (it was built without unixODBC); give a libpq connection "
        "string");
  }
#endif
#if KX20_LINE_HAVE_LIBPQ
  return std::make_unique<PgLink>(conninfo, connectTimeoutSeconds, queryTimeoutMs);
#else
  return std::make_unique<MissingLink>("this build has no libpq");
#endif
}

}  // namespace kx20
