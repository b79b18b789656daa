#include "media/capture_device_lookup.h"

#include <spdlog/spdlog.h>

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <strmif.h>

#include <cstdlib>
#include <cstring>

namespace talvik {

namespace {

constexpr GUID kSystemDeviceEnum = {0x62BE5D10, 0x60EB, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
constexpr GUID kCreateDevEnum = {0x29840822, 0x5B84, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
constexpr GUID kCaptureCategory = {0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr std::size_t kLowByteUnits = 200;

bool NameMatches(IPropertyBag* bag, const char* name, FriendlyNameText text)
{
    VARIANT value;
    VariantInit(&value);
    bool match = false;
    if (SUCCEEDED(bag->Read(L"FriendlyName", &value, nullptr)) && value.vt == VT_BSTR && value.bstrVal != nullptr) {
        char narrow[kCaptureDevicePathBytes + 1] = {};
        bool converted = true;
        if (text == FriendlyNameText::kRuntimeConversion) {
            converted = std::wcstombs(narrow, value.bstrVal, kCaptureDevicePathBytes) != static_cast<std::size_t>(-1);
        } else {
            for (std::size_t i = 0; i < kLowByteUnits && value.bstrVal[i] != L'\0'; ++i)
                narrow[i] = static_cast<char>(value.bstrVal[i] & 0xFF);
        }
        match = converted && std::strstr(narrow, name) != nullptr;
    }
    VariantClear(&value);
    return match;
}

void ReadDevicePath(IPropertyBag* bag, const char* client, char (&path)[kCaptureDevicePathBytes])
{
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    if (SUCCEEDED(bag->Read(L"DevicePath", &value, nullptr)) && value.vt == VT_BSTR && value.bstrVal != nullptr) {
        spdlog::trace("{0} DevicePath OK", client);
        if (WideCharToMultiByte(CP_ACP, 0, value.bstrVal, -1, path, kCaptureDevicePathBytes, nullptr, nullptr) == 0)
            path[0] = '\0';
    }
    VariantClear(&value);
}

} // namespace

bool FindCaptureDevicePath(const char* name, FriendlyNameText text, const char* client,
                           char (&path)[kCaptureDevicePathBytes])
{
    path[0] = '\0';
    ICreateDevEnum* devices = nullptr;
    const HRESULT created = CoCreateInstance(kSystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, kCreateDevEnum,
                                             reinterpret_cast<void**>(&devices));
    if (FAILED(created)) {
        spdlog::error("{0} CoCreateInstance failed: {1}", client, static_cast<long>(created));
        return false;
    }
    IEnumMoniker* monikers = nullptr;
    if (devices->CreateClassEnumerator(kCaptureCategory, &monikers, 0) != S_OK) {
        devices->Release();
        return false;
    }
    IMoniker* moniker = nullptr;
    bool found = false;
    while (!found && monikers->Next(1, &moniker, nullptr) == S_OK) {
        IPropertyBag* bag = nullptr;
        if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)))) {
            found = NameMatches(bag, name, text);
            if (found)
                ReadDevicePath(bag, client, path);
            bag->Release();
        }
        moniker->Release();
    }
    monikers->Release();
    devices->Release();
    return path[0] != '\0';
}

} // namespace talvik
