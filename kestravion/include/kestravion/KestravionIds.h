#pragma once

#include "platform/com/com.h"

// What a host needs to know of the video controls without loading their
// module: class ids, interfaces, type library, ProgIDs and the ids of the
// events. Published once; never changed.
namespace kestravion {

// {92E28C47-5C57-479E-9997-E632F11C6573}
inline constexpr platform::GUID LIBID_KESTRAVIONLib{
    0x92E28C47, 0x5C57, 0x479E, {0x99, 0x97, 0xE6, 0x32, 0xF1, 0x1C, 0x65, 0x73}};

// {47D317C2-FF9F-42E5-9F3A-C1341CC721D0}
inline constexpr platform::CLSID CLSID_VideoSourceCtrl{
    0x47D317C2, 0xFF9F, 0x42E5, {0x9F, 0x3A, 0xC1, 0x34, 0x1C, 0xC7, 0x21, 0xD0}};
// {B468150E-EE3A-421F-938A-06A5CA37AEEC}
inline constexpr platform::IID IID_DVideoSource{
    0xB468150E, 0xEE3A, 0x421F, {0x93, 0x8A, 0x06, 0xA5, 0xCA, 0x37, 0xAE, 0xEC}};
// {36059E31-8938-4C72-B0EA-EA39C78780D3}
inline constexpr platform::IID IID_DVideoSourceEvents{
    0x36059E31, 0x8938, 0x4C72, {0xB0, 0xEA, 0xEA, 0x39, 0xC7, 0x87, 0x80, 0xD3}};
// {1A076221-5B9D-49CF-9ADE-4090C876DA4A}
inline constexpr platform::CLSID CLSID_VideoSourcePropPage{
    0x1A076221, 0x5B9D, 0x49CF, {0x9A, 0xDE, 0x40, 0x90, 0xC8, 0x76, 0xDA, 0x4A}};

// {698679FA-C4B5-48F5-AEBB-3E1F47A64C7B}
inline constexpr platform::CLSID CLSID_VideoConsumerCtrl{
    0x698679FA, 0xC4B5, 0x48F5, {0xAE, 0xBB, 0x3E, 0x1F, 0x47, 0xA6, 0x4C, 0x7B}};
// {9301F278-7BA4-411E-A82B-22328E920694}
inline constexpr platform::IID IID_DVideoConsumer{
    0x9301F278, 0x7BA4, 0x411E, {0xA8, 0x2B, 0x22, 0x32, 0x8E, 0x92, 0x06, 0x94}};
// {8AC054D1-BE41-4644-8249-BC14DEE0586D}
inline constexpr platform::IID IID_DVideoConsumerEvents{
    0x8AC054D1, 0xBE41, 0x4644, {0x82, 0x49, 0xBC, 0x14, 0xDE, 0xE0, 0x58, 0x6D}};
// {4DFF6372-4DB2-4CDC-8D87-4621B0A6803C}
inline constexpr platform::CLSID CLSID_VideoConsumerPropPage{
    0x4DFF6372, 0x4DB2, 0x4CDC, {0x8D, 0x87, 0x46, 0x21, 0xB0, 0xA6, 0x80, 0x3C}};

inline constexpr const char* kVideoSourceProgId = "KESTRAVION.VideoSourceCtrl.1";
inline constexpr const char* kVideoConsumerProgId = "KESTRAVION.VideoConsumerCtrl.1";
inline constexpr const char* kVideoSourcePageProgId = "KESTRAVION.VideoSourcePropPage.1";
inline constexpr const char* kVideoConsumerPageProgId = "KESTRAVION.VideoConsumerPropPage.1";

// The events of _DVideoSourceEvents besides the stock Error.
inline constexpr int kEventComplete = 1;
inline constexpr int kEventBufferingData = 2;
inline constexpr int kEventBufferingEnd = 3;
inline constexpr int kEventPlay = 4;
inline constexpr int kEventPause = 5;
inline constexpr int kEventStop = 6;

// The source control's button strip: three 27 x 27 buttons side by side, and
// the bitmap (resource 201) with each button at rest and lit.
inline constexpr int kButtonSize = 27;
inline constexpr int kButtonCount = 3;
inline constexpr int kStripWidth = kButtonSize * kButtonCount;  // 81
inline constexpr int kStripBitmapId = 201;
inline constexpr int kStripBitmapWidth = kButtonSize * kButtonCount * 2;  // 162

}  // namespace kestravion
