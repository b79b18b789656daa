// The notification link from the service to the tray program.
//
// A notification is one ASCII digit (the code plus '0') followed by a NUL:
// two bytes, sent as one message. The tray answers every message with
// "Default answer from server" and its NUL; the service reads the answer
// but does not look at it.
//
// Windows: the named pipe "\\.\pipe\talvikpipe" (one instance, message
// mode). Linux: the Unix socket "talvikpipe" (SOCK_SEQPACKET, so that
// message boundaries survive) in the runtime directory
// (base/runtime_directory_posix.h); empty without one.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#ifndef _WIN32
#include "base/runtime_directory_posix.h"
#endif

namespace talvik {

// What a notification tells the tray.
enum TrayCode : int {
    kTrayServiceStopping = 0,
    kTrayBarcodeClient = 1,
    kTrayUsbPhone = 4,
    kTrayWifiPhone = 5,
};

inline constexpr std::size_t kTrayMessageBytes = 2;
inline constexpr const char* kTrayAnswer = "Default answer from server";
inline constexpr std::size_t kTrayAnswerBufferBytes = 512;

inline std::array<char, kTrayMessageBytes> TrayMessage(int code)
{
    return {static_cast<char>('0' + code), '\0'};
}

// Where the tray listens.
inline std::string TrayEndpoint()
{
#ifdef _WIN32
    return "\\\\.\\pipe\\talvikpipe";
#else
    return RuntimePath("talvikpipe");
#endif
}

} // namespace talvik
