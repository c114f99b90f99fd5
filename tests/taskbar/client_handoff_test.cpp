// The agent's hand-off to the client it starts: the file's text both ways, its mode and owner, its
// removal once read, and the launch that names it in the client's environment and nowhere on the
// client's command line.
#include "taskbar/client_handoff.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "common/scratch.h"
#include "taskbar/launch.h"

namespace netward {
namespace {

namespace fs = std::filesystem;
using testing_scratch::ScratchDir;

TEST(ClientHandoff, TextCarriesEveryKeyByte) {
  const std::string key("K\0y\xFF" "abc", 7);
  const std::string text = FormatHandoff({"/run/netward/tapeyesv.sock", key});
  EXPECT_EQ(text, "endpoint=/run/netward/tapeyesv.sock\nkey=4b0079ff616263000000000000000000\n");
  ClientHandoff back;
  std::string err;
  ASSERT_TRUE(ParseHandoff(text, back, err)) << err;
  EXPECT_EQ(back.local_endpoint, "/run/netward/tapeyesv.sock");
  EXPECT_EQ(back.key, key) << "the zero padding is dropped, a NUL inside the key is kept";
  ASSERT_TRUE(ParseHandoff("endpoint=/s\nkey=" + std::string(32, 'F') + "\n", back, err));
  EXPECT_EQ(back.key, std::string(16, '\xFF'));
}

TEST(ClientHandoff, AnythingElseIsRefused) {
  ClientHandoff h;
  std::string err;
  const std::string key = "key=" + std::string(32, '0') + "\n";
  for (const std::string& bad : std::vector<std::string>{"", "endpoint=/s\n", "endpoint=\n" + key, "endpoint=/s\n" + key + "more\n",
                                 "endpoint=/s\nkey=00\n", "endpoint=/s\nkey=" + std::string(32, 'g') + "\n",
                                 key + "endpoint=/s\n", "endpoint=/s\n" + key.substr(0, key.size() - 1),
                                 "endpointx=/s\n" + key}) {
    EXPECT_FALSE(ParseHandoff(bad, h, err)) << bad;
    EXPECT_FALSE(err.empty());
  }
}

TEST(ClientHandoff, FileIsPrivateAndGoneOnceRead) {
  ScratchDir dir;
  std::string err;
  const std::string path = WriteHandoffFile(dir.path, {"/tmp/a.sock", "secret"}, err);
  ASSERT_FALSE(path.empty()) << err;
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ClientHandoff h;
  ASSERT_TRUE(TakeHandoffFile(path, h, err)) << err;
  EXPECT_EQ(h.key, "secret");
  EXPECT_EQ(h.local_endpoint, "/tmp/a.sock");
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(TakeHandoffFile(path, h, err)) << "read once";
}

TEST(ClientHandoff, FileOthersCouldReadIsRefusedAndRemoved) {
  ScratchDir dir;
  const std::string path = dir.path + "/open";
  std::ofstream(path) << FormatHandoff({"/tmp/a.sock", "secret"});
  chmod(path.c_str(), 0644);
  ClientHandoff h;
  std::string err;
  EXPECT_FALSE(TakeHandoffFile(path, h, err));
  EXPECT_NE(err.find("only this user"), std::string::npos) << err;
  EXPECT_FALSE(fs::exists(path));
  const std::string link = dir.path + "/link";
  ASSERT_EQ(symlink("/etc/hostname", link.c_str()), 0);
  EXPECT_FALSE(TakeHandoffFile(link, h, err)) << "a link is not followed";
}

TEST(ClientHandoff, LaunchedClientFindsTheFileInItsEnvironmentNotItsArguments) {
  ScratchDir dir;
  const std::string out = dir.path + "/seen";
  const std::string client = dir.path + "/netward-console";
  // The stand-in client records its arguments, the variable, the file's mode and text.
  std::ofstream(client) << "#!/bin/sh\n{ echo \"args:$*\"; echo \"var:$" << kHandoffVariable
                        << "\"; stat -c %a \"$" << kHandoffVariable << "\"; cat \"$" << kHandoffVariable
                        << "\"; } > " << out << ".tmp\nmv " << out << ".tmp " << out << "\n";
  chmod(client.c_str(), 0755);
  testing_scratch::ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path.c_str());
  ASSERT_TRUE(LaunchClient(client, "/tmp/agent.sock", std::string("pw\0\0", 4)));
  for (int i = 0; i < 500 && !fs::exists(out); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::string seen = testing_scratch::ReadText(out);
  EXPECT_EQ(seen.rfind("args:\nvar:" + dir.path + "/netward-console-", 0), 0u) << seen;
  EXPECT_NE(seen.find("\n600\nendpoint=/tmp/agent.sock\nkey=70770000000000000000000000000000\n"), std::string::npos)
      << seen;
  // Not started: the file does not stay behind.
  auto handoffs = [&dir] {
    size_t n = 0;
    for (auto& e : fs::directory_iterator(dir.path)) n += e.path().filename().string().rfind("netward-console-", 0) == 0;
    return n;
  };
  const size_t before = handoffs();
  EXPECT_FALSE(LaunchClient(dir / "missing", "/tmp/agent.sock", "pw"));
  EXPECT_EQ(handoffs(), before);
  ReapLaunchedPrograms();
}

}  // namespace
}  // namespace netward
