#pragma once

#include <span>

#include "platform/automation/control.h"

// What the control object and its windows share.
namespace platform::detail {

// Messages of the hidden apartment window, which carries calls made on other
// threads over to the control's thread.
inline constexpr UINT kInvokeMessage = WM_USER + 1;  // lParam: MarshaledCall*
inline constexpr UINT kDeleteMessage = WM_USER + 2;  // lParam: the COleControl to delete

struct MarshaledCall {
    DISPID Id;
    InvokeKind Kind;
    std::span<Variant> Args;
    Variant* Result;
    DispatchError* Error;
    HRESULT Outcome = E_UNEXPECTED;
};

}  // namespace platform::detail
