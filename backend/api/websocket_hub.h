// `nox::websocket_hub`: the connected WebSocket clients, their outboxes and the sender
// loop that runs on each connection's own web-server thread.
//
// The backend never reads what a client sends; it only pushes text messages: event words
// ("sigupdate", "project_dirty", ...) and change notifications. `broadcast` appends a copy
// to the outbox of every client; each connection's sender loop (`serve_client`, called by
// the WebSocket-ready callback) takes the messages in order and writes them, one text
// frame each, on its own connection. Writes of different clients never wait for each
// other.
//
// A connection that is idle for `keepalive` gets a keep-alive probe (a WebSocket ping):
// writing to a client that went away fails, so its record and its web-server thread are
// given back within about two intervals even when there is nothing to broadcast.
//
// A client that falls behind is dropped rather than allowed to hold memory or others:
// when its outbox passes `max_outbox` messages (or `max_outbox_bytes`) it is closed (its queued messages are
// discarded); a write that fails (the connection's write time-out included) closes it too.
// `shutdown` replaces every outbox with the single word "shutting_down", lets the sender
// loops write it and end, and refuses clients that connect later.
//
// Lifecycle: a client record is created by `serve_client` and removed from the list
// before `serve_client` returns, so nothing refers to the connection afterwards.
//
// Thread safety: every operation may be called from any thread. Lock order: the
// client-list mutex, then a client's own mutex; neither is held while a message is
// written or logged.
#pragma once

#include "common/platform/mutex.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <string>

namespace nox {

class websocket_hub {
public:
    struct options {
        size_t max_outbox = 10000;                // messages
        size_t max_outbox_bytes = 64 * 1024 * 1024;  // their total size
        std::chrono::milliseconds keepalive{15000};  // idle time before a probe
    };

    websocket_hub() : websocket_hub(options{}) {}
    explicit websocket_hub(options opts) : options_(opts) {}
    websocket_hub(const websocket_hub&) = delete;
    websocket_hub& operator=(const websocket_hub&) = delete;

    // Writes one text message to the connection; false when it failed.
    using writer = std::function<bool(const std::string& message)>;

    // What the sender loop needs of one connection.
    struct connection {
        writer text;
        // Writes a keep-alive probe; false when it failed. Optional.
        std::function<bool()> keepalive;
        // Called once the client is registered, before anything is written (the web
        // server answers the handshake here); false gives the client up. Optional.
        std::function<bool()> open;
    };

    // The sender loop of one connection: registers the client, announces it with
    // "new front end connected" (to every client, itself included) and writes its outbox
    // until the client is closed. After `shutdown` it returns false at once, having
    // written nothing; otherwise true once the client has been served.
    bool serve(const connection& c);
    void serve_client(const writer& write) { serve({write, {}, {}}); }

    // Appends `text` to every client's outbox.
    void broadcast(const std::string& text) EXCLUDES(clients_mutex_);

    // Sends "shutting_down" as each client's last message and closes every client.
    void shutdown() EXCLUDES(clients_mutex_);
    // Waits until every sender loop has ended (each has written its last message), or
    // until `timeout` passes; true when none is left. The web server may only be stopped
    // afterwards: stopping it aborts the writes still in progress.
    bool wait_until_empty(std::chrono::milliseconds timeout) EXCLUDES(clients_mutex_);

    // Allows clients again after a shutdown (a backend started anew).
    void reopen() EXCLUDES(clients_mutex_);

    size_t client_count() const EXCLUDES(clients_mutex_);
    // True after `shutdown` (until `reopen`).
    bool closed() const EXCLUDES(clients_mutex_);

private:
    struct client {
        nox::mutex mutex;
        std::condition_variable_any wake;
        // One copy of each message, shared by every outbox it is in.
        std::deque<std::shared_ptr<const std::string>> outbox GUARDED_BY(mutex);
        size_t outbox_bytes GUARDED_BY(mutex) = 0;
        bool closing GUARDED_BY(mutex) = false;
    };

    // Gives up a client's queued messages and marks it closing.
    static void close_client(client& c) REQUIRES(c.mutex);

    const options options_;
    mutable nox::mutex clients_mutex_;
    std::condition_variable_any emptied_;  // signalled when a client is removed
    std::list<std::shared_ptr<client>> clients_ GUARDED_BY(clients_mutex_);
    bool closed_ GUARDED_BY(clients_mutex_) = false;
};

}  // namespace nox
