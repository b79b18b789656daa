#include "media/pipewire_link_linux.h"

#include "base/console_status.h"

#include <pipewire/pipewire.h>
#include <spdlog/spdlog.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace talvik {
namespace {

void OnCoreErrorEvent(void* data, std::uint32_t id, int, int result, const char*)
{
    static_cast<PipeWireLink*>(data)->OnCoreError(id, result);
}

void OnRetryEvent(void* data, std::uint64_t)
{
    static_cast<PipeWireLink*>(data)->OnRetry();
}

const pw_core_events kCoreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = OnCoreErrorEvent;
    return events;
}();

} // namespace

PipeWireLink::PipeWireLink(Naming naming, Node& node) : naming_(std::move(naming)), node_(node)
{
    pw_init(nullptr, nullptr);
}

PipeWireLink::~PipeWireLink()
{
    Close();
    pw_deinit();
}

int PipeWireLink::Connect()
{
    if (core_ != nullptr)
        return 0;
    if (loop_ == nullptr) {
        loop_ = pw_thread_loop_new(naming_.node.c_str(), nullptr);
        if (loop_ == nullptr) {
            const int error = errno;
            spdlog::error("{0}: no loop: {1}", naming_.who, error);
            return error != 0 ? error : ENOMEM;
        }
        context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
        retry_ = context_ == nullptr ? nullptr
                                     : pw_loop_add_timer(pw_thread_loop_get_loop(loop_), OnRetryEvent, this);
        if (retry_ == nullptr || pw_thread_loop_start(loop_) != 0) {
            const int error = errno;
            spdlog::error("{0}: no context: {1}", naming_.who, error);
            Close();
            return error != 0 ? error : ENOMEM;
        }
    }
    pw_thread_loop_lock(loop_);
    const bool connected = ConnectCore();
    const int error = errno;
    pw_thread_loop_unlock(loop_);
    if (!connected) {
        spdlog::info("{0}: no PipeWire daemon answers: {1}", naming_.who, std::strerror(error));
        return error != 0 ? error : ECONNREFUSED;
    }
    return 0;
}

bool PipeWireLink::ConnectCore()
{
    core_ = pw_context_connect(context_, nullptr, 0);
    if (core_ == nullptr)
        return false;
    pw_core_add_listener(core_, &coreListener_, &kCoreEvents, this);
    return true;
}

int PipeWireLink::Publish()
{
    if (core_ == nullptr)
        return ENOTCONN;
    pw_thread_loop_lock(loop_);
    const int result = published_ ? 0 : node_.Publish(core_);
    if (result < 0)
        node_.Unpublish();
    else
        published_ = true;
    pw_thread_loop_unlock(loop_);
    if (result < 0) {
        spdlog::error("{0}: the node could not be published: {1}", naming_.who, std::strerror(-result));
        return -result;
    }
    spdlog::info("{0}: published as \"{1}\" ({2})", naming_.who, naming_.description, naming_.node);
    return 0;
}

// The connection breaks with EPIPE when the daemon goes. Nothing is taken
// down here, inside the core's own event: the retry timer does it at once,
// and connects from the next second on, as a daemon that is being killed
// may still take connections for a moment.
void PipeWireLink::OnCoreError(std::uint32_t id, int result)
{
    if (id != PW_ID_CORE || result != -EPIPE || lost_)
        return;
    lost_ = true;
    spdlog::error("{0}: the daemon went away; trying again every second", naming_.who);
    ConsoleFact(naming_.topic, naming_.topic + ": the PipeWire daemon went away; trying again every second");
    timespec soon{0, 1000000};
    timespec second{1, 0};
    pw_loop_update_timer(pw_thread_loop_get_loop(loop_), retry_, &soon, &second, false);
}

void PipeWireLink::OnRetry()
{
    if (!lost_)
        return;
    if (core_ != nullptr) {
        TakeDown();
        return;
    }
    if (!ConnectCore())
        return; // the daemon is not back yet: the next second tries again
    if (const int result = published_ ? node_.Publish(core_) : 0; result < 0) {
        spdlog::error("{0}: the node could not be published: {1}", naming_.who, std::strerror(-result));
        TakeDown();
        return;
    }
    lost_ = false;
    pw_loop_update_timer(pw_thread_loop_get_loop(loop_), retry_, nullptr, nullptr, false);
    if (published_) {
        spdlog::info("{0}: published as \"{1}\" ({2})", naming_.who, naming_.description, naming_.node);
        ConsoleFact(naming_.topic, naming_.fact);
    }
}

void PipeWireLink::TakeDown()
{
    node_.Unpublish();
    if (core_ != nullptr) {
        spa_hook_remove(&coreListener_);
        pw_core_disconnect(core_);
        core_ = nullptr;
    }
}

void PipeWireLink::Close()
{
    if (loop_ == nullptr)
        return;
    pw_thread_loop_lock(loop_);
    TakeDown();
    if (retry_ != nullptr) {
        pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), retry_);
        retry_ = nullptr;
    }
    published_ = false;
    lost_ = false;
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_); // joins the loop's thread
    if (context_ != nullptr) {
        pw_context_destroy(context_); // and the data thread
        context_ = nullptr;
    }
    pw_thread_loop_destroy(loop_);
    loop_ = nullptr;
}

} // namespace talvik
