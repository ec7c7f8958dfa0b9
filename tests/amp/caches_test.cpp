#include "backend/amp/cache_line.h"
#include "backend/amp/reply_cache.h"

#include <gtest/gtest.h>

namespace {

using nox::amp::cache_line;
using nox::amp::device_address;
using nox::amp::line_cache;
using nox::amp::reply_cache;

const device_address amp{0x0001a2b3, 0x0c0d0e0f, 2};

// An exchange that counts how often it went on the wire.
struct wire {
    int sends = 0;
    int result = 0;
    std::string answer = "1";
    int operator()(std::string& reply) {
        ++sends;
        reply = result == 0 ? answer : std::string();
        return result;
    }
};

class ReplyCacheTest : public ::testing::Test {
protected:
    int query(const std::string& command, std::string& reply) {
        return cache.query(reply_cache::key(amp, command), reply, [this](std::string& r) { return on_wire(r); });
    }
    reply_cache cache;
    wire on_wire;
};

TEST_F(ReplyCacheTest, KeyIsAddressTextAndCommand) {
    EXPECT_EQ(reply_cache::key(amp, "Dev.Power?"), "0001a2b3:0c0d0e0f-Dev.Power?");
}

TEST_F(ReplyCacheTest, HitSendsNothing) {
    cache.enable();
    std::string first, second;
    EXPECT_EQ(query("Dev.Power?", first), 0);
    EXPECT_EQ(query("Dev.Power?", second), 0);
    EXPECT_EQ(on_wire.sends, 1);
    EXPECT_EQ(second, "1");
    cache.disable();
    EXPECT_EQ(query("Dev.Power?", second), 0);
    EXPECT_EQ(on_wire.sends, 2);
}

TEST_F(ReplyCacheTest, DisabledCacheSendsEveryTimeAndKeepsNothing) {
    std::string reply;
    query("Dev.Power?", reply);
    query("Dev.Power?", reply);
    EXPECT_EQ(on_wire.sends, 2);
    EXPECT_EQ(cache.size(), 0u);
}

TEST_F(ReplyCacheTest, FailuresAreNeverCached) {
    cache.enable();
    on_wire.result = 13;
    std::string reply;
    EXPECT_EQ(query("Dev.Power?", reply), 13);
    EXPECT_EQ(cache.size(), 0u);
    on_wire.result = 0;
    EXPECT_EQ(query("Dev.Power?", reply), 0);
    EXPECT_EQ(on_wire.sends, 2);
}

TEST_F(ReplyCacheTest, DistinctCommandsAndAddressesHaveDistinctEntries) {
    cache.enable();
    std::string reply;
    query("Dev.Pwr.Mute?1", reply);
    query("Dev.Pwr.Mute?2", reply);
    const device_address other{0x0001a2b3, 0x0c0d0e10, 2};
    cache.query(reply_cache::key(other, "Dev.Pwr.Mute?1"), reply, [this](std::string& r) { return on_wire(r); });
    EXPECT_EQ(on_wire.sends, 3);
}

TEST_F(ReplyCacheTest, EnableEmptiesTheCache) {
    cache.enable();
    std::string reply;
    query("Dev.Power?", reply);
    cache.enable();
    EXPECT_EQ(cache.size(), 0u);
    query("Dev.Power?", reply);
    EXPECT_EQ(on_wire.sends, 2);
}

TEST_F(ReplyCacheTest, ReplyIsNotStoredWhenTheCacheWasSwitchedOffMeanwhile) {
    cache.enable();
    std::string reply;
    cache.query(reply_cache::key(amp, "Dev.Power?"), reply, [this](std::string& r) {
        cache.disable();
        return on_wire(r);
    });
    cache.enable();
    query("Dev.Power?", reply);
    EXPECT_EQ(on_wire.sends, 2);
}

TEST(LineCache, AnswersIndicesInsideAReadLine) {
    line_cache cache;
    cache.enable();
    cache.append(cache_line{{5, 10, 13}, {100, 101, 102, 103}});
    EXPECT_EQ(cache.lookup(5, 10), 100u);
    EXPECT_EQ(cache.lookup(5, 13), 103u);
    EXPECT_FALSE(cache.lookup(5, 14));
    EXPECT_FALSE(cache.lookup(5, 9));
    EXPECT_FALSE(cache.lookup(4, 10));
}

TEST(LineCache, ShortLineOnlyAnswersTheWordsThatArrived) {
    line_cache cache;
    cache.enable();
    cache.append(cache_line{{2, 0, 35}, {7, 8}});
    EXPECT_EQ(cache.lookup(2, 1), 8u);
    EXPECT_FALSE(cache.lookup(2, 2));
}

TEST(LineCache, DisabledCacheNeitherAnswersNorKeeps) {
    line_cache cache;
    cache.append(cache_line{{5, 0, 0}, {1}});
    EXPECT_EQ(cache.size(), 0u);
    cache.enable();
    cache.append(cache_line{{5, 0, 0}, {1}});
    cache.disable();
    EXPECT_FALSE(cache.lookup(5, 0));
    EXPECT_EQ(cache.size(), 0u);
}

}  // namespace
