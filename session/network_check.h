// Whether the PC has a usable network: some adapter that is up, is not a
// software loopback, and has an IPv4 unicast address other than 0.0.0.0.
// The status screen shows it; a phone on WiFi can only be found when it holds.
#pragma once

#include <string>
#include <vector>

namespace talvik {

struct NetworkAdapter {
    bool loopback;
    bool up;
    std::vector<std::string> ipv4Addresses; // dotted text
};

// The rule alone, over a list of adapters.
bool AnyUsableAdapter(const std::vector<NetworkAdapter>& adapters);

// The machine's IPv4 adapters; false when they cannot be listed.
bool ListNetworkAdapters(std::vector<NetworkAdapter>* adapters);

// ListNetworkAdapters + AnyUsableAdapter; false on any failure.
bool CheckNetworkAvailable();

} // namespace talvik
