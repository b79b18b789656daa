// talviktray on Linux: toasts are freedesktop desktop notifications over the
// session bus. The pipe server is polled every 500 ms from the GLib main
// loop, which libnotify runs on as well. When no notification service
// answers, the tray behaves as the Windows tray without toasts: there is no
// notification icon to show a balloon from, so the notice is logged only,
// and code 0 ends the program. SIGINT and SIGTERM end it in order.
#include "base/config.h"
#include "base/logging.h"
#include "base/tray_link.h"
#include "tray/pipe_server.h"
#include "tray/tray_app.h"

#include <glib-unix.h>
#include <libnotify/notify.h>
#include <spdlog/spdlog.h>

#include <csignal>

namespace talvik {

namespace {

constexpr const char* kApplicationName = "Vidrelo";
constexpr guint kPollPeriodMs = 500;
// Toasts expire one second after they are shown.
constexpr int kToastExpirationMs = 1000;

class NotifyDesktop : public TrayDesktop {
public:
    explicit NotifyDesktop(GMainLoop* loop) : loop_(loop) {}
    ~NotifyDesktop() override
    {
        if (notify_is_initted())
            notify_uninit();
    }

    bool ToastsAvailable() override
    {
        if (!notify_is_initted() && !notify_init(kApplicationName))
            return false;
        // Asked every time: a notification service may come and go.
        char* name = nullptr;
        char* vendor = nullptr;
        char* version = nullptr;
        char* protocolVersion = nullptr;
        const bool answered = notify_get_server_info(&name, &vendor, &version, &protocolVersion);
        for (char* text : {name, vendor, version, protocolVersion})
            g_free(text);
        return answered;
    }

    bool ShowToast(const TrayNotice& notice) override
    {
        const std::string image = InstallPath(SystemConfigStore(), notice.imageFile, InstallFile::kData);
        NotifyNotification* toast = notify_notification_new(notice.toastText, nullptr, image.c_str());
        notify_notification_set_timeout(toast, kToastExpirationMs);
        GError* error = nullptr;
        const bool shown = notify_notification_show(toast, &error);
        if (!shown) {
            spdlog::error("Desktop notification failed: {0}", error != nullptr ? error->message : "");
            g_clear_error(&error);
        }
        g_object_unref(toast);
        return shown;
    }

    void ShowBalloon(const TrayNotice& notice) override
    {
        spdlog::info("No notification service, not shown: {0}", notice.balloonText);
    }

    // From the loop itself: a quit asked before the loop runs (code 0 on the
    // command line) would otherwise be lost, and the tray would never end.
    void RemoveIconAndQuit() override
    {
        g_idle_add(
            [](gpointer loop) {
                g_main_loop_quit(static_cast<GMainLoop*>(loop));
                return G_SOURCE_REMOVE;
            },
            loop_);
    }

private:
    GMainLoop* loop_;
};

gboolean Poll(gpointer server)
{
    static_cast<PipeServer*>(server)->PollPipeServer();
    return G_SOURCE_CONTINUE;
}

gboolean Quit(gpointer loop)
{
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_CONTINUE;
}

int RunTray(const char* commandLine)
{
    SetUpLogging(kTrayLogFileName);
    spdlog::info("Tray started with \"{0}\"", commandLine);
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    const guint interrupt = g_unix_signal_add(SIGINT, Quit, loop);
    const guint terminate = g_unix_signal_add(SIGTERM, Quit, loop);
    {
        // Settings have no program to start here; the flag only matters for
        // the Windows menu.
        NotifyDesktop desktop(loop);
        TrayApp app(desktop);
        PipeServer server([&app](int code) { app.HandleNotification(code); });
        server.Create(TrayEndpoint());
        const guint timer = g_timeout_add(kPollPeriodMs, Poll, &server);
        app.HandleNotification(CodeOf(commandLine[0]));
        g_main_loop_run(loop);
        g_source_remove(timer);
        app.HandleNotification(kTrayServiceStopping);
    }
    g_source_remove(interrupt);
    g_source_remove(terminate);
    g_main_loop_unref(loop);
    spdlog::info("Tray ended");
    ShutDownLogging();
    return 0;
}

} // namespace

} // namespace talvik

int main(int argc, char** argv)
{
    return talvik::RunTray(argc > 1 ? argv[1] : "");
}
