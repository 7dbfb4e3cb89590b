#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kavro.h"
#include "support/camsim_process.h"
#include "support/source_live_client.h"

namespace kavro {
namespace {

using namespace test;

class LiveSource : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(KAVRO_Startup(0, 0, SourceCollectNotification, 0)); }
    static void TearDownTestSuite() { KAVRO_Cleanup(); }
    void TearDown() override { KAVRO_SetWaitTime(5, 1, 10); }
};

const char* TransportName(uint16_t transport) { return transport == 0 ? "udp" : "tcp"; }

struct StreamCase {
    uint16_t transport;
    std::vector<std::string> camsimArgs;
    bool fullUrl;
};

TEST_F(LiveSource, LostStreamIsReconnected) {
    const StreamCase cases[] = {
        // Video stops while sound goes on: the UDP video receiver times out.
        {0, {"--stop-video-after", "1"}, false},
        // Five seconds without a byte on the connection.
        {1, {"--stop-video-after", "1", "--audio", "none"}, false},
        // The camera drops the connection.
        {1, {"--close-after", "2"}, false},
    };
    for (const StreamCase& c : cases) {
        std::string args;
        for (const auto& a : c.camsimArgs) args += a + " ";
        SCOPED_TRACE(std::string(TransportName(c.transport)) + " " + args);
        KAVRO_SetWaitTime(5, 0, 1);  // a lost stream is retried whatever the count
        CamsimProcess cam(c.camsimArgs);
        ASSERT_TRUE(cam.Running());
        LiveClient client(c.transport, LoopbackAddress(cam.Port()));
        ASSERT_TRUE(client.Open());
        const std::vector<int32_t> reconnected =
            c.transport == 0 ? std::vector<int32_t>{0, 3, 4, 0} : std::vector<int32_t>{1, 0, 3, 4, 1, 0};
        ASSERT_TRUE(WaitForCode1(client.Handle(), reconnected, 16000))
            << ::testing::PrintToString(Code1Arguments(client.Handle()));
        EXPECT_EQ(Code1Arguments(client.Handle()), reconnected);
        EXPECT_EQ(client.handle.state.load(), 0);
        EXPECT_LT(client.Close(), 3000);
    }
}

}  // namespace
}  // namespace kavro
