// Windows: finding a virtual device among the system's kernel-streaming
// capture devices, for the camera and the audio clients alike. The calling
// thread must have COM initialised.
//
// The system device enumerator lists the capture category
// {65E8773D-8F56-11D0-A3B9-00A0C9223196}; the first device whose
// "FriendlyName", turned into narrow text, contains `name` gives its
// "DevicePath", converted to the ANSI code page into `path` (256 bytes).
// Logs
//   error  "<client> CoCreateInstance failed: {0}"   (the result code)
//   trace  "<client> DevicePath OK"                   on a match
// where <client> is `client`, such as "AudioDriver". True when `path` is
// not empty.
#pragma once

#include <cstddef>

namespace talvik {

inline constexpr std::size_t kCaptureDevicePathBytes = 256;

// How the wide friendly name becomes narrow text before the match.
enum class FriendlyNameText {
    // The C runtime's wcstombs, at most 256 characters.
    kRuntimeConversion,
    // At most 200 UTF-16 units, each cut to its low byte.
    kLowBytes,
};

bool FindCaptureDevicePath(const char* name, FriendlyNameText text, const char* client,
                           char (&path)[kCaptureDevicePathBytes]);

} // namespace talvik
