#include "tray/tray_app.h"

#include "base/tray_link.h"

#include <spdlog/spdlog.h>

namespace talvik {

namespace {

constexpr int kBarcodeIcon = 101;
constexpr int kPhoneIcon = 102;

constexpr TrayNotice kNotices[] = {
    {kTrayBarcodeClient, "Barcode Reader connected", "barcode.png", kBarcodeIcon, "Talvik Barcode Reader",
     "Talvik Barcode Reader connected"},
    {kTrayWifiPhone, "Vidrelo connected via WiFi", "vidrelo.png", kPhoneIcon, "Vidrelo",
     "Vidrelo connected via WiFi"},
    {kTrayUsbPhone, "Vidrelo connected via USB", "vidrelo.png", kPhoneIcon, "Vidrelo", "Vidrelo connected via USB"},
};

} // namespace

const TrayNotice* NoticeFor(int code)
{
    for (const TrayNotice& notice : kNotices)
        if (notice.code == code)
            return &notice;
    return nullptr;
}

int CodeOf(char first)
{
    return static_cast<unsigned char>(first) - '0';
}

bool SettingsEnabled(const char* commandLine)
{
    return commandLine[0] == '1';
}

void TrayApp::HandleNotification(int code)
{
    if (code == lastCode_)
        return;
    const TrayNotice* notice = NoticeFor(code);
    // Once a balloon has stood in for a toast, the icon is there: code 0
    // must remove it even where toasts work, or it would outlive the
    // service.
    const bool leaveIcon = code == kTrayServiceStopping && !balloonShown_;
    if (desktop_.ToastsAvailable() && (notice != nullptr || leaveIcon)) {
        if (notice == nullptr) {
            lastCode_ = code;
            return;
        }
        if (desktop_.ShowToast(*notice)) {
            spdlog::info("Toast shown: {0}", notice->toastText);
            lastCode_ = code;
            return;
        }
    }
    if (code == kTrayServiceStopping) {
        spdlog::info("Notification icon removed, the tray ends");
        desktop_.RemoveIconAndQuit();
    } else if (notice != nullptr) {
        desktop_.ShowBalloon(*notice);
        balloonShown_ = true;
    }
    lastCode_ = code;
}

} // namespace talvik
