#include "support/tov_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/tov_exception.h"

using namespace vexa;

TEST(TovMutexTest, ReentrantForOwnerExclusiveForOthers) {
    TovMutex m;
    m.lock();
    m.lock();
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        m.lock();
        acquired = true;
        m.unlock();
    });
    m.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(acquired); // still held once
    m.unlock();
    other.join();
    EXPECT_TRUE(acquired);
}

TEST(TovExceptionTest, CarriesCodeAndText) {
    try {
        throw TovException(992314, "card not connected");
    } catch (const TovException& e) {
        EXPECT_EQ(e.code(), 992314);
        EXPECT_EQ(e.text(), "card not connected");
    }
    EXPECT_EQ(TovException(-1).text(), "");
}
