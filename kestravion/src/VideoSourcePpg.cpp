#include "VideoSourcePpg.h"

namespace kestravion {

CVideoSourcePropPage::CVideoSourcePropPage() : COlePropertyPage(kDialogId, kCaptionId) {}

void CVideoSourcePropPage::DoDataExchange(platform::CDataExchange* dx) { platform::DDP_PostProcessing(dx); }

}  // namespace kestravion
