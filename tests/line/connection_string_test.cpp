#include "line/connection_string.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "line/line_link.h"

namespace kx20 {
namespace {

// Every way of turning the connect timeout off is refused, in each kind of
// string; a positive one, none, or a value libpq itself refuses passes.
TEST(ConnectionString, ATimeoutThatWaitsForEverIsRefused) {
  struct Case {
    const char* conninfo;
    bool refused;
  };
  const Case cases[] = {
      {"host=db dbname=line connect_timeout=0", true},
      {"host=db connect_timeout = '0' dbname=line", true},
      {"connect_timeout=-5 host=db", true},
      {"connect_timeout=' 0 '", true},
      {"postgresql://kx20@db/line?connect_timeout=0", true},
      {"postgres://db/line?sslmode=verify-full&connect_timeout=%30", true},
      {"Driver={PostgreSQL Unicode};Server=db;pqopt={connect_timeout=0 keepalives=1}", true},
      {"odbc:DSN=line;pqopt={sslmode=verify-full connect_timeout=-1}", true},
      {"host=db dbname=line connect_timeout=10", false},
      {"host=db dbname=line", false},
      {"", false},
      {"service=line", false},
      {"host=db application_name='connect_timeout=0'", false},  // a value, not the keyword
      {"postgresql://db/line?connect_timeout=5", false},
      {"DSN=line", false},
      {"Driver={PostgreSQL Unicode};Server=db;pqopt={connect_timeout=4}", false},
      {"connect_timeout=abc", false},  // libpq refuses it with its own words
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.conninfo);
    std::string error;
    EXPECT_EQ(!CheckConnectTimeout(c.conninfo, error), c.refused);
    if (c.refused) {
      EXPECT_NE(error.find("waiting for ever"), std::string::npos) << error;
      // Whoever opens a link with it gets the same refusal, never a wait.
      auto link = OpenLineLink(c.conninfo, 3, 5000);
      std::string linkError;
      EXPECT_FALSE(link->Connect(linkError));
      EXPECT_EQ(linkError, error);
    }
  }
}

TEST(ConnectionString, APasswordIsFoundInEachKindOfString) {
  struct Case {
    const char* conninfo;
    bool password;
  };
  const Case cases[] = {
      {"host=db user=kx20 password=secret", true},
      {"host=db password='s e c'", true},
      {"postgresql://kx20:secret@db/line", true},
      {"postgresql://db/line?password=secret", true},
      {"Driver={PostgreSQL Unicode};Server=db;UID=kx20;PWD=secret", true},
      {"DSN=line;Password={se;cret}", true},
      {"odbc:DSN=line;pqopt={password=secret}", true},
      {"host=db user=kx20 passfile=/etc/kx20/pgpass", false},
      {"postgresql://kx20@db/line?sslmode=verify-full", false},
      {"DSN=line", false},
      {"service=line", false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.conninfo);
    EXPECT_EQ(HasPassword(c.conninfo), c.password);
    EXPECT_EQ(CommandLinePasswordWarning(c.conninfo).empty(), !c.password);
  }
}

class ConnectionFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("kx20-conn-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Write(const std::string& name, const std::string& text, int mode = 0600) {
    const std::filesystem::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << text;
#ifndef _WIN32
    chmod(path.c_str(), static_cast<mode_t>(mode));
#else
    (void)mode;
#endif
    return path.string();
  }
  std::filesystem::path dir_;
};

TEST_F(ConnectionFile, TheStringIsTheFirstLineThatIsNotACommentOrEmpty) {
  struct Case {
    const char* text;
    const char* conninfo;
  };
  const Case cases[] = {
      {"host=db dbname=line user=st1\n", "host=db dbname=line user=st1"},
      {"# the line's database\n\n  service=line  \r\n# end\n", "service=line"},
      {"DSN=line", "DSN=line"},
      {"", ""},  // the environment's settings
      {"# nothing but a comment\n\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string conninfo = "stale";
    std::string error;
    ASSERT_TRUE(ReadConnectionFile(Write("line.conn", c.text), conninfo, error)) << error;
    EXPECT_EQ(conninfo, c.conninfo);
  }
  std::string conninfo;
  std::string error;
  EXPECT_FALSE(ReadConnectionFile(Write("two.conn", "host=a\nhost=b\n"), conninfo, error));
  EXPECT_NE(error.find("more than one connection string"), std::string::npos) << error;
  EXPECT_FALSE(ReadConnectionFile((dir_ / "missing.conn").string(), conninfo, error));
  EXPECT_NE(error.find("missing.conn"), std::string::npos) << error;
}

#ifndef _WIN32
// A file every user may read (a password) or change (another database) is
// refused, naming the mode and the remedy; a group may read it.
TEST_F(ConnectionFile, AFileEveryUserMayReadOrChangeIsRefused) {
  struct Case {
    int mode;
    const char* words;  // empty: accepted
  };
  const Case cases[] = {
      {0600, ""},
      {0640, ""},
      {0400, ""},
      {0644, "may be read by every user of this machine (mode 0644)"},
      {0604, "may be read by every user"},
      {0602, "may be changed by every user of this machine (mode 0602)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    const std::string path = Write("line.conn", "host=db password=secret\n", c.mode);
    std::string conninfo;
    std::string error;
    const bool read = ReadConnectionFile(path, conninfo, error);
    EXPECT_EQ(read, *c.words == '\0') << error;
    if (!read) {
      EXPECT_NE(error.find(c.words), std::string::npos) << error;
      EXPECT_NE(error.find("chmod 600"), std::string::npos) << error;
      EXPECT_EQ(conninfo, "") << "nothing of a refused file is used";
    }
  }
  std::string conninfo;
  std::string error;
  EXPECT_FALSE(ReadConnectionFile(dir_.string(), conninfo, error));
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
}
#endif

}  // namespace
}  // namespace kx20
