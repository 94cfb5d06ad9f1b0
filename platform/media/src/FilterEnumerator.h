#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

#include "platform/media/media.h"

namespace platform::media::detail {

// The graph's filters as they were when the enumerator was made, each held
// with a reference of its own: files rendered later are not in it.
class FilterEnumerator final : public IEnumFilters {
public:
    explicit FilterEnumerator(std::vector<ComPtr<IBaseFilter>> filters) : Filters(std::move(filters)) {}

    HRESULT QueryInterface(REFIID iid, void** object) override;
    ULONG AddRef() override { return Refs.Add(); }
    ULONG Release() override;

    HRESULT Next(ULONG count, IBaseFilter** filters, ULONG* fetched) override;
    HRESULT Skip(ULONG count) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumFilters** copy) override;

private:
    ~FilterEnumerator() override = default;

    RefCount Refs;
    std::mutex Lock;  // the cursor, for callers on several threads
    std::vector<ComPtr<IBaseFilter>> Filters;
    std::size_t Cursor = 0;
};

}  // namespace platform::media::detail
