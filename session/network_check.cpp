#include "session/network_check.h"

namespace talvik {

bool AnyUsableAdapter(const std::vector<NetworkAdapter>& adapters)
{
    for (const NetworkAdapter& adapter : adapters) {
        if (adapter.loopback || !adapter.up)
            continue;
        for (const std::string& address : adapter.ipv4Addresses)
            if (address != "0.0.0.0")
                return true;
    }
    return false;
}

bool CheckNetworkAvailable()
{
    std::vector<NetworkAdapter> adapters;
    return ListNetworkAdapters(&adapters) && AnyUsableAdapter(adapters);
}

} // namespace talvik
