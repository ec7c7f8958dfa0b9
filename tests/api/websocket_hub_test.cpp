#include "backend/api/websocket_hub.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A fake connection: records what the sender loop writes; can be made to block or fail.
struct fake_connection {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> written;
    bool fail = false;
    bool block = false;
    bool held = false;  // a write has waited while blocked

    bool write(const std::string& m) {
        std::unique_lock lock(mutex);
        if (block) {
            held = true;
            changed.notify_all();
        }
        changed.wait(lock, [&] { return !block; });
        if (fail) return false;
        written.push_back(m);
        changed.notify_all();
        return true;
    }
    bool wait_for(size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return written.size() >= count; });
    }
    std::vector<std::string> messages() {
        std::lock_guard lock(mutex);
        return written;
    }
    // Waits until a write is held by the block.
    bool wait_held() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return held; });
    }
    void set_block(bool b) {
        std::lock_guard lock(mutex);
        block = b;
        changed.notify_all();
    }
};

class WebsocketHub : public ::testing::Test {
protected:
    std::future<void> connect(nox::websocket_hub& hub, fake_connection& c) {
        auto done = std::async(std::launch::async, [&hub, &c] {
            hub.serve_client([&c](const std::string& m) { return c.write(m); });
        });
        return done;
    }
    bool wait_clients(nox::websocket_hub& hub, size_t n) {
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (hub.client_count() != n) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }
};

TEST_F(WebsocketHub, NewClientIsAnnouncedToEveryClientItselfIncluded) {
    nox::websocket_hub hub;
    fake_connection a, b;
    auto da = connect(hub, a);
    ASSERT_TRUE(a.wait_for(1));
    auto db = connect(hub, b);
    std::shared_ptr<void> stop(nullptr, [&](void*) { hub.shutdown(); });
    ASSERT_TRUE(b.wait_for(1));
    ASSERT_TRUE(a.wait_for(2));
    EXPECT_EQ(a.messages(), (std::vector<std::string>{"new front end connected", "new front end connected"}));
    EXPECT_EQ(b.messages().front(), "new front end connected");
}

TEST_F(WebsocketHub, BroadcastReachesAllClientsInOrder) {
    nox::websocket_hub hub;
    fake_connection a, b;
    auto da = connect(hub, a);
    ASSERT_TRUE(a.wait_for(1));
    auto db = connect(hub, b);
    std::shared_ptr<void> stop(nullptr, [&](void*) { hub.shutdown(); });
    ASSERT_TRUE(b.wait_for(1));
    ASSERT_TRUE(a.wait_for(2));
    for (int i = 0; i < 100; ++i) hub.broadcast("m" + std::to_string(i));
    ASSERT_TRUE(a.wait_for(102));
    ASSERT_TRUE(b.wait_for(101));
    auto got_a = a.messages();
    auto got_b = b.messages();
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(got_a[2 + i], "m" + std::to_string(i));
        EXPECT_EQ(got_b[1 + i], "m" + std::to_string(i));
    }
}

TEST_F(WebsocketHub, ShutdownSendsTheShutdownWordLastAndEndsEveryLoop) {
    nox::websocket_hub hub;
    fake_connection a;
    auto da = connect(hub, a);
    ASSERT_TRUE(a.wait_for(1));
    hub.shutdown();
    ASSERT_EQ(da.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(a.messages().back(), "shutting_down");
    EXPECT_EQ(hub.client_count(), 0u);
    // A client that arrives after the shutdown is not served.
    fake_connection late;
    auto dl = connect(hub, late);
    ASSERT_EQ(dl.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(late.messages().empty());
}

TEST_F(WebsocketHub, FailedWriteRemovesTheClient) {
    nox::websocket_hub hub;
    fake_connection a;
    a.fail = true;
    auto da = connect(hub, a);
    ASSERT_EQ(da.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(hub.client_count(), 0u);
}

TEST_F(WebsocketHub, ClientThatStopsReadingIsClosedWithoutStallingOthers) {
    nox::websocket_hub hub(nox::websocket_hub::options{50});
    fake_connection slow, fast;
    auto ds = connect(hub, slow);
    ASSERT_TRUE(slow.wait_for(1));
    slow.set_block(true);  // its next write blocks, as a full socket would
    auto df = connect(hub, fast);
    std::shared_ptr<void> stop(nullptr, [&](void*) {
        slow.set_block(false);
        hub.shutdown();
    });
    ASSERT_TRUE(fast.wait_for(1));
    // The fast client's greeting is the slow one's next message: its write now hangs.
    ASSERT_TRUE(slow.wait_held());
    // Paced so that the fast client keeps up; the blocked one falls behind.
    for (int i = 0; i < 200; ++i) {
        hub.broadcast("m" + std::to_string(i));
        if (i % 10 == 9) {
            ASSERT_TRUE(fast.wait_for(i + 2)) << "the fast client was held up";
        }
    }
    ASSERT_TRUE(wait_clients(hub, 2));
    slow.set_block(false);  // the blocked write returns; the closed client then ends
    ASSERT_EQ(ds.wait_for(5s), std::future_status::ready);
    EXPECT_LT(slow.messages().size(), 60u);
    EXPECT_EQ(hub.client_count(), 1u);
}

TEST_F(WebsocketHub, IdleClientIsProbedAndDroppedWhenTheProbeFails) {
    nox::websocket_hub::options options;
    options.keepalive = 20ms;
    nox::websocket_hub hub(options);
    fake_connection a;
    std::atomic<int> probes{0};
    std::atomic<bool> gone{false};
    nox::websocket_hub::connection c;
    c.text = [&a](const std::string& m) { return a.write(m); };
    c.keepalive = [&] { return ++probes < 3 && !gone; };
    auto done = std::async(std::launch::async, [&] { return hub.serve(c); });
    ASSERT_TRUE(a.wait_for(1));
    // Nothing to send: the loop probes the connection instead of waiting for ever, and
    // the third probe fails, as a write to a vanished peer does.
    ASSERT_EQ(done.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(done.get());
    EXPECT_EQ(probes.load(), 3);
    EXPECT_EQ(hub.client_count(), 0u);
}

TEST_F(WebsocketHub, AClientWhoseOpeningFailsIsNeitherAnnouncedNorKept) {
    nox::websocket_hub hub;
    fake_connection a, b;
    auto da = connect(hub, a);
    std::shared_ptr<void> stop(nullptr, [&](void*) { hub.shutdown(); });
    ASSERT_TRUE(a.wait_for(1));
    nox::websocket_hub::connection c;
    c.text = [&b](const std::string& m) { return b.write(m); };
    c.open = [] { return false; };
    EXPECT_TRUE(hub.serve(c));
    EXPECT_TRUE(b.messages().empty());
    hub.broadcast("after");
    ASSERT_TRUE(a.wait_for(2));
    EXPECT_EQ(a.messages(), (std::vector<std::string>{"new front end connected", "after"}));
    EXPECT_EQ(hub.client_count(), 1u);
}

TEST_F(WebsocketHub, ServeRefusesAfterShutdownWithoutOpening) {
    nox::websocket_hub hub;
    hub.shutdown();
    bool opened = false;
    nox::websocket_hub::connection c;
    c.text = [](const std::string&) { return true; };
    c.open = [&] { return opened = true; };
    EXPECT_FALSE(hub.serve(c));
    EXPECT_FALSE(opened);
}

}  // namespace
