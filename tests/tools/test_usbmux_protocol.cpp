// The stand-in usbmuxd's messages: what it understands of a client's
// requests and what its answers and events contain.
#include "tools/phonesim/usbmux_protocol.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <string>

using namespace talvik::phonesim;

namespace {

Bytes Text(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

std::string Xml(const std::string& dictContent)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n" +
           dictContent + "</dict>\n</plist>\n";
}

// The body of a message, parsed back; checks the header on the way.
plist_t Body(const Bytes& message, std::uint32_t tag)
{
    const std::optional<UsbmuxHeader> header = ParseUsbmuxHeader(message);
    EXPECT_TRUE(header);
    EXPECT_EQ(header->length, message.size());
    EXPECT_EQ(header->version, 1u);
    EXPECT_EQ(header->message, 8u);
    EXPECT_EQ(header->tag, tag);
    plist_t body = nullptr;
    plist_from_xml(reinterpret_cast<const char*>(message.data() + 16), static_cast<std::uint32_t>(message.size() - 16),
                   &body);
    return body;
}

std::string String(plist_t dict, const char* key)
{
    plist_t node = plist_dict_get_item(dict, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING)
        return "(missing)";
    char* text = nullptr;
    plist_get_string_val(node, &text);
    std::string value = text;
    std::free(text);
    return value;
}

std::uint64_t Uint(plist_t dict, const char* key)
{
    std::uint64_t value = ~0ull;
    if (plist_t node = plist_dict_get_item(dict, key); node != nullptr && plist_get_node_type(node) == PLIST_UINT)
        plist_get_uint_val(node, &value);
    return value;
}

} // namespace

TEST(usbmux_protocol, connect_request_port_arrives_in_network_byte_order)
{
    // 5055 is 0x13BF; the client sends it as 0xBF13 = 48915.
    const std::optional<UsbmuxRequest> request = ParseUsbmuxRequest(Text(Xml(
        "<key>ClientVersionString</key><string>test</string>\n"
        "<key>DeviceID</key><integer>3</integer>\n"
        "<key>MessageType</key><string>Connect</string>\n"
        "<key>PortNumber</key><integer>48915</integer>\n")));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->messageType, "Connect");
    EXPECT_EQ(request->deviceId, 3u);
    EXPECT_EQ(request->port, 5055);
}

TEST(usbmux_protocol, requests_without_a_message_type_are_not_understood)
{
    EXPECT_FALSE(ParseUsbmuxRequest(Text(Xml("<key>DeviceID</key><integer>3</integer>\n"))));
    EXPECT_FALSE(ParseUsbmuxRequest(Text("not a plist")));
    EXPECT_FALSE(ParseUsbmuxRequest({}));
}

TEST(usbmux_protocol, result_echoes_the_tag)
{
    plist_t body = Body(WriteUsbmuxResult(77, kResultConnectionRefused), 77);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(String(body, "MessageType"), "Result");
    EXPECT_EQ(Uint(body, "Number"), 3u);
    plist_free(body);
}

TEST(usbmux_protocol, device_list_and_events_describe_each_device)
{
    const UsbDeviceRecord phone{5, 0x7a1c, "5eed000000000000000000000000000000000001", 0x01100000};
    const UsbDeviceRecord invalid{0, 0, "5eed000000000000000000000000000000000002", 0x01100001};
    const UsbDeviceRecord devices[] = {phone, invalid};

    plist_t list = Body(WriteUsbmuxDeviceList(9, devices), 9);
    ASSERT_NE(list, nullptr);
    plist_t array = plist_dict_get_item(list, "DeviceList");
    ASSERT_NE(array, nullptr);
    ASSERT_EQ(plist_array_get_size(array), 2u);
    for (std::uint32_t i = 0; i < 2; ++i) {
        plist_t record = plist_array_get_item(array, i);
        plist_t properties = plist_dict_get_item(record, "Properties");
        EXPECT_EQ(String(record, "MessageType"), "Attached");
        EXPECT_EQ(Uint(record, "DeviceID"), devices[i].handle);
        EXPECT_EQ(Uint(properties, "DeviceID"), devices[i].handle);
        EXPECT_EQ(Uint(properties, "ProductID"), devices[i].productId);
        EXPECT_EQ(String(properties, "SerialNumber"), devices[i].udid);
        EXPECT_EQ(String(properties, "ConnectionType"), "USB");
    }
    plist_free(list);

    plist_t attached = Body(WriteUsbmuxAttached(phone), 0);
    EXPECT_EQ(String(attached, "MessageType"), "Attached");
    EXPECT_EQ(Uint(plist_dict_get_item(attached, "Properties"), "ProductID"), 0x7a1cu);
    plist_free(attached);

    plist_t detached = Body(WriteUsbmuxDetached(5), 0);
    EXPECT_EQ(String(detached, "MessageType"), "Detached");
    EXPECT_EQ(Uint(detached, "DeviceID"), 5u);
    plist_free(detached);
}
