// The tray program's logic, the same on every platform: which notification
// each code shows, the last-code rule, and the balloon fallback.
//
// A code is a character minus '0': the first byte of a message from the
// service, or the first character of the program's command line (an empty
// one gives a code that matches nothing). A code equal to the last one
// handled is ignored, so that the service's repeats show one notification.
//
// For every code the desktop is asked whether toasts can be shown now. If
// so, codes 1, 4 and 5 show a toast and other codes only become the last
// code. Without toasts, or when the toast is refused, the balloon fallback
// shows codes 1, 4 and 5 from the notification icon, and code 0 (the
// service stopping) removes the icon and ends the program. Code 0 does so
// also where toasts work once a balloon has stood in for a failed toast
// (toasts can be set up and still be refused when shown), so that the
// icon never outlives the service.
#pragma once

namespace talvik {

// What a notification code shows.
struct TrayNotice {
    int code;
    const char* toastText;   // the toast's one line
    const char* imageFile;   // the toast's image, in the install directory
    int iconResource;        // the balloon's icon (Windows resource id)
    const char* tip;         // the icon's tip
    const char* balloonText; // the balloon's text
};

// The notice for codes 1, 4 and 5; null for every other code.
const TrayNotice* NoticeFor(int code);

// The code of a message's first byte or of the command line's first
// character.
int CodeOf(char first);

// "Settings" is offered when the command line starts with "1".
bool SettingsEnabled(const char* commandLine);

// What the platform shows.
class TrayDesktop {
public:
    virtual ~TrayDesktop() = default;
    // Asked for every notification: toasts can be shown now.
    virtual bool ToastsAvailable() = 0;
    // False when the toast could not be shown.
    virtual bool ShowToast(const TrayNotice& notice) = 0;
    virtual void ShowBalloon(const TrayNotice& notice) = 0;
    // Ends the program's loop; the notification icon goes with it.
    virtual void RemoveIconAndQuit() = 0;
};

class TrayApp {
public:
    explicit TrayApp(TrayDesktop& desktop) : desktop_(desktop) {}

    void HandleNotification(int code);

private:
    TrayDesktop& desktop_;
    int lastCode_ = -1;
    bool balloonShown_ = false;
};

} // namespace talvik
