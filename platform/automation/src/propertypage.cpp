// The property page base: its caption and size, the controls it shows, its
// window and its data exchange.

#include "platform/automation/control.h"

namespace platform {

namespace {

constexpr const char* kPageWindowClass = "platform.automation.PropertyPage";

LRESULT PageWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return platform::DefWindowProc(window, message, wParam, lParam);
}

WNDCLASS PageWindowClass() {
    WNDCLASS windowClass{};
    windowClass.lpfnWndProc = &PageWindowProc;
    windowClass.lpszClassName = kPageWindowClass;
    return windowClass;
}

}  // namespace

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

HRESULT COlePropertyPage::GetPageInfo(PropPageInfo& info) noexcept {
    try {
        HINSTANCE module = OwnerModule() ? OwnerModule() : AfxGetInstanceHandle();
        PropPageInfo result;
        if (!AfxLoadString(module, Caption, result.Title)) return E_FAIL;
        result.DialogId = Dialog;
        result.Size = SIZE{250, 62};
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
        if (FAILED(GetPageInfo(info))) return E_FAIL;
        if (!Window) {
            Window = CreateWindowEx(0, kPageWindowClass, info.Title.c_str(), WS_CHILD | WS_VISIBLE,
                                    rect.left, rect.top, rect.right - rect.left,
                                    rect.bottom - rect.top, parent, nullptr, OwnerModule(), nullptr);
            if (!Window) return E_FAIL;
        }
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
