#include "session/network_check.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <map>

namespace talvik {

bool ListNetworkAdapters(std::vector<NetworkAdapter>* adapters)
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    // getifaddrs gives one entry per address; group them by interface.
    std::map<std::string, NetworkAdapter> byName;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        NetworkAdapter& adapter = byName[entry->ifa_name];
        adapter.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        adapter.up = (entry->ifa_flags & IFF_UP) && (entry->ifa_flags & IFF_RUNNING);
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET) {
            char text[INET_ADDRSTRLEN];
            const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text))
                adapter.ipv4Addresses.emplace_back(text);
        }
    }
    freeifaddrs(list);
    for (auto& [name, adapter] : byName)
        adapters->push_back(std::move(adapter));
    return true;
}

} // namespace talvik
