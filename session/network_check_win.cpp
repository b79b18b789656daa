#include "session/network_check.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

namespace talvik {

bool ListNetworkAdapters(std::vector<NetworkAdapter>* adapters)
{
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG size = 15360;
    HANDLE heap = GetProcessHeap();
    auto* block = static_cast<IP_ADAPTER_ADDRESSES*>(HeapAlloc(heap, 0, size));
    if (!block)
        return false;
    ULONG rc;
    while ((rc = GetAdaptersAddresses(AF_INET, flags, nullptr, block, &size)) == ERROR_BUFFER_OVERFLOW) {
        HeapFree(heap, 0, block);
        block = static_cast<IP_ADAPTER_ADDRESSES*>(HeapAlloc(heap, 0, size));
        if (!block)
            return false;
    }
    if (rc == NO_ERROR) {
        for (IP_ADAPTER_ADDRESSES* a = block; a; a = a->Next) {
            NetworkAdapter adapter{a->IfType == IF_TYPE_SOFTWARE_LOOPBACK, a->OperStatus == IfOperStatusUp, {}};
            for (IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u; u = u->Next) {
                if (u->Address.lpSockaddr->sa_family != AF_INET)
                    continue;
                char text[INET_ADDRSTRLEN];
                const auto* address = reinterpret_cast<const sockaddr_in*>(u->Address.lpSockaddr);
                if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text))
                    adapter.ipv4Addresses.emplace_back(text);
            }
            adapters->push_back(std::move(adapter));
        }
    }
    HeapFree(heap, 0, block);
    return rc == NO_ERROR;
}

} // namespace talvik
