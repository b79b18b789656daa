// Short status lines for a person who runs the service in a terminal: what
// it waits on, which camera and microphone it drives, each phone that comes
// and goes. They go to standard error whatever the log level, and only once
// ShowConsoleStatus(true) was called (the Linux program does so when its
// standard error is a terminal and systemd did not start it); otherwise
// ConsoleStatus does nothing. The log file is not affected.
#pragma once

#include <string_view>

namespace talvik {

void ShowConsoleStatus(bool show);

// Writes "talvik: <line>" and a line end, in one write, from any thread.
// For events: every call is written.
void ConsoleStatus(std::string_view line);

// A fact about `topic` ("WiFi", "USB", "camera" ...): written as above when
// it differs from the last line written for the topic, so that a person is
// told each fact once, and again only when it changes.
void ConsoleFact(std::string_view topic, std::string_view line);

} // namespace talvik
