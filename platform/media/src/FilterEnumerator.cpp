#include "FilterEnumerator.h"

#include <algorithm>
#include <new>

namespace platform::media::detail {

HRESULT FilterEnumerator::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IEnumFilters) {
        *object = static_cast<IEnumFilters*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG FilterEnumerator::Release() {
    const ULONG left = Refs.Drop();
    if (left == 0) delete this;
    return left;
}

HRESULT FilterEnumerator::Next(ULONG count, IBaseFilter** filters, ULONG* fetched) {
    if (!filters || (!fetched && count > 1)) return E_POINTER;
    std::lock_guard guard(Lock);
    ULONG given = 0;
    while (given < count && Cursor < Filters.size()) {
        filters[given] = ComPtr<IBaseFilter>(Filters[Cursor]).Detach();
        ++given;
        ++Cursor;
    }
    if (fetched) *fetched = given;
    return given == count ? S_OK : S_FALSE;
}

HRESULT FilterEnumerator::Skip(ULONG count) {
    std::lock_guard guard(Lock);
    const std::size_t left = Filters.size() - Cursor;
    Cursor += std::min<std::size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
}

HRESULT FilterEnumerator::Reset() {
    std::lock_guard guard(Lock);
    Cursor = 0;
    return S_OK;
}

HRESULT FilterEnumerator::Clone(IEnumFilters** copy) {
    if (!copy) return E_POINTER;
    std::lock_guard guard(Lock);
    auto* clone = new (std::nothrow) FilterEnumerator(Filters);
    if (!clone) return E_OUTOFMEMORY;
    clone->Cursor = Cursor;
    *copy = clone;
    return S_OK;
}

}  // namespace platform::media::detail
