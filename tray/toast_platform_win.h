// The few interfaces of the WinRT notification platform and its XML
// document that the toast module calls. The cross toolchain's headers lack
// them, so they are declared here: every interface keeps the platform's
// slot order up to the last operation used (the earlier slots are
// declared with their names and opaque arguments), and the IIDs are the
// platform's published ones.
#pragma once

// Before roapi.h, so that the IIDs its headers declare are defined here.
#include <initguid.h>

#include <eventtoken.h>
#include <inspectable.h>
#include <roapi.h>
#include <winstring.h>

namespace talvik::winrt {

struct DateTime {
    INT64 UniversalTime; // 100 ns units since 1601-01-01, as FILETIME
};

// ToastTemplateType_ToastImageAndText01: one text field and one image.
inline constexpr int kToastImageAndText01 = 0;

DEFINE_GUID(IID_IToastNotificationManagerStatics, 0x50ac103f, 0xd235, 0x4598, 0xbb, 0xef, 0x98, 0xfe, 0x4d, 0x1a,
            0x3a, 0xd4);
DEFINE_GUID(IID_IToastNotificationFactory, 0x04124b20, 0x82c6, 0x4229, 0xb1, 0x09, 0xfd, 0x9e, 0xd4, 0x66, 0x2b,
            0x53);
DEFINE_GUID(IID_IXmlNode, 0x1c741d59, 0x2122, 0x47d5, 0xa8, 0x56, 0x83, 0xf3, 0xd4, 0x21, 0x48, 0x75);
DEFINE_GUID(IID_IXmlElement, 0x2dfb8a1f, 0x6b10, 0x4ef8, 0x9f, 0x83, 0xef, 0xcc, 0xe8, 0xfa, 0xec, 0x37);
// IReference<DateTime>
DEFINE_GUID(IID_IReferenceDateTime, 0x5541d8a7, 0x497c, 0x5aa4, 0x86, 0xfc, 0x77, 0x13, 0xad, 0xbf, 0x2a, 0x2c);
DEFINE_GUID(IID_IToastDismissedEventArgs, 0x3f89d935, 0xd9cb, 0x4538, 0xa0, 0xf0, 0xff, 0xe7, 0x65, 0x99, 0x38,
            0xf8);
// TypedEventHandler<ToastNotification, IInspectable>
DEFINE_GUID(IID_ToastActivatedHandler, 0xab54de2d, 0x97d9, 0x5528, 0xb6, 0xad, 0x10, 0x5a, 0xfe, 0x15, 0x65, 0x30);
// TypedEventHandler<ToastNotification, ToastDismissedEventArgs>
DEFINE_GUID(IID_ToastDismissedHandler, 0x61c2402f, 0x0ed0, 0x5a18, 0xab, 0x69, 0x59, 0xf4, 0xaa, 0x99, 0xa3, 0x68);
// TypedEventHandler<ToastNotification, ToastFailedEventArgs>
DEFINE_GUID(IID_ToastFailedHandler, 0x95e3e803, 0xc969, 0x5e3a, 0x97, 0x53, 0xea, 0x2a, 0xd2, 0x2a, 0x9a, 0x33);

struct IXmlNode;
struct IXmlNodeList;
struct IToastNotification;

struct IXmlNode : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_NodeValue(IInspectable** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_NodeValue(IInspectable* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NodeType(int* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NodeName(IInspectable** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ParentNode(IXmlNode** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ChildNodes(IXmlNodeList** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_FirstChild(IXmlNode** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LastChild(IXmlNode** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_PreviousSibling(IXmlNode** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NextSibling(IXmlNode** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Attributes(IInspectable** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE HasChildNodes(boolean* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_OwnerDocument(IInspectable** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE InsertBefore(IXmlNode* child, IXmlNode* before, IXmlNode** inserted) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReplaceChild(IXmlNode* child, IXmlNode* old, IXmlNode** replaced) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveChild(IXmlNode* child, IXmlNode** removed) = 0;
    virtual HRESULT STDMETHODCALLTYPE AppendChild(IXmlNode* child, IXmlNode** appended) = 0;
};

struct IXmlText : IInspectable {};

struct IXmlNodeList : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_Length(UINT32* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE Item(UINT32 index, IXmlNode** value) = 0;
};

struct IXmlElement : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_TagName(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAttribute(HSTRING name, HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetAttribute(HSTRING name, HSTRING value) = 0;
};

struct IXmlDocument : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_Doctype(IInspectable** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Implementation(IInspectable** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DocumentElement(IXmlElement** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateElement(HSTRING name, IXmlElement** element) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateDocumentFragment(IInspectable** fragment) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateTextNode(HSTRING data, IXmlText** text) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateComment(HSTRING data, IInspectable** comment) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateProcessingInstruction(HSTRING target, HSTRING data,
                                                                  IInspectable** instruction) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateAttribute(HSTRING name, IInspectable** attribute) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateEntityReference(HSTRING name, IInspectable** reference) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetElementsByTagName(HSTRING name, IXmlNodeList** elements) = 0;
};

struct IReferenceDateTime : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_Value(DateTime* value) = 0;
};

struct IToastDismissedEventArgs : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_Reason(int* value) = 0;
};

// TypedEventHandler<ToastNotification, *>: the three toast events differ
// only in the IID and in the type of `args`.
struct IToastEventHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(IToastNotification* sender, IInspectable* args) = 0;
};

struct IToastNotification : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_Content(IXmlDocument** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ExpirationTime(IReferenceDateTime* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ExpirationTime(IReferenceDateTime** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_Dismissed(IToastEventHandler* handler, EventRegistrationToken* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_Dismissed(EventRegistrationToken token) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_Activated(IToastEventHandler* handler, EventRegistrationToken* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_Activated(EventRegistrationToken token) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_Failed(IToastEventHandler* handler, EventRegistrationToken* token) = 0;
};

struct IToastNotificationFactory : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE CreateToastNotification(IXmlDocument* content, IToastNotification** toast) = 0;
};

struct IToastNotifier : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE Show(IToastNotification* toast) = 0;
    virtual HRESULT STDMETHODCALLTYPE Hide(IToastNotification* toast) = 0;
};

struct IToastNotificationManagerStatics : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE CreateToastNotifier(IToastNotifier** notifier) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateToastNotifierWithId(HSTRING applicationId, IToastNotifier** notifier) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTemplateContent(int templateType, IXmlDocument** content) = 0;
};

} // namespace talvik::winrt
