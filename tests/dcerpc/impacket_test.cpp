#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "server_fixture.h"

namespace {

TEST(DcerpcImpacket, IndependentClientDirectAndThroughEndpointMapper) {
  if (access("/usr/bin/python3", X_OK) != 0 || system("/usr/bin/python3 -c 'import impacket' 2>/dev/null") != 0)
    GTEST_SKIP() << "python3-impacket not installed";
  // Python and impacket take their time on a loaded machine: the short idle time-out of the other
  // tests would close a connection between two of the script's calls.
  dcerpc::ServerLimits limits = testsrv::TestLimits();
  limits.idle_timeout_ms = 30000;
  testsrv::RunningServer rs(limits, true);
  ASSERT_EQ(rs.ep_status, 0u);
  rs.state.reply_size = 400 * 1024;
  char key[33];
  for (int i = 0; i < 16; ++i) std::snprintf(key + 2 * i, 3, "%02x", rs.state.key[i]);
  std::string cmd = std::string("/usr/bin/python3 ") + NETWARD_SOURCE_DIR + "/tests/dcerpc/impacket_client.py " +
                    std::to_string(rs.port) + " " + std::to_string(rs.ep_port) + " " + key + " " +
                    std::to_string(rs.state.reply_size.load()) + " 2>&1";
  FILE* f = popen(cmd.c_str(), "r");
  ASSERT_NE(f, nullptr);
  std::string out;
  char buf[512];
  while (fgets(buf, sizeof buf, f)) out += buf;
  int rc = pclose(f);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("ALL OK"), std::string::npos) << out;
  EXPECT_GE(rs.state.pings.load(), 2u);
}

}  // namespace
