// talviktray on Windows: a hidden window owns the 500 ms timer that polls
// the pipe server, the notification icon with its menu, and the balloon
// fallback; toasts go through WinToast. One thread does everything.
#include "base/config.h"
#include "base/logging.h"
#include "base/program_command.h"
#include "base/tray_link.h"
#include "tray/pipe_server.h"
#include "tray/tray_app.h"
#include "tray/win_toast.h"

#include <windows.h>
#include <shellapi.h>

#include <spdlog/spdlog.h>

#include <cstring>
#include <string>

namespace talvik {

namespace {

constexpr const char* kWindowClass = "TalvikTrayClass";
constexpr const char* kWindowTitle = "TalvikTray";
constexpr UINT_PTR kPollTimer = 1;
constexpr UINT kPollPeriodMs = 500;
constexpr UINT kIconId = 5000;
constexpr UINT kIconCallback = WM_USER + 1;
constexpr UINT_PTR kCloseCommand = 3000;
constexpr UINT_PTR kSettingsCommand = 3001;
constexpr std::int64_t kToastExpirationMs = 1000;

bool settingsEnabled = false;
UINT taskbarCreatedMessage = 0;
HMENU popupMenu = nullptr;
TrayApp* app = nullptr;
PipeServer* server = nullptr;

// The window-less parts of a notification icon record for our icon.
NOTIFYICONDATAA IconRecord(HWND window)
{
    NOTIFYICONDATAA record{};
    record.cbSize = sizeof(NOTIFYICONDATAA);
    record.hWnd = window;
    record.uID = kIconId;
    return record;
}

std::wstring Wide(const std::string& text)
{
    const int units = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (units <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), units);
    wide.resize(static_cast<std::size_t>(units) - 1);
    return wide;
}

class WindowsDesktop : public TrayDesktop {
public:
    WindowsDesktop(HINSTANCE instance, HWND window) : instance_(instance), window_(window) {}

    bool ToastsAvailable() override
    {
        if (!IsToastSupported())
            return false;
        WinToast* toasts = WinToast::instance();
        toasts->setAppName(L"Vidrelo");
        toasts->setAppUserModelId(L"Talvik");
        int error = 0;
        if (toasts->InitToasts(&error))
            return true;
        spdlog::trace("Toasts not initialised: {0}", error);
        return false;
    }

    bool ShowToast(const TrayNotice& notice) override
    {
        const auto directory = InstallDirectory();
        if (!directory)
            return false;
        WinToastTemplate toast;
        toast.type = 0; // one text line and one image
        toast.textFields = {Wide(notice.toastText)};
        toast.imagePath = Wide(*directory + notice.imageFile);
        toast.expirationMs = kToastExpirationMs;
        long error = 0;
        if (WinToast::instance()->ShowToast(toast, new CustomHandler, &error) >= 0)
            return true;
        spdlog::trace("Toast not shown: {0:x}", static_cast<unsigned long>(error));
        return false;
    }

    void ShowBalloon(const TrayNotice& notice) override
    {
        NOTIFYICONDATAA record = IconRecord(window_);
        record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
        record.uCallbackMessage = kIconCallback;
        record.hIcon = LoadIconA(instance_, MAKEINTRESOURCEA(notice.iconResource));
        lstrcpynA(record.szTip, notice.tip, sizeof record.szTip);
        lstrcpynA(record.szInfo, notice.balloonText, sizeof record.szInfo);
        // A second balloon while the icon is there changes that icon, so
        // that one icon stands for the tray however often it notifies.
        BOOL shown = Shell_NotifyIconA(iconAdded_ ? NIM_MODIFY : NIM_ADD, &record);
        if (!shown && iconAdded_)
            shown = Shell_NotifyIconA(NIM_ADD, &record); // the shell restarted without it
        if (!shown) {
            spdlog::error("Shell_NotifyIcon failed: {0}", GetLastError());
            return;
        }
        iconAdded_ = true;
        spdlog::info("Balloon shown: {0}", notice.balloonText);
    }

    // The icon goes once the loop has ended: removing it can take the shell
    // a few seconds, and the service waits for the answer to its 0 only
    // so long.
    void RemoveIconAndQuit() override { PostQuitMessage(0); }

    ~WindowsDesktop() override
    {
        if (!iconAdded_)
            return;
        NOTIFYICONDATAA record = IconRecord(window_);
        Shell_NotifyIconA(NIM_DELETE, &record);
    }

private:
    HINSTANCE instance_;
    HWND window_;
    bool iconAdded_ = false;
};

void StartSettings()
{
    const auto directory = InstallDirectory();
    if (!directory)
        return;
    // The same bound as every program the system starts.
    const std::string path = *directory + kSettingsProgramFile;
    if (path.size() + 1 > kCommandLineBytes)
        return;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.lpDesktop = const_cast<char*>("Winsta0\\Default");
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process{};
    // Not waited for; only the handles are given back.
    if (CreateProcessA(path.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

void ShowMenu(HWND window)
{
    POINT cursor{};
    GetCursorPos(&cursor);
    SetForegroundWindow(window);
    const UINT_PTR command = TrackPopupMenu(popupMenu, TPM_RETURNCMD | TPM_NONOTIFY, cursor.x, cursor.y, 0, window,
                                            nullptr);
    if (command == kCloseCommand)
        PostQuitMessage(0);
    else if (command == kSettingsCommand)
        StartSettings();
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == taskbarCreatedMessage && taskbarCreatedMessage != 0) {
        if (!IsWindowVisible(window))
            return 0;
        return DefWindowProcA(window, message, wParam, lParam);
    }
    switch (message) {
    case WM_CREATE:
        popupMenu = CreatePopupMenu();
        if (settingsEnabled)
            AppendMenuA(popupMenu, MF_STRING, kSettingsCommand, "Settings");
        AppendMenuA(popupMenu, MF_STRING, kCloseCommand, "Close");
        break;
    case WM_DESTROY:
        PostQuitMessage(0);
        break;
    case WM_CLOSE:
        if (app != nullptr)
            app->HandleNotification(kTrayServiceStopping);
        return 0;
    case WM_NCHITTEST: {
        const LRESULT hit = DefWindowProcA(window, message, wParam, lParam);
        return hit == HTCLIENT ? HTCAPTION : hit;
    }
    case WM_TIMER:
        if (server != nullptr)
            server->PollPipeServer();
        SetTimer(window, kPollTimer, kPollPeriodMs, nullptr);
        break;
    case kIconCallback:
        if (LOWORD(lParam) == WM_RBUTTONDOWN) {
            ShowMenu(window);
            return 0;
        }
        break;
    default:
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// The menu's items, for the log: "Settings, Close" or "Close".
std::string MenuText()
{
    std::string text;
    const int count = GetMenuItemCount(popupMenu);
    for (int i = 0; i < count; ++i) {
        char item[64] = "";
        GetMenuStringA(popupMenu, static_cast<UINT>(i), item, sizeof item, MF_BYPOSITION);
        text += (i > 0 ? ", " : "") + std::string(item);
    }
    return text;
}

int RunTray(HINSTANCE instance, const char* commandLine, int show)
{
    SetUpLogging(kTrayLogFileName);
    spdlog::info("Tray started with \"{0}\"", commandLine);
    settingsEnabled = SettingsEnabled(commandLine);
    taskbarCreatedMessage = RegisterWindowMessageA("TaskbarCreated");

    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    windowClass.hIconSm = LoadIconA(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kWindowClass;
    if (RegisterClassExA(&windowClass) == 0)
        FatalAppExitA(0, "Couldn't register window class!");

    const HWND window = CreateWindowA(kWindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                      400, 400, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        spdlog::error("CreateWindow failed: {0}", GetLastError());
        return 0;
    }
    ShowWindow(window, show);
    spdlog::info("Tray menu: {0}", MenuText());

    WindowsDesktop desktop(instance, window);
    TrayApp tray(desktop);
    PipeServer pipe([&tray](int code) { tray.HandleNotification(code); });
    pipe.Create(TrayEndpoint());
    app = &tray;
    server = &pipe;
    SetTimer(window, kPollTimer, kPollPeriodMs, nullptr);
    tray.HandleNotification(CodeOf(commandLine[0]));

    MSG message{};
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    tray.HandleNotification(kTrayServiceStopping);
    KillTimer(window, kPollTimer);
    server = nullptr;
    app = nullptr;
    spdlog::info("Tray ended");
    ShutDownLogging();
    return static_cast<int>(message.wParam);
}

} // namespace

} // namespace talvik

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int show)
{
    return talvik::RunTray(instance, commandLine != nullptr ? commandLine : "", show);
}
