#include <gtest/gtest.h>

#include "state/shared_state.h"
#include "remote/rpc_server.h"

using namespace netward;

namespace {

// No agent runs here: HandleRequest sees the GlobalArea alone.
class RpcStubTest : public testing::Test {
 protected:
  void SetUp() override {
    g_global_area.store(AllocateGlobalArea());
    memcpy(Global()->AccessKey, "Key\0\0\0\0\0\0\0\0\0\0\0\0\0", 16);
  }
  void TearDown() override { FreeGlobalArea(g_global_area.exchange(nullptr)); }
  RequestContext Context() {
    RequestContext c;
    c.g = Global();
    return c;
  }
  std::vector<uint8_t> Stub(const char* key, const char* request) {
    std::vector<uint8_t> stub(kRequestStubBytes, 0);
    memcpy(stub.data(), key, strnlen(key, 16));
    memcpy(stub.data() + 16, request, strlen(request));
    return stub;
  }
};

TEST_F(RpcStubTest, ReplyLayoutForGoodAndBadKeys) {
  auto stub = Stub("KEY", "TOTAL");
  std::vector<uint8_t> reply;
  ASSERT_EQ(RequestRpcStub(Context(), {stub, dcerpc::DataRep::Little(), 1}, reply), 0u);
  // referent, max count 132, 132 bytes (already 4-aligned), ReplyLength 132, status 0.
  ASSERT_EQ(reply.size(), 4 + 4 + 132 + 4 + 4);
  EXPECT_NE(reply[0] | reply[1] | reply[2] | reply[3], 0);
  EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 4, reply.begin() + 8), (std::vector<uint8_t>{132, 0, 0, 0}));
  EXPECT_EQ(std::string(reply.begin() + 8, reply.begin() + 12), "TASK");
  EXPECT_EQ(std::vector<uint8_t>(reply.end() - 8, reply.end()), (std::vector<uint8_t>{132, 0, 0, 0, 0, 0, 0, 0}));

  reply.clear();
  stub = Stub("Kez", "TOTAL");
  ASSERT_EQ(RequestRpcStub(Context(), {stub, dcerpc::DataRep::Big(), 1}, reply), 0u);
  EXPECT_EQ(reply, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF}))
      << "null pointer, length 0, result -2";
  EXPECT_EQ(Global()->Health.RequestCalls.load(), 2u);
  EXPECT_EQ(Global()->Health.RefusedKeys.load(), 1u);
}

TEST_F(RpcStubTest, ShortBodyIsBadStubDataAndPingAnswersZero) {
  auto stub = Stub("KEY", "TOTAL");
  stub.resize(kRequestStubBytes - 1);
  std::vector<uint8_t> reply;
  EXPECT_EQ(RequestRpcStub(Context(), {stub, dcerpc::DataRep::Little(), 1}, reply), 1783u);
  reply.clear();
  EXPECT_EQ(PingRpcStub(Context(), {{}, dcerpc::DataRep::Little(), 0}, reply), 0u);
  EXPECT_EQ(reply, (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(Global()->Health.PingCalls.load(), 1u);
  EXPECT_EQ(Global()->Health.RequestCalls.load(), 0u) << "a call whose stub did not read is not served";
}

}  // namespace
