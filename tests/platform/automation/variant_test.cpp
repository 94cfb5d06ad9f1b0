#include "platform/automation/variant.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "fixture.h"
#include "platform/automation/control.h"

namespace {

using namespace platform;

struct Conversion {
    const char* Label;
    Variant In;
    VARTYPE To;
    HRESULT Code;
    Variant Out;
};

void PrintTo(const Conversion& conversion, std::ostream* out) { *out << conversion.Label; }

class ChangeTypeTable : public ::testing::TestWithParam<Conversion> {};

TEST_P(ChangeTypeTable, ConvertsAsAutomationHostsExpect) {
    const Conversion& c = GetParam();
    Variant out = Variant("untouched");
    std::string why;
    EXPECT_EQ(ChangeType(c.In, c.To, out, &why), c.Code) << c.Label;
    if (SUCCEEDED(c.Code)) {
        EXPECT_EQ(out, c.Out) << c.Label << ": got " << out.ToDisplayString();
    } else {
        EXPECT_EQ(out, Variant("untouched")) << c.Label << ": a failed conversion leaves the output";
        EXPECT_FALSE(why.empty()) << c.Label;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Variants, ChangeTypeTable,
    ::testing::Values(
        // Doubles become integers rounded half to even, within range.
        Conversion{"2.5 to long", Variant(2.5), VT_I4, S_OK, Variant(2)},
        Conversion{"3.5 to long", Variant(3.5), VT_I4, S_OK, Variant(4)},
        Conversion{"-2.5 to long", Variant(-2.5), VT_I4, S_OK, Variant(-2)},
        Conversion{"3e9 to long", Variant(3e9), VT_I4, DISP_E_OVERFLOW, {}},
        Conversion{"infinity to long", Variant(std::numeric_limits<double>::infinity()), VT_I4, DISP_E_OVERFLOW, {}},
        // Automation's true is -1, as a number.
        Conversion{"true to long", Variant(true), VT_I4, S_OK, Variant(-1)},
        Conversion{"true to double", Variant(true), VT_R8, S_OK, Variant(-1.0)},
        Conversion{"0 to bool", Variant(0), VT_BOOL, S_OK, Variant(false)},
        Conversion{"-7 to bool", Variant(-7), VT_BOOL, S_OK, Variant(true)},
        Conversion{"0.25 to bool", Variant(0.25), VT_BOOL, S_OK, Variant(true)},
        // Text is parsed whole.
        Conversion{"\" 42 \" to long", Variant(" 42 "), VT_I4, S_OK, Variant(42)},
        Conversion{"\"0x10\" to long", Variant("0x10"), VT_I4, S_OK, Variant(16)},
        Conversion{"\"+7\" to long", Variant("+7"), VT_I4, S_OK, Variant(7)},
        Conversion{"\"1.5\" to long", Variant("1.5"), VT_I4, S_OK, Variant(2)},
        Conversion{"\"12abc\" to long", Variant("12abc"), VT_I4, DISP_E_TYPEMISMATCH, {}},
        Conversion{"\"\" to long", Variant(""), VT_I4, DISP_E_TYPEMISMATCH, {}},
        Conversion{"\"nan\" to double", Variant("nan"), VT_R8, DISP_E_TYPEMISMATCH, {}},
        Conversion{"\"FALSE\" to bool", Variant("FALSE"), VT_BOOL, S_OK, Variant(false)},
        Conversion{"\"True\" to bool", Variant("True"), VT_BOOL, S_OK, Variant(true)},
        Conversion{"\"maybe\" to bool", Variant("maybe"), VT_BOOL, DISP_E_TYPEMISMATCH, {}},
        Conversion{"\"2\" to bool", Variant("2"), VT_BOOL, S_OK, Variant(true)},
        // Colours: hosts pass system colours as negative longs; the bits stay.
        Conversion{"-2147483633 to colour", Variant(-2147483633), VT_COLOR, S_OK, Variant::MakeColor(0x8000000Fu)},
        Conversion{"\"0x800000FF\" to colour", Variant("0x800000FF"), VT_COLOR, S_OK, Variant::MakeColor(0x800000FFu)},
        Conversion{"0x80000000 colour to long", Variant::MakeColor(0x80000000u), VT_I4, DISP_E_OVERFLOW, {}},
        Conversion{"5e9 to colour", Variant(5e9), VT_COLOR, DISP_E_OVERFLOW, {}},
        // Everything prints.
        Conversion{"0.1 to string", Variant(0.1), VT_BSTR, S_OK, Variant("0.1")},
        Conversion{"true to string", Variant(true), VT_BSTR, S_OK, Variant("True")},
        Conversion{"empty to long", Variant(), VT_I4, S_OK, Variant(0)},
        Conversion{"empty to string", Variant(), VT_BSTR, S_OK, Variant("")}),
    [](const ::testing::TestParamInfo<Conversion>& param) { return std::to_string(param.index); });

TEST(Variant, AReferenceConvertsItsTargetsCurrentValue) {
    std::int32_t target = 5;
    Variant ref(&target);
    target = 9;
    Variant out;
    ASSERT_EQ(ChangeType(ref, VT_R8, out), S_OK);
    EXPECT_EQ(out.Double(), 9.0);
    EXPECT_FALSE(out.IsByRef()) << "conversion yields a value, never a second reference";
}

TEST(Variant, WritersOnlyWriteThroughAReferenceOfTheirType) {
    double d = 0;
    std::int32_t n = 0;
    Variant dref(&d);
    Variant nref(&n);
    EXPECT_FALSE(dref.SetLong(3));
    EXPECT_FALSE(Variant(1.0).SetDouble(2.0)) << "a value has nowhere to write";
    EXPECT_TRUE(dref.SetDouble(2.5));
    EXPECT_EQ(d, 2.5);
    EXPECT_FALSE(nref.SetBool(TRUE)) << "a long reference is not a BOOL reference until retagged";
    ASSERT_TRUE(nref.RetagReference(VT_BOOL | VT_BYREF));
    EXPECT_TRUE(nref.SetBool(-1));
    EXPECT_EQ(n, TRUE) << "any true BOOL is stored as TRUE";
    EXPECT_FALSE(dref.RetagReference(VT_I4 | VT_BYREF)) << "a double's storage is no long";
}

// The other tests compare results with ==, so it has to tell values apart.
TEST(Variant, EqualsOnlyTheSameTypeAndValueAndAReferenceOnlyTheSameTarget) {
    EXPECT_EQ(Variant(), Variant());
    EXPECT_EQ(Variant(42), Variant(42));
    EXPECT_NE(Variant(42), Variant(43));
    EXPECT_NE(Variant(42), Variant(42.0)) << "a long is no double";
    EXPECT_NE(Variant(5), Variant::MakeColor(5)) << "nor a colour";
    EXPECT_EQ(Variant(0.5), Variant(0.5));
    EXPECT_NE(Variant(0.5), Variant(0.25));
    EXPECT_EQ(Variant("text"), Variant(std::string("text")));
    EXPECT_NE(Variant("text"), Variant("Text"));
    EXPECT_NE(Variant::MakeColor(0x00FF00), Variant::MakeColor(0x0000FF));
    EXPECT_EQ(Variant(true), Variant::MakeBool(TRUE));
    EXPECT_NE(Variant(true), Variant(false));

    std::int32_t first = 1;
    std::int32_t second = 1;
    EXPECT_EQ(Variant(&first), Variant(&first));
    EXPECT_NE(Variant(&first), Variant(&second)) << "equal values, different targets";
    EXPECT_NE(Variant(&first), Variant(1)) << "a reference is no value";
}

TEST(Variant, ANullReferenceIsAnEmptyValueThatNobodyWritesThrough) {
    for (Variant null : {Variant(static_cast<std::int32_t*>(nullptr)), Variant(static_cast<double*>(nullptr)),
                         Variant(static_cast<std::string*>(nullptr)), Variant::MakeBoolRef(nullptr)}) {
        EXPECT_TRUE(null.IsEmpty());
        EXPECT_FALSE(null.SetLong(1));
        EXPECT_FALSE(null.SetDouble(1));
        EXPECT_FALSE(null.SetString("x"));
        EXPECT_FALSE(null.RetagReference(VT_BOOL | VT_BYREF));
    }
}

TEST(Variant, TypeNamesReadBackAsTheSameTypes) {
    for (VARTYPE type :
         std::initializer_list<VARTYPE>{VT_EMPTY, VT_BOOL, VT_I4, VT_R8, VT_BSTR, VT_COLOR, VT_BOOL | VT_BYREF,
                                        VT_I4 | VT_BYREF, VT_R8 | VT_BYREF, VT_BSTR | VT_BYREF, VT_COLOR | VT_BYREF}) {
        VARTYPE back = 0xFFFF;
        ASSERT_TRUE(ParseTypeName(TypeName(type), back)) << TypeName(type);
        EXPECT_EQ(back, type);
    }
    VARTYPE ignored;
    EXPECT_FALSE(ParseTypeName("short", ignored));
    EXPECT_FALSE(IsSupportedType(VT_EMPTY | VT_BYREF));
}

TEST(Variant, DoublesPrintShortestAndReadBackExactly) {
    for (double value : {0.1, 1.0 / 3.0, 1e-300, -0.0, 123456789.125, 0.5000000126310624}) {
        Variant text;
        ASSERT_EQ(ChangeType(Variant(value), VT_BSTR, text), S_OK);
        Variant back;
        ASSERT_EQ(ChangeType(text, VT_R8, back), S_OK) << text.String();
        EXPECT_EQ(back.Double(), value) << text.String();
    }
}

// Tables are checked when they are built; a bad one is marked, never used silently.
struct Holder : COleControl {
    std::int32_t Get() { return 1; }
    std::int32_t Get2(std::int32_t value) { return value; }
    BOOL Flag = FALSE;
};

TEST(DispatchTable, NumbersMembersByPositionAndKeepsFixedIds) {
    DispatchTable table{
        Method<VT_I4>("First", &Holder::Get),
        Method<VT_I4>("AboutBox", &Holder::Get).Id(DISPID_ABOUTBOX),
        Method<VT_I4>("Second", &Holder::Get).AlternateName("Other"),
    };
    ASSERT_TRUE(table.Valid()) << table.Problem();
    EXPECT_EQ(table.FindByName("first")->MemberId, 1);
    EXPECT_EQ(table.FindByName("ABOUTBOX")->MemberId, DISPID_ABOUTBOX);
    EXPECT_EQ(table.FindByName("Second")->MemberId, 2) << "a fixed id takes no position";
    EXPECT_EQ(table.FindByName("other")->MemberId, 2) << "the alternate name resolves";
    EXPECT_EQ(table.FindByName("Third"), nullptr);
}

TEST(DispatchTable, MarksDuplicatesAndBadDefaultsInvalid) {
    DispatchTable names{Method<VT_I4>("Value", &Holder::Get), Method<VT_I4>("VALUE", &Holder::Get)};
    EXPECT_FALSE(names.Valid());
    EXPECT_NE(names.Problem().find("used twice"), std::string::npos) << names.Problem();

    DispatchTable ids{Method<VT_I4>("A", &Holder::Get), Method<VT_I4>("B", &Holder::Get).Id(1)};
    EXPECT_FALSE(ids.Valid());

    DispatchTable alternate{Method<VT_I4>("A", &Holder::Get), Method<VT_I4>("B", &Holder::Get).AlternateName("a")};
    EXPECT_FALSE(alternate.Valid()) << "an alternate name may not shadow another member";

    DispatchTable unnamed{Method<VT_I4, VT_I4>("A", &Holder::Get2)};
    EXPECT_FALSE(unnamed.Valid()) << "every parameter needs its name for the type information";

    DispatchTable badDefault{Property<VT_BOOL>("Flag", &Holder::Flag).Persist(Variant("perhaps"))};
    EXPECT_FALSE(badDefault.Valid());
    DispatchTable goodDefault{Property<VT_BOOL>("Flag", &Holder::Flag).Persist(FALSE)};
    EXPECT_TRUE(goodDefault.Valid()) << "FALSE is taken as the property's bool";
}

TEST(EventTable, NumbersCustomEventsFromOneAroundTheStockOnes) {
    EventTable table{StockErrorEvent(), Event("Done"), StockClickEvent(),
                     Event<VT_I4, VT_BOOL | VT_BYREF>("Ask", {"Index", "Refuse"})};
    ASSERT_TRUE(table.Valid()) << table.Problem();
    EXPECT_EQ(table.FindByName("Done")->Id, 1);
    EXPECT_EQ(table.FindByName("Ask")->Id, 2);
    EXPECT_EQ(table.FindById(DISPID_ERROREVENT)->Params.size(), 7u);
    EXPECT_EQ(table.FindById(DISPID_CLICK)->Name, "Click");
}

}  // namespace
