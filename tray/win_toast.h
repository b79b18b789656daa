// Toasts on Windows: the process-wide WinToast object binds the WinRT
// notification platform at run time, registers the program under an
// application user-model id (through a shortcut in the temporary directory
// that carries the id) and shows one simple toast per call.
//
// Every entry point is looked up by name, so that the program starts on a
// system without the platform: IsToastSupported() is false there, and so
// is everything built on it. All calls come from the tray's one thread;
// toast events arrive on platform threads and reach only the handler given
// with the toast.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace talvik {

// True when all six entry points were found (each library is loaded by
// name; a missing one makes it false).
bool IsToastSupported();

// What a toast event tells. CustomHandler ignores them all.
class IWinToastHandler {
public:
    enum class DismissalReason { kUserCanceled = 0, kApplicationHidden = 1, kTimedOut = 2 };
    virtual ~IWinToastHandler() = default;
    virtual void toastActivated(int actionIndex) const = 0;
    virtual void toastActivated() const = 0;
    virtual void toastDismissed(DismissalReason reason) const = 0;
    virtual void toastFailed() const = 0;
};

class CustomHandler : public IWinToastHandler {
public:
    void toastActivated(int) const override {}
    void toastActivated() const override {}
    void toastDismissed(DismissalReason) const override {}
    void toastFailed() const override {}
};

// One toast: the platform's template type, its text fields in order, the
// image's full path, and how long it lives.
struct WinToastTemplate {
    int type = 0;
    std::vector<std::wstring> textFields;
    std::wstring imagePath;
    std::int64_t expirationMs = 0;
};

class WinToast {
public:
    enum InitError { kNotSupported = 2, kShortcutFailed = 3, kIdNotAccepted = 4, kNameOrIdEmpty = 5 };
    enum ShortcutResult {
        kShortcutUnchanged = 0,
        kShortcutRewritten = 1,
        kShortcutCreated = 2,
        kShortcutMissingNameOrId = -1,
        kShortcutNotSupported = -2,
        kShortcutComFailed = -3,
        kShortcutNotWritten = -4,
    };

    static WinToast* instance();

    virtual ~WinToast();
    // Registers the identity: false with `error` (InitError) on failure.
    virtual bool InitToasts(int* error);
    virtual bool IsReady() const { return initialised_; }
    virtual bool HideToast(std::int64_t id);
    // The toast's id, or -1 (`error`: the failure's HRESULT when known).
    virtual std::int64_t ShowToast(const WinToastTemplate& toast, IWinToastHandler* handler, long* error = nullptr);
    virtual void ClearToasts();
    // Makes sure that "<application name>.lnk" in the temporary directory
    // points at this program and carries the id (ShortcutResult).
    virtual int EnsureShortcut();

    void setAppName(const std::wstring& name) { appName_ = name; }
    void setAppUserModelId(const std::wstring& id) { appUserModelId_ = id; }

private:
    WinToast() = default;
    std::wstring ShortcutPath() const;

    struct Shown;
    bool initialised_ = false;
    bool comInitialised_ = false;
    std::wstring appName_;
    std::wstring appUserModelId_;
    std::int64_t nextId_ = 0;
    std::map<std::int64_t, std::shared_ptr<Shown>> shown_;
};

} // namespace talvik
