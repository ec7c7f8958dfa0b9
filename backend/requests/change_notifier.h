// `nox::change_notifier`: how the request machinery tells the outside world about
// changes, without knowing who listens. The web API implements it (WebSocket clients and
// their subscriptions); tests implement it to watch what is announced.
//
// Thread safety: implementations must accept calls from any thread at any time.
#pragma once

#include "backend/model/model.h"

#include <string>
#include <vector>

namespace nox {

class change_notifier {
public:
    virtual ~change_notifier() = default;

    // Sends `text` (an event word or a notification) to every listener.
    virtual void broadcast(const std::string& text) = 0;

    // The change notification for the model `stored` (as it is now stored) of
    // `collection`, whose attributes `changed` were added or changed; empty when nobody
    // subscribed to any of it.
    virtual std::string build_notification(const std::string& collection, const model& stored,
                                           const std::vector<std::string>& changed) = 0;
};

}  // namespace nox
