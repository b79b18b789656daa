// A stand-in DNS-SD client library, loaded by path like the real one. It
// exports the five entry points discovery binds, plus a control interface
// (fake_dnssd_*) through which a test scripts failures and replies and reads
// back every call made, in order:
//
//   "Register(0,0,-,_vidreloserver._tcp.,-,-,5055,0) Resolve(0,0,mobile,...)"
//
// Each reference owns a loopback UDP socket, which a scripted reply makes
// readable, so the caller's zero-time-out poll sees what it would see with
// a real daemon. Built a second time without DNSServiceRegister
// (FAKE_DNSSD_WITHOUT_REGISTER) to stand for an incomplete library.
#include "session/dns_sd_library.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#define FAKE_EXPORT extern "C" __declspec(dllexport)
using Socket = SOCKET;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
using Socket = int;
#endif

#include <deque>
#include <map>
#include <set>
#include <string>

using namespace talvik;

struct talvik::DnsSdService {
    bool resolve;
    DNSServiceResolveReply callback;
    void* context;
    Socket socket;
    sockaddr_in address;
};

namespace {

struct Reply {
    DNSServiceErrorType error;
    std::string host;
    std::uint16_t port;
};

std::string calls;
std::map<std::string, int> failures;
std::set<DNSServiceRef> live;
DNSServiceRef lastResolve = nullptr;
std::deque<Reply> replies;

void Record(const std::string& call)
{
    calls += (calls.empty() ? "" : " ") + call;
}

std::string Text(const char* s)
{
    return s ? s : "-";
}

std::uint16_t Swap(std::uint16_t port)
{
    return static_cast<std::uint16_t>(port >> 8 | port << 8);
}

int Failure(const char* function)
{
    auto it = failures.find(function);
    return it == failures.end() ? 0 : it->second;
}

DNSServiceRef NewRef(bool resolve, DNSServiceResolveReply callback, void* context)
{
#ifdef _WIN32
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
#endif
    auto* ref = new DnsSdService{resolve, callback, context, socket(AF_INET, SOCK_DGRAM, 0), {}};
    ref->address.sin_family = AF_INET;
    ref->address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(ref->socket, reinterpret_cast<sockaddr*>(&ref->address), sizeof ref->address);
    socklen_t length = sizeof ref->address;
    getsockname(ref->socket, reinterpret_cast<sockaddr*>(&ref->address), &length);
    live.insert(ref);
    return ref;
}

} // namespace

FAKE_EXPORT DNSServiceErrorType DNSServiceResolve(DNSServiceRef* ref, DNSServiceFlags flags, std::uint32_t interfaceIndex,
                                                  const char* name, const char* type, const char* domain,
                                                  DNSServiceResolveReply callback, void* context)
{
    Record("Resolve(" + std::to_string(flags) + "," + std::to_string(interfaceIndex) + "," + Text(name) + "," +
           Text(type) + "," + Text(domain) + ")");
    if (int error = Failure("Resolve")) {
        // What a failed call leaves in the reference is undefined: leave
        // something that must never be released.
        *ref = reinterpret_cast<DNSServiceRef>(0x1);
        return error;
    }
    *ref = lastResolve = NewRef(true, callback, context);
    return 0;
}

FAKE_EXPORT void DNSServiceRefDeallocate(DNSServiceRef ref)
{
    if (!live.count(ref)) {
        Record("Deallocate(unknown)");
        return;
    }
    Record(ref->resolve ? "Deallocate(resolve)" : "Deallocate(register)");
    live.erase(ref);
    if (ref == lastResolve)
        lastResolve = nullptr;
#ifdef _WIN32
    closesocket(ref->socket);
#else
    close(ref->socket);
#endif
    delete ref;
}

FAKE_EXPORT DNSServiceErrorType DNSServiceProcessResult(DNSServiceRef ref)
{
    Record("ProcessResult");
    char byte;
    recv(ref->socket, &byte, 1, 0);
    if (int error = Failure("ProcessResult"))
        return error;
    while (!replies.empty()) {
        const Reply reply = replies.front();
        replies.pop_front();
        ref->callback(ref, 0, 1, reply.error, "mobile._vidrelo._tcp.local.", reply.host.c_str(), Swap(reply.port), 0,
                      nullptr, ref->context);
    }
    return 0;
}

FAKE_EXPORT int DNSServiceRefSockFD(DNSServiceRef ref)
{
    Record("SockFD");
    if (Failure("SockFD"))
        return -1;
    return static_cast<int>(ref->socket);
}

#ifndef FAKE_DNSSD_WITHOUT_REGISTER
FAKE_EXPORT DNSServiceErrorType DNSServiceRegister(DNSServiceRef* ref, DNSServiceFlags flags, std::uint32_t interfaceIndex,
                                                   const char* name, const char* type, const char* domain,
                                                   const char* host, std::uint16_t port, std::uint16_t txtLength,
                                                   const void*, DNSServiceRegisterReply, void*)
{
    Record("Register(" + std::to_string(flags) + "," + std::to_string(interfaceIndex) + "," + Text(name) + "," +
           Text(type) + "," + Text(domain) + "," + Text(host) + "," + std::to_string(Swap(port)) + "," +
           std::to_string(txtLength) + ")");
    *ref = NewRef(false, nullptr, nullptr);
    return 0;
}
#endif

// Control interface.

FAKE_EXPORT void fake_dnssd_reset()
{
    calls.clear();
    failures.clear();
    replies.clear();
}

// The calls made since the last look, which it clears.
FAKE_EXPORT const char* fake_dnssd_calls()
{
    static std::string taken;
    taken.swap(calls);
    calls.clear();
    return taken.c_str();
}

FAKE_EXPORT int fake_dnssd_live_refs()
{
    return static_cast<int>(live.size());
}

// Makes every later call of `function` ("Resolve", "ProcessResult",
// "SockFD") fail with `error`; 0 makes it succeed again.
FAKE_EXPORT void fake_dnssd_fail(const char* function, int error)
{
    failures[function] = error;
}

// Queues a reply for the running resolve and makes its socket readable;
// the next DNSServiceProcessResult delivers every queued reply.
FAKE_EXPORT void fake_dnssd_reply(int error, const char* host, std::uint16_t port)
{
    const bool wasReadable = !replies.empty();
    replies.push_back({error, host, port});
    if (lastResolve && !wasReadable) {
        sendto(lastResolve->socket, "r", 1, 0, reinterpret_cast<sockaddr*>(&lastResolve->address),
               sizeof lastResolve->address);
    }
}
