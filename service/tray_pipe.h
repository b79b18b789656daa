// The service's end of the tray link (see base/tray_link.h): one
// notification per connection.
//
// Up to two attempts to connect: a busy endpoint is waited for 10 ms and
// tried again; a missing one means the tray is not running. Once connected
// (Windows: switched to message read mode), the two bytes are written and
// the answer is read into a 512-byte buffer (Windows: again while it reports
// more data). The wait for the answer is bounded by `answerTimeoutMs`, so
// that a tray that never answers cannot hold its caller. Every handle is
// closed before returning. Nothing is logged here.
#pragma once

#include <cstdint>
#include <string>

namespace talvik {

enum class TrayDelivery {
    kAnswered, // written, and the tray answered
    kMissing,  // no tray endpoint: the tray is not running
    kBusy,     // busy on both attempts, or the wait for it failed: lost
    kFailed,   // mode switch, write or answer read failed: lost
    kNoAnswer, // written, but no answer within the bound
};

TrayDelivery SendToTray(const std::string& endpoint, int code, std::uint32_t answerTimeoutMs);

} // namespace talvik
