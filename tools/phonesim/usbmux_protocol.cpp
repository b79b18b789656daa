#include "tools/phonesim/usbmux_protocol.h"

#include <plist/plist.h>

#include <cstdlib>
#include <memory>

namespace talvik::phonesim {

namespace {

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

std::uint32_t Le32(const std::uint8_t* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void PutLe32(Bytes& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::uint16_t SwapBytes(std::uint16_t value)
{
    return static_cast<std::uint16_t>(value >> 8 | value << 8);
}

// Header and XML body of one message; takes ownership of the dictionary.
Bytes WriteMessage(std::uint32_t tag, plist_t dict)
{
    PlistPtr owner(dict);
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(dict, &xml, &length);
    Bytes out;
    out.reserve(kUsbmuxHeaderSize + length);
    PutLe32(out, static_cast<std::uint32_t>(kUsbmuxHeaderSize + length));
    PutLe32(out, kUsbmuxVersion);
    PutLe32(out, kUsbmuxPlistMessage);
    PutLe32(out, tag);
    out.insert(out.end(), xml, xml + length);
    std::free(xml);
    return out;
}

plist_t DeviceProperties(const UsbDeviceRecord& device)
{
    plist_t properties = plist_new_dict();
    plist_dict_set_item(properties, "ConnectionSpeed", plist_new_uint(480000000));
    plist_dict_set_item(properties, "ConnectionType", plist_new_string("USB"));
    plist_dict_set_item(properties, "DeviceID", plist_new_uint(device.handle));
    plist_dict_set_item(properties, "LocationID", plist_new_uint(device.location));
    plist_dict_set_item(properties, "ProductID", plist_new_uint(device.productId));
    plist_dict_set_item(properties, "SerialNumber", plist_new_string(device.udid.c_str()));
    plist_dict_set_item(properties, "USBSerialNumber", plist_new_string(device.udid.c_str()));
    return properties;
}

plist_t AttachedRecord(const UsbDeviceRecord& device)
{
    plist_t record = plist_new_dict();
    plist_dict_set_item(record, "DeviceID", plist_new_uint(device.handle));
    plist_dict_set_item(record, "MessageType", plist_new_string("Attached"));
    plist_dict_set_item(record, "Properties", DeviceProperties(device));
    return record;
}

std::optional<std::uint64_t> UintItem(plist_t dict, const char* key)
{
    plist_t node = plist_dict_get_item(dict, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_UINT)
        return std::nullopt;
    std::uint64_t value = 0;
    plist_get_uint_val(node, &value);
    return value;
}

} // namespace

std::optional<UsbmuxHeader> ParseUsbmuxHeader(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < kUsbmuxHeaderSize)
        return std::nullopt;
    return UsbmuxHeader{Le32(&bytes[0]), Le32(&bytes[4]), Le32(&bytes[8]), Le32(&bytes[12])};
}

std::optional<UsbmuxRequest> ParseUsbmuxRequest(std::span<const std::uint8_t> body)
{
    plist_t parsed = nullptr;
    plist_from_xml(reinterpret_cast<const char*>(body.data()), static_cast<std::uint32_t>(body.size()), &parsed);
    PlistPtr owner(parsed);
    if (parsed == nullptr || plist_get_node_type(parsed) != PLIST_DICT)
        return std::nullopt;
    plist_t type = plist_dict_get_item(parsed, "MessageType");
    if (type == nullptr || plist_get_node_type(type) != PLIST_STRING)
        return std::nullopt;
    UsbmuxRequest request;
    char* text = nullptr;
    plist_get_string_val(type, &text);
    request.messageType = text;
    std::free(text);
    request.deviceId = static_cast<std::uint32_t>(UintItem(parsed, "DeviceID").value_or(0));
    request.port = SwapBytes(static_cast<std::uint16_t>(UintItem(parsed, "PortNumber").value_or(0)));
    return request;
}

Bytes WriteUsbmuxResult(std::uint32_t tag, std::uint32_t number)
{
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "MessageType", plist_new_string("Result"));
    plist_dict_set_item(dict, "Number", plist_new_uint(number));
    return WriteMessage(tag, dict);
}

Bytes WriteUsbmuxDeviceList(std::uint32_t tag, std::span<const UsbDeviceRecord> devices)
{
    plist_t list = plist_new_array();
    for (const UsbDeviceRecord& device : devices)
        plist_array_append_item(list, AttachedRecord(device));
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "DeviceList", list);
    return WriteMessage(tag, dict);
}

Bytes WriteUsbmuxAttached(const UsbDeviceRecord& device)
{
    return WriteMessage(0, AttachedRecord(device));
}

Bytes WriteUsbmuxDetached(std::uint32_t handle)
{
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "DeviceID", plist_new_uint(handle));
    plist_dict_set_item(dict, "MessageType", plist_new_string("Detached"));
    return WriteMessage(0, dict);
}

} // namespace talvik::phonesim
