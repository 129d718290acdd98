#!/usr/bin/python3
"""GStreamer's RTSP server on 127.0.0.1 for the interoperability test.

Usage: gst_rtsp_server.py [PORT]   (0 or nothing: a free port is chosen)

Serves /jpeg (RFC 2435 Motion JPEG), /h264 (x264) and /jpeg-alaw (Motion JPEG with A-law
sound), RTP interleaved on TCP only. Once
the server listens, one line goes to stdout: the port actually bound. Exits when stdin
closes (the test died or let go of it) or on SIGTERM / SIGINT.
"""

import os
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402

WIDTH, HEIGHT = 320, 240
SOURCE = (
    f"videotestsrc is-live=true ! video/x-raw,format=I420,width={WIDTH},height={HEIGHT},"
    "framerate=10/1"
)
LAUNCH_LINES = {
    "/jpeg": f"( {SOURCE} ! jpegenc quality=50 ! rtpjpegpay name=pay0 pt=26 )",
    "/h264": f"( {SOURCE} ! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=10 "
    "! rtph264pay name=pay0 pt=96 config-interval=1 )",
    "/jpeg-alaw": f"( {SOURCE} ! jpegenc quality=50 ! rtpjpegpay name=pay0 pt=26 "
    # 160 samples a packet, the 20 ms that cameras send.
    "audiotestsrc is-live=true samplesperbuffer=160 ! audio/x-raw,rate=8000,channels=1 "
    "! alawenc ! rtppcmapay name=pay1 pt=8 )",
}
ELEMENTS = ("videotestsrc", "jpegenc", "rtpjpegpay", "x264enc", "rtph264pay", "audiotestsrc",
            "alawenc", "rtppcmapay")


def main():
    port = int(sys.argv[1]) if len(sys.argv) > 1 else 0
    Gst.init(None)
    for element in ELEMENTS:
        if Gst.ElementFactory.find(element) is None:
            sys.exit(f"GStreamer element {element} is missing (install the plugin packages)")

    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(port))
    mounts = server.get_mount_points()
    for path, launch in LAUNCH_LINES.items():
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch(launch)
        factory.set_shared(False)
        factory.set_protocols(GstRtsp.RTSPLowerTrans.TCP)
        mounts.add_factory(path, factory)

    loop = GLib.MainLoop()
    source_id = server.attach(None)
    if source_id == 0:
        sys.exit(f"cannot listen on 127.0.0.1:{port}")

    def stop(*_):
        loop.quit()
        return GLib.SOURCE_REMOVE

    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, stop)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, stop)

    def stdin_ready(fd, _condition):
        if os.read(fd, 4096):
            return GLib.SOURCE_CONTINUE
        return stop()

    GLib.io_add_watch(sys.stdin.fileno(), GLib.PRIORITY_DEFAULT,
                      GLib.IO_IN | GLib.IO_HUP | GLib.IO_ERR, stdin_ready)

    print(server.get_bound_port(), flush=True)
    loop.run()


if __name__ == "__main__":
    main()
