#include "VideoConsumerPpg.h"

namespace kestravion {

CVideoConsumerPropPage::CVideoConsumerPropPage() : COlePropertyPage(kDialogId, kCaptionId) {}

void CVideoConsumerPropPage::DoDataExchange(platform::CDataExchange* dx) { platform::DDP_PostProcessing(dx); }

}  // namespace kestravion
