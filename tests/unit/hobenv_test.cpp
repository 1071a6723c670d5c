#include "hobenv.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "hobglobal.h"

namespace {

const char* const kNames[] = {
    "CONTENT_LENGTH",     "CONTENT_TYPE",         "DOCUMENT_NAME",
    "DOCUMENT_URI",       "DOCUMENT_ROOT",        "GATEWAY_INTERFACE",
    "HTTP_ACCEPT",        "HTTP_ACCEPT_ENCODING", "HTTP_ACCEPT_LANGUAGE",
    "HTTP_CACHE_CONTROL", "HTTP_CONNECTION",      "HTTP_COOKIE",
    "HTTP_HOST",          "HTTP_REFERER",         "HTTP_USER_AGENT",
    "HTTP_VIA",           "LAST_MODIFIED",        "PATH",
    "PATH_INFO",          "PATH_TRANSLATED",      "QUERY_STRING",
    "REMOTE_ADDR",        "REMOTE_PORT",          "REQUEST_METHOD",
    "REQUEST_URI",        "SCRIPT_FILENAME",      "SCRIPT_NAME",
    "SERVER_ADDR",        "SERVER_ADMIN",         "SERVER_NAME",
    "SERVER_PORT",        "SERVER_PROTOCOL",      "SERVER_SIGNATURE",
    "SERVER_SOFTWARE",
};

// Every variable but PATH is set to "v-" and its name; SERVER_SOFTWARE is unset.
std::string Expected(const std::string& name) {
  if (name == "PATH") return getenv("PATH");
  if (name == "SERVER_SOFTWARE") return "";
  return "v-" + name;
}

TEST(GetEnvTest, CapturesEachVariableIntoItsMemberAndTracesItInOrder) {
  for (const char* name : kNames) {
    if (std::string(name) != "PATH") setenv(name, Expected(name).c_str(), 1);
  }
  unsetenv("SERVER_SOFTWARE");
  char log[] = "/tmp/hobenv_test.XXXXXX";
  int fd = mkstemp(log);
  ASSERT_GE(fd, 0);
  close(fd);
  go.log.Initialize(log);

  CHobEnv env;
  env.GetEnv();
  go.log.strFileName = "";

  EXPECT_STREQ(env.CONTENT_LENGTH.m_pszText, "v-CONTENT_LENGTH");
  EXPECT_STREQ(env.PATH.m_pszText, getenv("PATH"));
  EXPECT_STREQ(env.PATH_INFO.m_pszText, "v-PATH_INFO");
  EXPECT_STREQ(env.QUERY_STRING.m_pszText, "v-QUERY_STRING");
  EXPECT_STREQ(env.REQUEST_METHOD.m_pszText, "v-REQUEST_METHOD");
  EXPECT_STREQ(env.SERVER_NAME.m_pszText, "v-SERVER_NAME");
  EXPECT_STREQ(env.SERVER_SOFTWARE.m_pszText, "");

  std::ifstream in(log);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  unlink(log);
  ASSERT_EQ(lines.size(), std::size(kNames));
  for (size_t i = 0; i < lines.size(); i++) {
    std::string name = kNames[i];
    std::string tail = name + std::string(20 - name.size(), ' ') + " = [" + Expected(name) + "]";
    EXPECT_EQ(lines[i].substr(lines[i].size() - tail.size()), tail);
  }
  EXPECT_NE(lines[7].find(", HTTP_ACCEPT_ENCODING = [v-HTTP_ACCEPT_ENCODING]"), std::string::npos);
}

TEST(RemoteHostTest, ResolvesLoopbackAndRejectsNonAddresses) {
  CHobEnv env;
  EXPECT_STREQ(env.GetRemoteHost().m_pszText, "");
  env.REMOTE_ADDR = "not-an-address";
  EXPECT_STREQ(env.GetRemoteHost().m_pszText, "");
  env.REMOTE_ADDR = "127.0.0.1";
  EXPECT_FALSE(env.GetRemoteHost().IsEmpty()) << "127.0.0.1 is named in /etc/hosts";
}

}  // namespace
