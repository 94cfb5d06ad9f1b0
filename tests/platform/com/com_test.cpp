#include "platform/com/com.h"

#include <gtest/gtest.h>

namespace {

using platform::GUID;

TEST(Guid, FormatsAndParsesTheBracedFormRoundTrip) {
    GUID g{0x1234ABCD, 0x0F0E, 0xBEEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
    EXPECT_EQ(g.ToString(), "{1234ABCD-0F0E-BEEF-0123-456789ABCDEF}");
    EXPECT_EQ(GUID::Parse(g.ToString()), g);
    EXPECT_EQ(GUID::Parse("{1234abcd-0f0e-beef-0123-456789abcdef}"), g) << "either case";
}

TEST(Guid, RefusesAnythingButTheBracedForm) {
    for (const char* bad : {"", "{}", "1234ABCD-0F0E-BEEF-0123-456789ABCDEF", "{1234ABCD-0F0E-BEEF-0123-456789ABCDEG}",
                            "{1234ABCD+0F0E-BEEF-0123-456789ABCDEF}", "{1234ABCD-0F0E-BEEF-0123-456789ABCDEF}x"}) {
        EXPECT_FALSE(GUID::Parse(bad).has_value()) << bad;
    }
}

struct Counted : platform::IUnknown {
    platform::RefCount Refs;
    int* Deleted;
    explicit Counted(int* deleted) : Deleted(deleted) {}
    ~Counted() override { ++*Deleted; }
    platform::HRESULT QueryInterface(platform::REFIID, void**) override { return platform::E_NOINTERFACE; }
    platform::ULONG AddRef() override { return Refs.Add(); }
    platform::ULONG Release() override {
        platform::ULONG n = Refs.Drop();
        if (n == 0) delete this;
        return n;
    }
};

TEST(ComPtr, ReleasesEachReferenceItHoldsExactlyOnce) {
    int deleted = 0;
    {
        auto a = platform::ComPtr<Counted>::Attach(new Counted(&deleted));
        auto b = a;
        auto c = std::move(b);
        EXPECT_FALSE(b);  // NOLINT(bugprone-use-after-move): checks what the move left
        a.Reset();
        EXPECT_EQ(deleted, 0);
    }
    EXPECT_EQ(deleted, 1);
}

}  // namespace
