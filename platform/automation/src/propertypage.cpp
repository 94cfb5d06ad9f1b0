// The property page base: its caption and size, the controls it shows, its
// window and its data exchange.

#include "platform/automation/control.h"
#include "platform/automation/dialog.h"

namespace platform {

LRESULT PageWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

namespace {

constexpr const char* kPageWindowClass = "platform.automation.PropertyPage";

WNDCLASS PageWindowClass() {
    WNDCLASS windowClass{};
    windowClass.lpfnWndProc = &PageWindowProc;
    windowClass.lpszClassName = kPageWindowClass;
    return windowClass;
}

}  // namespace

LRESULT PageWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCT*>(lParam);
        SetWindowLongPtr(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        return 0;
    }
    if (message == WM_PAINT) {
        const auto* page = reinterpret_cast<const COlePropertyPage*>(GetWindowLongPtr(window, GWLP_USERDATA));
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT client{};
        GetClientRect(window, &client);
        if (dc && page && page->Template) DrawDialog(dc, *page->Template, client);
        EndPaint(window, &paint);
        return 0;
    }
    return platform::DefWindowProc(window, message, wParam, lParam);
}

COlePropertyPage::COlePropertyPage(unsigned dialogId, unsigned captionId)
    : PageClass(PageWindowClass()), Dialog(dialogId), Caption(captionId) {}

COlePropertyPage::~COlePropertyPage() {
    if (Window) DestroyWindow(Window);
}

HRESULT COlePropertyPage::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IPropertyPage) {
        *object = static_cast<IPropertyPage*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG COlePropertyPage::AddRef() { return References.Add(); }

ULONG COlePropertyPage::Release() {
    ULONG left = References.Drop();
    if (left == 0) delete this;
    return left;
}

HINSTANCE COlePropertyPage::PageModule() const noexcept {
    return OwnerModule() ? OwnerModule() : AfxGetInstanceHandle();
}

HRESULT COlePropertyPage::GetPageInfo(PropPageInfo& info) noexcept {
    try {
        PropPageInfo result;
        DialogTemplate dialog;
        if (!AfxLoadString(PageModule(), Caption, result.Title)) return E_FAIL;
        if (!FindDialogResource(PageModule(), Dialog, dialog)) return E_FAIL;
        RECT size{0, 0, dialog.Size.cx, dialog.Size.cy};
        if (!MapDialogRect(dialog, &size)) return E_FAIL;
        result.DialogId = Dialog;
        result.Size = SIZE{size.right, size.bottom};
        info = std::move(result);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT COlePropertyPage::SetObjects(std::span<IControl* const> objects) noexcept {
    try {
        Controls.assign(objects.begin(), objects.end());
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT COlePropertyPage::Activate(HWND parent, const RECT& rect) noexcept {
    try {
        PropPageInfo info;
        auto dialog = std::make_shared<DialogTemplate>();
        if (FAILED(GetPageInfo(info)) || !FindDialogResource(PageModule(), Dialog, *dialog)) return E_FAIL;
        Template = std::move(dialog);
        if (!Window) {
            Window =
                CreateWindowEx(0, kPageWindowClass, info.Title.c_str(), WS_CHILD | WS_VISIBLE, rect.left, rect.top,
                               rect.right - rect.left, rect.bottom - rect.top, parent, nullptr, OwnerModule(), this);
            if (!Window) return E_FAIL;
        } else {
            InvalidateRect(Window, nullptr, FALSE);
        }
        // Painted now rather than from the message loop: a host may read the
        // page back, or close it, before it pumps again.
        UpdateWindow(Window);
        CDataExchange dx(this, FALSE);
        DoDataExchange(&dx);
        return S_OK;
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT COlePropertyPage::Deactivate() noexcept {
    if (Window) {
        DestroyWindow(Window);
        Window = 0;
    }
    return S_OK;
}

HRESULT COlePropertyPage::IsPageDirty() noexcept { return Dirty ? S_OK : S_FALSE; }

HRESULT COlePropertyPage::Apply() noexcept {
    try {
        CDataExchange dx(this, TRUE);
        DoDataExchange(&dx);
        return S_OK;
    } catch (...) {
        return E_FAIL;
    }
}

void COlePropertyPage::DoDataExchange(CDataExchange* dx) { DDP_PostProcessing(dx); }

void DDP_PostProcessing(CDataExchange* dx) {
    if (dx && dx->Page && dx->SaveAndValidate) dx->Page->Dirty = false;
}

}  // namespace platform
