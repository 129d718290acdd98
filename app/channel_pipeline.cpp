#include "app/channel_pipeline.h"

#include "core/channel_record.h"

namespace ipcam {

void endRecordingsAfterLoss(ChannelRecord& record) {
  record.threads.motion.stop();
  record.threads.manualRecord.stop();
  record.threads.schedule.stop();
}

}  // namespace ipcam
