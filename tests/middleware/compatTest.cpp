#include "bridgeTls.h"
#include "compat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <pwd.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace
{

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

TEST(HostIdentity, NamesAreTheSystemsInLowerCase)
{
    char host[260];
    ASSERT_EQ(tarnixCompat_getComputerName(host, sizeof(host)), 0);
    char expectedHost[260] = {0};
    ASSERT_EQ(gethostname(expectedHost, sizeof(expectedHost)), 0);
    EXPECT_EQ(std::string(host), lower(expectedHost));

    char user[65];
    ASSERT_EQ(tarnixCompat_getUserName(user, sizeof(user)), 0);
    const struct passwd* pw = getpwuid(geteuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(std::string(user), lower(pw->pw_name));
}

TEST(HostIdentity, SizeZeroFailsAndLeavesTheBufferAlone)
{
    char buffer[4] = {'x', 'y', 'z', 'w'};
    EXPECT_EQ(tarnixCompat_getUserName(buffer, 0), -1);
    EXPECT_EQ(tarnixCompat_getComputerName(buffer, 0), -1);
    EXPECT_EQ(std::memcmp(buffer, "xyzw", 4), 0);
}

TEST(HostIdentity, ABufferTooSmallFailsWithATerminatedText)
{
    char user[2] = {'Q', 'Q'};
    const struct passwd* pw = getpwuid(geteuid());
    ASSERT_NE(pw, nullptr);
    ASSERT_GT(std::strlen(pw->pw_name), 1u) << "needs a user name longer than one character";
    EXPECT_EQ(tarnixCompat_getUserName(user, sizeof(user)), -1);
    EXPECT_EQ(user[1], '\0');
}

TEST(ThreadStorage, OneZeroedSlotPerThreadThatStays)
{
    void** mine = tarnixBridgeTls_get();
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(*mine, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(mine) % 8, 0u);
    int marker = 0;
    *mine = &marker;
    EXPECT_EQ(tarnixBridgeTls_get(), mine);

    void** other = nullptr;
    void* otherValue = &marker;
    std::thread worker(
        [&]
        {
            other = tarnixBridgeTls_get();
            otherValue = other != nullptr ? *other : &marker;
        }); /* the worker's slot is freed when it ends (ASan reports a leak otherwise) */
    worker.join();
    EXPECT_NE(other, nullptr);
    EXPECT_NE(other, mine);
    EXPECT_EQ(otherValue, nullptr);
    EXPECT_EQ(*tarnixBridgeTls_get(), &marker);
    *mine = nullptr;
}

} // namespace
