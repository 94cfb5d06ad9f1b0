#pragma once

#include "platform/com/com.h"

// What a host needs to know of the MIDI player control without loading its
// module: its class ids, interfaces, type library and ProgIDs, and the ids of
// its events. Published once; never changed.
namespace orvalis {

// {25E0E112-EE9E-464B-9C15-5C9384CA9507}
inline constexpr platform::CLSID CLSID_OrvalisCtrl{
    0x25E0E112, 0xEE9E, 0x464B, {0x9C, 0x15, 0x5C, 0x93, 0x84, 0xCA, 0x95, 0x07}};
// {8F076EBA-2382-499D-A84C-F7BE624415E7}
inline constexpr platform::CLSID CLSID_OrvalisPropPage{
    0x8F076EBA, 0x2382, 0x499D, {0xA8, 0x4C, 0xF7, 0xBE, 0x62, 0x44, 0x15, 0xE7}};
// {BE98E632-65AA-48B2-A42B-718AA814D090}
inline constexpr platform::IID IID_DOrvalis{
    0xBE98E632, 0x65AA, 0x48B2, {0xA4, 0x2B, 0x71, 0x8A, 0xA8, 0x14, 0xD0, 0x90}};
// {4B6A6360-614E-437B-A6CF-BB8E6575146E}
inline constexpr platform::IID IID_DOrvalisEvents{
    0x4B6A6360, 0x614E, 0x437B, {0xA6, 0xCF, 0xBB, 0x8E, 0x65, 0x75, 0x14, 0x6E}};
// {8F9C352B-B414-4605-B229-E572CCDA8DDD}
inline constexpr platform::GUID LIBID_ORVALISLib{
    0x8F9C352B, 0xB414, 0x4605, {0xB2, 0x29, 0xE5, 0x72, 0xCC, 0xDA, 0x8D, 0xDD}};

inline constexpr const char* kOrvalisCtrlProgId = "ORVALIS.OrvalisCtrl.1";
inline constexpr const char* kOrvalisPropPageProgId = "ORVALIS.OrvalisPropPage.1";

// The events of _DOrvalisEvents (besides the stock Error, which is never fired).
inline constexpr int kEventSongEnd = 1;
inline constexpr int kEventNoteOn = 2;
inline constexpr int kEventNoteOff = 3;

}  // namespace orvalis
