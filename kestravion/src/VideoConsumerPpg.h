#pragma once

#include "platform/automation/control.h"

namespace kestravion {

// The consumer control's property page, "General": nothing to set yet.
class CVideoConsumerPropPage : public platform::COlePropertyPage {
public:
    static constexpr unsigned kDialogId = 201;
    static constexpr unsigned kCaptionId = 201;

    CVideoConsumerPropPage();

protected:
    void DoDataExchange(platform::CDataExchange* dx) override;
};

}  // namespace kestravion
