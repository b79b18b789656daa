#include "tray/win_toast.h"

#include "tray/toast_platform_win.h"

#include <windows.h>
#include <objbase.h>
#include <propidl.h>
#include <propsys.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include <atomic>
#include <cstring>
#include <functional>

using Microsoft::WRL::ComPtr;

namespace talvik {

namespace {

using namespace talvik::winrt;

constexpr std::size_t kMaxImageSourceUnits = 260;
constexpr HRESULT kImageSourceTooLong = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER); // 0x8007007A
constexpr std::int64_t kHundredNsPerMs = 10000;
// The application user-model id in a shortcut's property store.
constexpr PROPERTYKEY kAppUserModelIdKey = {
    {0x9f4c2855, 0x9f79, 0x4b39, {0xa8, 0xd0, 0xe1, 0xd4, 0x2d, 0xe1, 0xd5, 0xf3}}, 5};

struct EntryPoints {
    HRESULT(WINAPI* setExplicitAppUserModelId)(PCWSTR) = nullptr;
    HRESULT(WINAPI* propVariantToString)(REFPROPVARIANT, PWSTR, UINT) = nullptr;
    HRESULT(WINAPI* getActivationFactory)(HSTRING, REFIID, void**) = nullptr;
    HRESULT(WINAPI* createStringReference)(PCWSTR, UINT32, HSTRING_HEADER*, HSTRING*) = nullptr;
    PCWSTR(WINAPI* getStringRawBuffer)(HSTRING, UINT32*) = nullptr;
    HRESULT(WINAPI* deleteString)(HSTRING) = nullptr;
    bool complete = false;
};

template <typename Function>
bool Find(const char* library, const char* name, Function& function)
{
    // The libraries stay loaded for the process: their entry points are
    // kept.
    const HMODULE module = LoadLibraryA(library);
    if (module == nullptr)
        return false;
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return function != nullptr;
}

const EntryPoints& Entries()
{
    static const EntryPoints entries = [] {
        EntryPoints found;
        // Every lookup is made, so that each library is looked at once.
        const bool all[] = {
            Find("SHELL32.DLL", "SetCurrentProcessExplicitAppUserModelID", found.setExplicitAppUserModelId),
            Find("PROPSYS.DLL", "PropVariantToString", found.propVariantToString),
            Find("COMBASE.DLL", "RoGetActivationFactory", found.getActivationFactory),
            Find("COMBASE.DLL", "WindowsCreateStringReference", found.createStringReference),
            Find("COMBASE.DLL", "WindowsGetStringRawBuffer", found.getStringRawBuffer),
            Find("COMBASE.DLL", "WindowsDeleteString", found.deleteString),
        };
        found.complete = true;
        for (bool one : all)
            found.complete = found.complete && one;
        return found;
    }();
    return entries;
}

// An HSTRING over `text`, which must outlive it.
class StringReference {
public:
    explicit StringReference(const std::wstring& text)
        : result_(Entries().createStringReference(text.c_str(), static_cast<UINT32>(text.size()), &header_,
                                                  &string_))
    {
    }
    bool ok() const { return SUCCEEDED(result_); }
    HSTRING get() const { return string_; }

private:
    HSTRING_HEADER header_{};
    HSTRING string_ = nullptr;
    HRESULT result_;
};

template <typename Interface>
HRESULT ActivationFactory(const wchar_t* className, REFIID iid, ComPtr<Interface>& factory)
{
    const StringReference name(className);
    if (!name.ok())
        return E_FAIL;
    return Entries().getActivationFactory(name.get(), iid, reinterpret_cast<void**>(factory.ReleaseAndGetAddressOf()));
}

// A COM object of one interface whose reference count is atomic: the
// platform calls it from its own threads.
template <typename Interface>
class ComObject : public Interface {
public:
    explicit ComObject(REFIID iid) : iid_(iid) {}
    virtual ~ComObject() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IAgileObject) || IsEqualIID(iid, iid_) ||
            (std::is_base_of_v<IInspectable, Interface> && IsEqualIID(iid, IID_IInspectable))) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --references_;
        if (left == 0)
            delete this;
        return left;
    }

private:
    const IID iid_;
    std::atomic<ULONG> references_{1};
};

// The toast's expiration time as the platform's reference to a date-time.
class MyDateTime : public ComObject<IReferenceDateTime> {
public:
    explicit MyDateTime(INT64 universalTime) : ComObject(IID_IReferenceDateTime), value_{universalTime} {}

    HRESULT STDMETHODCALLTYPE GetIids(ULONG* count, IID** iids) override
    {
        *count = 0;
        *iids = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING* name) override
    {
        *name = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel* level) override
    {
        *level = BaseTrust;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Value(DateTime* value) override
    {
        *value = value_;
        return S_OK;
    }

private:
    DateTime value_;
};

// One toast event, passed on to the handler, which it shares with the
// other two subscriptions and the shown-toasts map.
class ToastEvent : public ComObject<IToastEventHandler> {
public:
    ToastEvent(REFIID iid, std::function<void(IInspectable*)> onEvent) : ComObject(iid), onEvent_(std::move(onEvent))
    {
    }
    HRESULT STDMETHODCALLTYPE Invoke(IToastNotification*, IInspectable* args) override
    {
        onEvent_(args);
        return S_OK;
    }

private:
    std::function<void(IInspectable*)> onEvent_;
};

template <typename Add>
HRESULT Subscribe(REFIID iid, std::function<void(IInspectable*)> onEvent, Add add)
{
    ComPtr<IToastEventHandler> event;
    event.Attach(new ToastEvent(iid, std::move(onEvent)));
    EventRegistrationToken token{};
    return add(event.Get(), &token);
}

// Appends `text` to the node as a text child.
HRESULT AppendText(IXmlDocument* document, IXmlNode* node, const std::wstring& text)
{
    const StringReference data(text);
    ComPtr<IXmlText> textNode;
    ComPtr<IXmlNode> child;
    ComPtr<IXmlNode> appended;
    HRESULT result = data.ok() ? document->CreateTextNode(data.get(), &textNode) : E_FAIL;
    if (SUCCEEDED(result))
        result = textNode->QueryInterface(IID_IXmlNode, reinterpret_cast<void**>(child.GetAddressOf()));
    if (SUCCEEDED(result))
        result = node->AppendChild(child.Get(), &appended);
    return result;
}

// The first `count` elements called `tag`, in document order.
HRESULT Elements(IXmlDocument* document, const wchar_t* tag, ComPtr<IXmlNodeList>& list, UINT32& count)
{
    const StringReference name(tag);
    HRESULT result = name.ok() ? document->GetElementsByTagName(name.get(), &list) : E_FAIL;
    if (SUCCEEDED(result))
        result = list->get_Length(&count);
    return result;
}

HRESULT FillTemplate(IXmlDocument* document, const WinToastTemplate& toast)
{
    ComPtr<IXmlNodeList> texts;
    UINT32 count = 0;
    HRESULT result = Elements(document, L"text", texts, count);
    for (UINT32 i = 0; SUCCEEDED(result) && i < count && i < toast.textFields.size(); ++i) {
        ComPtr<IXmlNode> node;
        result = texts->Item(i, &node);
        if (SUCCEEDED(result))
            result = AppendText(document, node.Get(), toast.textFields[i]);
    }
    // Template types 0 to 3 carry an image.
    if (FAILED(result) || toast.type > 3)
        return result;
    const std::wstring source = L"file:///" + toast.imagePath;
    if (source.size() > kMaxImageSourceUnits)
        return kImageSourceTooLong;
    ComPtr<IXmlNodeList> images;
    ComPtr<IXmlNode> image;
    ComPtr<IXmlElement> element;
    result = Elements(document, L"image", images, count);
    if (SUCCEEDED(result))
        result = count > 0 ? images->Item(0, &image) : E_FAIL;
    if (SUCCEEDED(result))
        result = image->QueryInterface(IID_IXmlElement, reinterpret_cast<void**>(element.GetAddressOf()));
    const StringReference attribute(L"src");
    const StringReference value(source);
    if (SUCCEEDED(result))
        result = attribute.ok() && value.ok() ? element->SetAttribute(attribute.get(), value.get()) : E_FAIL;
    return result;
}

// Writes the id into the link's property store and commits it.
HRESULT WriteId(IShellLinkW* link, const std::wstring& id)
{
    ComPtr<IPropertyStore> store;
    HRESULT result = link->QueryInterface(IID_PPV_ARGS(&store));
    if (FAILED(result))
        return result;
    PROPVARIANT value;
    PropVariantInit(&value);
    const std::size_t bytes = (id.size() + 1) * sizeof(wchar_t);
    value.pwszVal = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (value.pwszVal == nullptr)
        return E_OUTOFMEMORY;
    value.vt = VT_LPWSTR;
    std::memcpy(value.pwszVal, id.c_str(), bytes);
    result = store->SetValue(kAppUserModelIdKey, value);
    PropVariantClear(&value);
    return SUCCEEDED(result) ? store->Commit() : result;
}

std::wstring ModulePath()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(path, length) : std::wstring();
}

} // namespace

struct WinToast::Shown {
    ComPtr<IToastNotifier> notifier;
    ComPtr<IToastNotification> toast;
    std::shared_ptr<IWinToastHandler> handler;
};

bool IsToastSupported()
{
    return Entries().complete;
}

WinToast* WinToast::instance()
{
    static WinToast toasts;
    return &toasts;
}

WinToast::~WinToast()
{
    ClearToasts();
}

bool WinToast::InitToasts(int* error)
{
    initialised_ = false;
    int failure = 0;
    if (!IsToastSupported())
        failure = kNotSupported;
    else if (appName_.empty() || appUserModelId_.empty())
        failure = kNameOrIdEmpty;
    else if (EnsureShortcut() < 0)
        failure = kShortcutFailed;
    else if (FAILED(Entries().setExplicitAppUserModelId(appUserModelId_.c_str())))
        failure = kIdNotAccepted;
    if (error != nullptr)
        *error = failure;
    initialised_ = failure == 0;
    return initialised_;
}

std::wstring WinToast::ShortcutPath() const
{
    wchar_t directory[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, directory);
    if (length == 0 || length > MAX_PATH)
        return {};
    return std::wstring(directory, length) + appName_ + L".lnk";
}

int WinToast::EnsureShortcut()
{
    if (appName_.empty() || appUserModelId_.empty())
        return kShortcutMissingNameOrId;
    if (!IsToastSupported())
        return kShortcutNotSupported;
    if (!comInitialised_) {
        const HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (FAILED(result) && result != RPC_E_CHANGED_MODE)
            return kShortcutComFailed;
        comInitialised_ = true;
    }
    const std::wstring path = ShortcutPath();
    const std::wstring program = ModulePath();
    if (path.empty() || program.empty())
        return kShortcutNotWritten;

    ComPtr<IShellLinkW> link;
    ComPtr<IPersistFile> file;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&link))) ||
        FAILED(link.As(&file)))
        return kShortcutNotWritten;

    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES && SUCCEEDED(file->Load(path.c_str(), STGM_READWRITE))) {
        ComPtr<IPropertyStore> store;
        PROPVARIANT value;
        PropVariantInit(&value);
        wchar_t id[MAX_PATH] = L"";
        const bool read = SUCCEEDED(link.As(&store)) && SUCCEEDED(store->GetValue(kAppUserModelIdKey, &value)) &&
                          SUCCEEDED(Entries().propVariantToString(value, id, MAX_PATH));
        PropVariantClear(&value);
        if (read && appUserModelId_ == id)
            return kShortcutUnchanged;
        if (SUCCEEDED(WriteId(link.Get(), appUserModelId_)) && SUCCEEDED(file->Save(path.c_str(), TRUE)))
            return kShortcutRewritten;
        return kShortcutNotWritten;
    }

    // The working directory is the program's own path, as the shortcut has
    // always been written.
    if (FAILED(link->SetPath(program.c_str())) || FAILED(link->SetArguments(L"")) ||
        FAILED(link->SetWorkingDirectory(program.c_str())) || FAILED(WriteId(link.Get(), appUserModelId_)) ||
        FAILED(file->Save(path.c_str(), TRUE)))
        return kShortcutNotWritten;
    return kShortcutCreated;
}

std::int64_t WinToast::ShowToast(const WinToastTemplate& toast, IWinToastHandler* handler, long* error)
{
    // The handler is ours from here on, whatever happens.
    std::shared_ptr<IWinToastHandler> owned(handler);
    HRESULT result = initialised_ ? S_OK : E_FAIL;
    ComPtr<IToastNotificationManagerStatics> manager;
    ComPtr<IToastNotificationFactory> factory;
    ComPtr<IToastNotifier> notifier;
    ComPtr<IXmlDocument> document;
    ComPtr<IToastNotification> notification;
    const StringReference id(appUserModelId_);
    if (SUCCEEDED(result))
        result = ActivationFactory(L"Windows.UI.Notifications.ToastNotificationManager",
                                   IID_IToastNotificationManagerStatics, manager);
    if (SUCCEEDED(result))
        result = id.ok() ? manager->CreateToastNotifierWithId(id.get(), &notifier) : E_FAIL;
    if (SUCCEEDED(result))
        result = manager->GetTemplateContent(toast.type, &document);
    if (SUCCEEDED(result))
        result = FillTemplate(document.Get(), toast);
    if (SUCCEEDED(result))
        result = ActivationFactory(L"Windows.UI.Notifications.ToastNotification", IID_IToastNotificationFactory,
                                   factory);
    if (SUCCEEDED(result))
        result = factory->CreateToastNotification(document.Get(), &notification);
    if (SUCCEEDED(result))
        result = Subscribe(IID_ToastActivatedHandler, [owned](IInspectable*) { owned->toastActivated(); },
                           [&](IToastEventHandler* event, EventRegistrationToken* token) {
                               return notification->add_Activated(event, token);
                           });
    if (SUCCEEDED(result))
        result = Subscribe(
            IID_ToastDismissedHandler,
            [owned](IInspectable* args) {
                ComPtr<IToastDismissedEventArgs> dismissed;
                int reason = 0;
                if (args != nullptr && SUCCEEDED(args->QueryInterface(IID_IToastDismissedEventArgs,
                                                                  reinterpret_cast<void**>(dismissed.GetAddressOf()))))
                    dismissed->get_Reason(&reason);
                owned->toastDismissed(static_cast<IWinToastHandler::DismissalReason>(reason));
            },
            [&](IToastEventHandler* event, EventRegistrationToken* token) {
                return notification->add_Dismissed(event, token);
            });
    if (SUCCEEDED(result))
        result = Subscribe(IID_ToastFailedHandler, [owned](IInspectable*) { owned->toastFailed(); },
                           [&](IToastEventHandler* event, EventRegistrationToken* token) {
                               return notification->add_Failed(event, token);
                           });
    if (SUCCEEDED(result) && toast.expirationMs > 0) {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        const INT64 time = (static_cast<INT64>(now.dwHighDateTime) << 32 | now.dwLowDateTime) +
                           toast.expirationMs * kHundredNsPerMs;
        ComPtr<IReferenceDateTime> expiration;
        expiration.Attach(new MyDateTime(time));
        result = notification->put_ExpirationTime(expiration.Get());
    }
    if (SUCCEEDED(result))
        result = notifier->Show(notification.Get());
    if (error != nullptr)
        *error = result;
    if (FAILED(result))
        return -1;
    const std::int64_t shownId = nextId_++;
    shown_[shownId] = std::make_shared<Shown>(Shown{notifier, notification, owned});
    return shownId;
}

bool WinToast::HideToast(std::int64_t id)
{
    const auto found = shown_.find(id);
    if (found == shown_.end())
        return false;
    const bool hidden = SUCCEEDED(found->second->notifier->Hide(found->second->toast.Get()));
    shown_.erase(found);
    return hidden;
}

void WinToast::ClearToasts()
{
    while (!shown_.empty())
        HideToast(shown_.begin()->first);
}

} // namespace talvik
