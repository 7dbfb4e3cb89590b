#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/Tick.h"
#include "platform/WindowMessage.h"
#include "support/x11_window.h"
#include "support/x11_xvfb.h"

using namespace kavro;

// One program-wide sequence: the library's message connection is opened once and kept.
TEST(X11WindowMessage, DroppedWithoutServerThenDeliveredAsClientMessage) {
    const char* old = std::getenv("DISPLAY");
    const std::string saved = old ? old : "";
    setenv("DISPLAY", ":9999", 1);  // nothing listens there
    EXPECT_FALSE(PostWindowMessage(0x200001, 300, 1, 3));
    if (old)
        setenv("DISPLAY", saved.c_str(), 1);
    else
        unsetenv("DISPLAY");

    test::XvfbServer xvfb;
    if (!xvfb.Start(320, 240, 24)) GTEST_SKIP() << xvfb.Error();
    test::X11TestClient host;
    ASSERT_TRUE(host.ok());
    const uint32_t wnd = host.CreateWindow(50, 50);
    const uint32_t atom = host.InternAtom("KAVRO_TEST_NOTIFY");

    // A failed connection is tried again, but not more than once a second.
    SleepMs(1100);
    struct Case {
        int32_t code, argument;
    } cases[] = {{1, 3}, {2, 0x8001}, {6, 4}, {4, -7}};
    for (const Case& c : cases) {
        ASSERT_TRUE(PostWindowMessage(wnd, atom, c.code, c.argument)) << c.code;
        uint32_t type = 0;
        long l0 = 0, l1 = 0;
        ASSERT_TRUE(host.WaitClientMessage(wnd, 2000, &type, &l0, &l1)) << c.code;
        EXPECT_EQ(atom, type);
        EXPECT_EQ(c.code, int32_t(l0));
        EXPECT_EQ(c.argument, int32_t(l1));
    }

    // A window that does not exist (any more): the X error stays inside the library.
    host.Destroy(wnd);
    EXPECT_FALSE(PostWindowMessage(wnd, atom, 1, 3));
    EXPECT_FALSE(PostWindowMessage(0, atom, 1, 3));
    // The connection is still good afterwards.
    const uint32_t other = host.CreateWindow(50, 50, 100, 100);
    EXPECT_TRUE(PostWindowMessage(other, atom, 1, 0));
    uint32_t type = 0;
    long l0 = 0, l1 = 0;
    EXPECT_TRUE(host.WaitClientMessage(other, 2000, &type, &l0, &l1));
}
