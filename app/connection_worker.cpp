#include "app/connection_worker.h"

#include "app/channel_record.h"
#include "app/viewer_settings.h"
#include "platform/trace.h"

namespace ipcam {

void armReconnect(ChannelRecord& record) {
  const CameraSettings camera = cameraSnapshot(record.channel);
  if (isCgiCameraType(camera.type)) {
    // Only the MPEG-4 choice of the first CGI generation goes through the camera server.
    if (camera.type >= 11 && camera.type <= 18 && camera.videoFormat == 1) {
      platform::trace("In EnableReconnectState, Set RX52_MPEG4_AutoReConnect to true\r\n");
      record.mpeg4Reconnect.store(true);
      record.mpeg4ReconnectCount.store(0);
      record.mpeg4LastError.store(0);
    }
    return;
  }
  platform::trace("In EnableReconnectState, Set RX27_AutoReConnect to true\r\n");
  record.legacyReconnect.store(true);
  record.legacyReconnectCount.store(0);
  record.legacyLastError.store(0);
}

bool startConnectionWorker(ChannelRecord& record) {
  // The record lives until process exit, so the worker may keep a plain reference.
  return record.threads.connect.start(record.connectRunning,
                                      [&record] { connectionWorker(record); });
}

void connectionWorker(ChannelRecord& record) {
  // The conversation with the camera (identity, road choice, reconnects) belongs here; until
  // it is built the worker ends at once and the tile keeps saying that it is connecting.
  platform::trace("Camera %d: connection worker has no camera protocol yet", record.channel + 1);
}

}  // namespace ipcam
