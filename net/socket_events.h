// Event signatures and window message numbers shared by the socket transport and its users.
#pragma once

#include "platform/message_window.h"

#include <QObject>

#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace kelvo {

using TNotifyEvent = std::function<void(QObject* sender)>;
// Handled is false on entry; a handler that mended the cause sets it to have the operation try again.
using THandlerEvent = std::function<void(bool& handled)>;
using TOnHostResolved = std::function<void(QObject* sender)>;
using TOnStatus = std::function<void(QObject* sender, const std::string& status)>;

// Fires an event through a copy, so that its handler may replace itself or destroy the
// object that holds it. `life` is that object's token (it expires, or reads false, once
// the object is gone). Returns false when the object is gone afterwards: the caller
// must then leave without touching it. An unassigned event is skipped.
template <typename Event, typename... Args>
[[nodiscard]] bool Fire(const std::weak_ptr<const bool>& life, const Event& event, Args&&... args) {
    const std::shared_ptr<const bool> alive = life.lock(); // keeps the flag readable past the object
    if (event) {
        const Event copy = event;
        copy(std::forward<Args>(args)...);
    }
    return alive && *alive;
}

constexpr UINT WM_SOCKETEVENT = WM_USER + 101;
constexpr UINT WM_LOOKUPDONE = WM_USER + 102;

} // namespace kelvo
