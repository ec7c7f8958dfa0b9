#include "backend/api/websocket_handshake.h"

#include <gtest/gtest.h>

namespace {

TEST(WebsocketHandshake, AcceptKeyOfTheProtocolsOwnExample) {
    EXPECT_EQ(nox::websocket_accept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    EXPECT_EQ(nox::websocket_accept_answer("dGhlIHNhbXBsZSBub25jZQ=="),
              "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
}

TEST(WebsocketHandshake, KeyMustBeSixteenBytesInBase64) {
    EXPECT_TRUE(nox::valid_websocket_key("dGhlIHNhbXBsZSBub25jZQ=="));
    EXPECT_TRUE(nox::valid_websocket_key(" AAAAAAAAAAAAAAAAAAAAAA== "));
    EXPECT_FALSE(nox::valid_websocket_key(""));
    EXPECT_FALSE(nox::valid_websocket_key("dGhlIHNhbXBsZSBub25jZQ="));    // 23 characters
    EXPECT_FALSE(nox::valid_websocket_key("dGhlIHNhbXBsZSBub25jZQAA"));   // no padding: 18 bytes
    EXPECT_FALSE(nox::valid_websocket_key("dGhlIHNhbXBsZSBub25j%Q=="));   // not base64
    EXPECT_FALSE(nox::valid_websocket_key("dGhlIHNhbXBsZSBub25jZR=="));   // bits past the 16th byte
}

TEST(WebsocketHandshake, HeaderTokensAreFoundInListsRegardlessOfCase) {
    EXPECT_TRUE(nox::header_has_token("Upgrade", "upgrade"));
    EXPECT_TRUE(nox::header_has_token("keep-alive, Upgrade", "upgrade"));
    EXPECT_TRUE(nox::header_has_token(" WebSocket ", "websocket"));
    EXPECT_FALSE(nox::header_has_token("keep-alive", "upgrade"));
    EXPECT_FALSE(nox::header_has_token("upgrades", "upgrade"));
    EXPECT_FALSE(nox::header_has_token("", "upgrade"));
}

}  // namespace
