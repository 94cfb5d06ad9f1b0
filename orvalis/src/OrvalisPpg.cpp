#include "OrvalisPpg.h"

namespace orvalis {

COrvalisPropPage::COrvalisPropPage() : COlePropertyPage(kDialogId, kCaptionId) {}

void COrvalisPropPage::DoDataExchange(platform::CDataExchange* dx) { platform::DDP_PostProcessing(dx); }

}  // namespace orvalis
