#include "backend/api/websocket_hub.h"

#include "backend/requests/thread_tag.h"
#include "common/log/log.h"

#include <algorithm>
#include <vector>

namespace nox {

bool websocket_hub::serve(const connection& c) {
    auto self = std::make_shared<client>();
    {
        lock_guard lock(clients_mutex_);
        if (closed_) return false;
        clients_.push_back(self);
    }
    const std::string tag = thread_tag();
    try {
        if (c.open && !c.open()) {
            lock_guard lock(self->mutex);
            self->closing = true;
        } else {
            log_line(tag + "|> Websocket ready handler");
            broadcast("new front end connected");
        }
        for (;;) {
            std::shared_ptr<const std::string> message;
            bool probe = false;
            {
                unique_lock lock(self->mutex);
                const auto idle_until = std::chrono::steady_clock::now() + options_.keepalive;
                while (!self->closing && self->outbox.empty()) {
                    if (!c.keepalive) {
                        self->wake.wait(lock);
                    } else if (self->wake.wait_until(lock, idle_until) == std::cv_status::timeout) {
                        probe = !self->closing && self->outbox.empty();
                        break;
                    }
                }
                if (!probe) {
                    if (self->outbox.empty()) break;  // closing, nothing left to send
                    message = std::move(self->outbox.front());
                    self->outbox.pop_front();
                    self->outbox_bytes -= message->size();
                }
            }
            bool written;
            if (probe) {
                written = c.keepalive();
            } else {
                log_line("Notifying client (tid: " + tag + "): " + *message);
                written = c.text(*message);
            }
            if (!written) {
                lock_guard lock(self->mutex);
                close_client(*self);
            }
        }
        log_line(tag + "|> Quit signal received, exiting websocket handling for mg thread...");
    } catch (...) {
        // One connection's trouble is not the backend's: drop the client, keep serving.
        log_line(tag + "|> Unhandled exception while handling websocket! Closing this client.");
    }
    lock_guard lock(clients_mutex_);
    clients_.remove(self);
    emptied_.notify_all();
    return true;
}

void websocket_hub::close_client(client& c) {
    c.closing = true;
    c.outbox.clear();
    c.outbox_bytes = 0;
}

bool websocket_hub::wait_until_empty(std::chrono::milliseconds timeout) {
    unique_lock lock(clients_mutex_);
    return emptied_.wait_for(lock, timeout, [this]() REQUIRES(clients_mutex_) { return clients_.empty(); });
}

void websocket_hub::broadcast(const std::string& text) {
    size_t dropped = 0;
    const auto shared = std::make_shared<const std::string>(text);
    {
        lock_guard list_lock(clients_mutex_);
        for (const auto& c : clients_) {
            lock_guard lock(c->mutex);
            if (c->closing) continue;
            if (c->outbox.size() >= options_.max_outbox ||
                c->outbox_bytes + text.size() > options_.max_outbox_bytes) {
                // The client stopped reading: close it instead of queueing without bound.
                close_client(*c);
                ++dropped;
            } else {
                c->outbox.push_back(shared);
                c->outbox_bytes += text.size();
            }
            c->wake.notify_one();
        }
    }
    if (dropped)
        log_line("closed " + std::to_string(dropped) +
                 " WebSocket client(s) that stopped reading (outbox full)");
}

void websocket_hub::shutdown() {
    lock_guard list_lock(clients_mutex_);
    closed_ = true;
    for (const auto& c : clients_) {
        lock_guard lock(c->mutex);
        // Messages not yet sent are dropped; the shutdown word is the last one.
        c->outbox.clear();
        c->outbox_bytes = 0;
        if (!c->closing) c->outbox.push_back(std::make_shared<const std::string>("shutting_down"));
        c->closing = true;
        c->wake.notify_all();
    }
}

void websocket_hub::reopen() {
    lock_guard lock(clients_mutex_);
    closed_ = false;
}

bool websocket_hub::closed() const {
    lock_guard lock(clients_mutex_);
    return closed_;
}

size_t websocket_hub::client_count() const {
    lock_guard lock(clients_mutex_);
    return clients_.size();
}

}  // namespace nox
