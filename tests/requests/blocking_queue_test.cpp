#include "backend/requests/blocking_queue.h"

#include <gtest/gtest.h>

#include <future>
#include <string>

namespace {

TEST(BlockingQueue, PopsInPushOrder) {
    nox::blocking_queue<int> q;
    q.push(1);
    q.push(2);
    q.push(3);
    EXPECT_EQ(q.pop(), 1);
    EXPECT_EQ(q.pop(), 2);
    EXPECT_EQ(q.pop(), 3);
}

TEST(BlockingQueue, CloseWakesAWaitingPop) {
    nox::blocking_queue<std::string> q;
    auto waiter = std::async(std::launch::async, [&] { return q.pop(); });
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    q.close();
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(waiter.get().has_value());
}

TEST(BlockingQueue, ItemsLeftAtCloseAreNeverPopped) {
    nox::blocking_queue<int> q;
    q.push(1);
    q.close();
    EXPECT_FALSE(q.pop().has_value());
    q.push(2);  // dropped
    EXPECT_FALSE(q.pop().has_value());
    q.reopen();
    EXPECT_EQ(q.size(), 0u);
    q.push(3);
    EXPECT_EQ(q.pop(), 3);
}

TEST(BlockingQueue, PushWakesAWaitingPop) {
    nox::blocking_queue<int> q;
    auto waiter = std::async(std::launch::async, [&] { return q.pop(); });
    q.push(7);
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 7);
}

}  // namespace
