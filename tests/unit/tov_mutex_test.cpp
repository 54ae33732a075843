#include "support/tov_mutex.h"

#include <gtest/gtest.h>

#include <future>

#include "support/tov_exception.h"

using namespace vexa;

TEST(TovMutexTest, ReentrantForOwnerExclusiveForOthers) {
    TovMutex m;
    m.lock();
    m.lock();
    m.unlock();
    // Whether another thread gets it now; that thread never keeps it.
    const auto anotherThreadTakes = [&m] {
        return std::async(std::launch::async,
                          [&m] {
                              const bool taken = m.try_lock();
                              if (taken) m.unlock();
                              return taken;
                          })
            .get();
    };
    EXPECT_FALSE(anotherThreadTakes()); // still held once
    m.unlock();
    EXPECT_TRUE(anotherThreadTakes());
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
