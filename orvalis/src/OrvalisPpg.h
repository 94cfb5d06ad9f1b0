#pragma once

#include "platform/automation/control.h"

namespace orvalis {

// The control's one property page, "General": a placeholder that binds no
// property.
class COrvalisPropPage : public platform::COlePropertyPage {
public:
    // The page's dialog and its caption string share the id.
    static constexpr unsigned kDialogId = 200;
    static constexpr unsigned kCaptionId = 200;

    COrvalisPropPage();

protected:
    void DoDataExchange(platform::CDataExchange* dx) override;
};

}  // namespace orvalis
