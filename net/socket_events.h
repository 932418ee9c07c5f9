// Event signatures and window message numbers shared by the socket transport and its users.
#pragma once

#include "platform/message_window.h"

#include <QObject>

#include <functional>
#include <string>

namespace kelvo {

using TNotifyEvent = std::function<void(QObject* sender)>;
// Handled is false on entry; a handler that mended the cause sets it to have the operation try again.
using THandlerEvent = std::function<void(bool& handled)>;
using TOnHostResolved = std::function<void(QObject* sender)>;
using TOnStatus = std::function<void(QObject* sender, const std::string& status)>;

constexpr UINT WM_SOCKETEVENT = WM_USER + 101;
constexpr UINT WM_LOOKUPDONE = WM_USER + 102;

} // namespace kelvo
