// `nox::notifier`: the subscription tables and the change notifications pushed to the
// WebSocket clients.
//
// Subscriptions are counts, not per client: every connected client receives every
// notification. An object subscription (collection, id) announces every change of that
// model; an attribute subscription (collection, id, attribute) announces changes of one
// attribute. Subscribing raises the count by one, unsubscribing lowers it, never below 0.
// An object subscription with id 0 covers every model of its collection (one object event
// per change, as for a single model).
//
// Change notification (see docs/websocket.md): "application/json" directly followed by
// compact JSON and a line end:
//   application/json{"events":[{"path":{"type":"frames","id":"3"},"obj":{"id":"3","name":"A"}}]}
// An object event carries "id" and the changed attributes (for `requests` every attribute
// of the request); an attribute event ("path" with "attr") carries that attribute (for
// `requests` every attribute) and "id". Object event first, then attribute events in the
// order of the changed keys. No matching subscription: no notification (empty text).
//
// Thread safety: every operation may be called from any thread; the tables have their
// own mutex, taken alone.
#pragma once

#include "backend/api/websocket_hub.h"
#include "backend/requests/change_notifier.h"
#include "common/platform/mutex.h"

#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace nox {

class notifier : public change_notifier {
public:
    explicit notifier(websocket_hub& hub) : hub_(hub) {}

    void subscribe(const std::string& type, int32_t id, const std::string& attr = {});
    void unsubscribe(const std::string& type, int32_t id, const std::string& attr = {});
    // The current count of a subscription (0 when it never existed).
    int count(const std::string& type, int32_t id, const std::string& attr = {}) const;

    void broadcast(const std::string& text) override { hub_.broadcast(text); }
    std::string build_notification(const std::string& collection, const model& stored,
                                   const std::vector<std::string>& changed) override;

private:
    using object_key = std::pair<std::string, int32_t>;
    using attribute_key = std::tuple<std::string, int32_t, std::string>;

    websocket_hub& hub_;
    mutable mutex mutex_;
    std::map<object_key, int> objects_ GUARDED_BY(mutex_);
    std::map<attribute_key, int> attributes_ GUARDED_BY(mutex_);
};

}  // namespace nox
