#pragma once

#include "platform/automation/control.h"

namespace kestravion {

// The source control's property page, "General": nothing to set yet.
class CVideoSourcePropPage : public platform::COlePropertyPage {
public:
    static constexpr unsigned kDialogId = 200;
    static constexpr unsigned kCaptionId = 200;

    CVideoSourcePropPage();

protected:
    void DoDataExchange(platform::CDataExchange* dx) override;
};

}  // namespace kestravion
