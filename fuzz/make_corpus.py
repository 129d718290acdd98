#!/usr/bin/env python3
"""Writes the seed inputs of every fuzz target into corpus/<target>/.

The seeds are what our simulated camera and the test servers send (same headers, SDP, packet
layouts), cut small. Run it again after changing a seed here; files found by fuzz runs and kept
as regression inputs live beside these under their own names and are left alone.
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
TURN = b"~~~\n"
JPEG = bytes.fromhex("ffd8ffe000104a46494600010100000100010000ffd9")


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def turns(*parts):
    return TURN.join(parts)


# ---- HTTP ------------------------------------------------------------------------------------
BOUNDARY = b"ipcam-frame"
STREAM_HEAD = (b"HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=" + BOUNDARY +
               b"\r\nCache-Control: no-cache\r\nPragma: no-cache\r\nConnection: close\r\n\r\n")


def part(picture, motion=False, length=True):
    head = b"--" + BOUNDARY + b"\r\nContent-Type: image/jpeg\r\n"
    if length:
        head += b"Content-Length: %d\r\n" % len(picture)
    if motion:
        head += b"Motion-Event: 1\r\n"
    return head + b"\r\n" + picture + b"\r\n"


def chunked(body, size=17):
    out = b""
    for i in range(0, len(body), size):
        piece = body[i:i + size]
        out += b"%x\r\n" % len(piece) + piece + b"\r\n"
    return out + b"0\r\n\r\n"


TWO_PARTS = part(JPEG) + part(JPEG, motion=True)
NO_LENGTH = part(JPEG, length=False) + part(JPEG, length=False)
CHUNKED_HEAD = STREAM_HEAD.replace(b"Connection", b"Transfer-Encoding: chunked\r\nConnection")
DIGEST = (b"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"camera\", "
          b"nonce=\"5f2c1a9e0b7d4c3a\", qop=\"auth\"\r\nContent-Length: 0\r\n\r\n")
DIGEST_SHA = (b"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"relay\", "
              b"nonce=\"a1b2\", opaque=\"x,y\", algorithm=SHA-256, qop=\"auth,auth-int\"\r\n"
              b"WWW-Authenticate: Digest realm=\"relay\", nonce=\"c3\", algorithm=MD5\r\n"
              b"WWW-Authenticate: Basic realm=\"relay \\\"quoted\\\"\"\r\n\r\n")
STALE = (b"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"camera\", "
         b"nonce=\"0002\", stale=true\r\n\r\n")
BASIC = b"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"camera\"\r\n\r\n"

write("http_stream_reader", "multipart", b"\x00" + STREAM_HEAD + TWO_PARTS)
write("http_stream_reader", "multipart_chunked", b"\x01" + CHUNKED_HEAD + chunked(TWO_PARTS))
write("http_stream_reader", "boundary_only", b"\x30" + STREAM_HEAD + NO_LENGTH)
write("http_stream_reader", "quoted_boundary", b"\x20" + STREAM_HEAD.replace(
    b"boundary=ipcam-frame", b"boundary=\"--ipcam-frame\"") + NO_LENGTH)
write("http_stream_reader", "chunk_extension", b"\x01" + CHUNKED_HEAD +
      b"a;name=value\r\n" + TWO_PARTS[:10] + b"\r\n0\r\nTrailer: x\r\n\r\n")

write("http_camera_answer", "stream", STREAM_HEAD + TWO_PARTS)
write("http_camera_answer", "digest_then_stream", turns(DIGEST, STREAM_HEAD + TWO_PARTS))
write("http_camera_answer", "basic_then_stream", turns(BASIC, CHUNKED_HEAD + chunked(NO_LENGTH)))
write("http_camera_answer", "stale_nonce", turns(STALE, STALE, DIGEST, STREAM_HEAD + TWO_PARTS))
write("http_camera_answer", "too_many_users", STREAM_HEAD +
      b"--ipcam-frame\r\nContent-Type: text/plain\r\nX-CurrentUsers: Too many users\r\n"
      b"Content-Length: 16\r\n\r\nToo many users\r\n\r\n")
write("http_camera_answer", "not_found", b"HTTP/1.1 404 Not Found\r\n\r\n")

write("http_auth", "digest", DIGEST)
write("http_auth", "several_offers", DIGEST_SHA)
write("http_auth", "stale", STALE)
write("http_auth", "basic", BASIC)
write("http_auth", "rtsp_digest", b"RTSP/1.0 401 Unauthorized\r\nCSeq: 0\r\nWWW-Authenticate: "
      b"Digest realm=\"camsim\", nonce=\"aa55\"\r\n\r\n")

# ---- RTSP ------------------------------------------------------------------------------------
SDP_HEAD = (b"v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=camsim\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\n"
            b"a=control:*\r\n")
SPS = bytes.fromhex("6742c01e95a0a0fd0080")
PPS = bytes.fromhex("68ce3c80")
import base64
SDP_H264 = (SDP_HEAD + b"m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
            b"a=fmtp:96 packetization-mode=1;profile-level-id=42c01e;sprop-parameter-sets=" +
            base64.b64encode(SPS) + b"," + base64.b64encode(PPS) + b"\r\na=control:track1\r\n"
            b"m=audio 0 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\na=control:track2\r\n")
SDP_MPEG4 = (SDP_HEAD + b"m=video 0 RTP/AVP 96\r\na=rtpmap:96 MP4V-ES/90000\r\n"
             b"a=fmtp:96 profile-level-id=1;config=000001b001\r\na=control:track1\r\n")
SDP_JPEG = (SDP_HEAD + b"m=video 0 RTP/AVP 26\r\na=rtpmap:26 JPEG/90000\r\n"
            b"a=control:rtsp://127.0.0.1:554/live/track1\r\n")


def rtsp_ok(cseq, extra=b"", body=b""):
    head = b"RTSP/1.0 200 OK\r\nCSeq: %d\r\n" % cseq + extra
    if body:
        head += b"Content-Type: application/sdp\r\nContent-Length: %d\r\n" % len(body)
    return head + b"\r\n" + body


def rtp(payload_type, seq, payload, marker=True, padding=None):
    first = 0x80 | (0x20 if padding is not None else 0)
    body = payload + (bytes([padding, 2]) if padding is not None else b"")
    packet = struct.pack(">BBHII", first, payload_type | (0x80 if marker else 0), seq, seq * 3000,
                         0x1234) + body
    return packet


def interleaved(channel, packet):
    return b"$" + bytes([channel]) + struct.pack(">H", len(packet)) + packet


def jpeg_fragments():
    tables = bytes(range(64)) + bytes(range(64, 128))
    first = struct.pack(">BBBBBBBB", 0, 0, 0, 0, 1, 255, 80, 60) + b"\x00\x00\x00\x80" + tables
    second = struct.pack(">BBBBBBBB", 0, 0, 0, 20, 1, 255, 80, 60)
    return (interleaved(0, rtp(26, 1, first + b"\x11" * 20, marker=False)) +
            interleaved(0, rtp(26, 2, second + b"\x22" * 20, padding=1)))


H264_DATA = (interleaved(0, rtp(96, 1, bytes([0x65]) + b"\x88" * 30)) +
             interleaved(0, rtp(96, 2, bytes([0x7c, 0x85]) + b"\x11" * 40, marker=False)) +
             interleaved(0, rtp(96, 3, bytes([0x7c, 0x45]) + b"\x22" * 40)) +
             interleaved(2, rtp(8, 4, b"\xd5" * 160)) +
             interleaved(1, b"\x80\xc8\x00\x06" + b"\x00" * 24))
MPEG4_DATA = (interleaved(0, rtp(96, 1, b"\x00\x00\x01\xb6" + b"\x44" * 30, marker=False)) +
              interleaved(0, rtp(96, 2, b"\x55" * 30, padding=1)))
RESYNC = (b"RTSP/1.0 200 OK\r\nCSeq: 9\r\n\r\n" + H264_DATA[:30] + b"$\x07\x00\x05abcde" +
          H264_DATA)

SESSION = b"Session: 12345678;timeout=60\r\n"
for name, kind, sdp, data in (("h264", 1, SDP_H264, H264_DATA), ("mpeg4", 0, SDP_MPEG4, MPEG4_DATA),
                              ("jpeg", 2, SDP_JPEG, jpeg_fragments())):
    setups = [rtsp_ok(1, SESSION)] + ([rtsp_ok(2, SESSION)] if name == "h264" else [])
    write("rtsp_session", name, bytes([kind]) + turns(
        rtsp_ok(0, body=sdp), *setups, rtsp_ok(9, b"Range: npt=0-\r\n" + SESSION) + data))
    write("rtsp_interleaved", name, bytes([kind | (6 << 2)]) + data)
write("rtsp_session", "challenge", b"\x01" + turns(
    b"RTSP/1.0 401 Unauthorized\r\nCSeq: 0\r\nWWW-Authenticate: Digest realm=\"camsim\", "
    b"nonce=\"aa55\"\r\nContent-Length: 5\r\n\r\nnope!", rtsp_ok(1, body=SDP_H264),
    rtsp_ok(2, SESSION), rtsp_ok(3, SESSION), rtsp_ok(4, SESSION) + H264_DATA))
write("rtsp_session", "not_found", b"\x00RTSP/1.0 404 Not Found\r\nCSeq: 0\r\n\r\n")
write("rtsp_interleaved", "resync", bytes([1 | (6 << 2)]) + RESYNC)

# ---- The binary camera servers ---------------------------------------------------------------


def avs_frame(kind, payload, width=320, height=240, motion=0):
    header = bytearray(28)
    header[0] = kind
    struct.pack_into("<H", header, 3, width)
    struct.pack_into("<H", header, 5, height)
    struct.pack_into("<I", header, 11, len(payload))
    header[27] = motion
    return bytes(header) + payload


write("avs_data", "video_audio", avs_frame(0, b"\x00\x00\x01\xb6" + b"\x33" * 60) +
      avs_frame(1, b"\x44" * 33) + avs_frame(0, b"\x00\x00\x01\xb6\x55", motion=1))
write("avs_data", "ignored_and_cut", avs_frame(2, b"\x01" * 8) + avs_frame(0, b"\x02" * 40)[:50])
answer = bytearray(415)
answer[0] = 8
write("avs_data", "answer_ack", bytes(answer))
answer = bytearray(418)
answer[0] = 12
write("avs_data", "answer_admin_long", bytes(answer))


def legacy_picture(payload, width=320, height=240, rate=15, motion=0):
    header = bytearray(28)
    struct.pack_into(">I", header, 4, len(payload))
    struct.pack_into(">HH", header, 8, width, height)
    header[12] = rate
    header[14] = motion
    return bytes(header) + payload


login = bytearray(120)
login[0:32] = bytes(range(32))
write("legacy_server", "login_answer", bytes(login))
write("legacy_server", "pictures", legacy_picture(JPEG) + legacy_picture(JPEG, motion=1))
write("legacy_server", "cut_picture", legacy_picture(JPEG * 4)[:60])

# ---- Camera search ---------------------------------------------------------------------------
MAC = bytes.fromhex("0012345678ab")


def description(name=b"Camera", address=b"\x7f\x00\x00\x01", model=9, poe=0):
    body = bytearray(66)
    body[0:len(name)] = name
    body[32:36] = address
    body[56] = 1      # vendor
    body[58] = 5      # accepted device class
    body[59] = model
    body[65] = poe
    return MAC + bytes([1, 4, 0xFF, 0xFB]) + bytes(body)


def detail(port=8080):
    packet = bytearray(91)
    packet[0:6] = MAC
    packet[6:10] = bytes([1, 2, 0xFF, 0xFD])
    struct.pack_into(">HH", packet, 86, 4321, port)
    packet[90] = 1
    return bytes(packet)


def compressed(packet):
    stream = zlib.compress(packet[10:])
    return packet[:10] + b"\xac\xed" + stream[2:]


def datagrams(*packets):
    return b"".join(struct.pack(">H", len(p)) + p for p in packets)


write("discovery_datagram", "description_detail", datagrams(description(), detail()))
write("discovery_datagram", "compressed", datagrams(compressed(description(poe=1)),
                                                     compressed(detail())))
write("discovery_datagram", "update_repeat", datagrams(description(), description(),
                                                        description(name=b"Renamed  "), detail()))

# ---- Mail ------------------------------------------------------------------------------------
EHLO = (b"250-localhost Hello\r\n250-SIZE 33554432\r\n250-8BITMIME\r\n250-AUTH LOGIN PLAIN "
        b"CRAM-MD5\r\n250 HELP\r\n")
write("smtp_replies", "auth_login", turns(
    b"220 localhost ESMTP ready\r\n", EHLO, b"334 VXNlcm5hbWU6\r\n", b"334 UGFzc3dvcmQ6\r\n",
    b"235 2.7.0 Authentication successful\r\n", b"250 OK\r\n", b"250 OK\r\n",
    b"354 End data with <CR><LF>.<CR><LF>\r\n", b"250 OK queued\r\n", b"221 Bye\r\n"))
write("smtp_replies", "cram_md5", turns(
    b"220 localhost ESMTP\r\n", EHLO.replace(b"LOGIN PLAIN ", b""),
    b"334 " + base64.b64encode(b"<1896.697170952@postoffice.example.net>") + b"\r\n",
    b"235 ok\r\n", b"250 OK\r\n", b"250 OK\r\n", b"354 go\r\n", b"250 OK\r\n", b"221 Bye\r\n"))
write("smtp_replies", "digest_md5", turns(
    b"220 localhost ESMTP\r\n", b"250-localhost\r\n250 AUTH DIGEST-MD5\r\n",
    b"334 " + base64.b64encode(b'realm="example.test",nonce="OA6MG9tEQGm2hh",qop="auth",'
                                b'algorithm=md5-sess,charset=utf-8') + b"\r\n",
    b"334 " + base64.b64encode(b"rspauth=ea40f60335c427b5527b84dbabcdfffd") + b"\r\n",
    b"235 ok\r\n", b"250 OK\r\n", b"250 OK\r\n", b"354 go\r\n", b"250 OK\r\n", b"221 Bye\r\n"))
write("smtp_replies", "refused", turns(b"554 No service\r\n"))
write("smtp_replies", "split_multiline", turns(b"220-first\r\n220-second\r\n220 ready\r\n",
                                               b"250 localhost\r\n", b"250 OK\r\n"))

write("pop3_replies", "login", turns(b"+OK POP3 ready\r\n", b"+OK\r\n", b"+OK Logged in.\r\n",
                                     b"+OK Logging out.\r\n"))
write("pop3_replies", "refused", turns(b"+OK ready\r\n", b"+OK\r\n", b"-ERR [AUTH] failed\r\n"))

# ---- Files -----------------------------------------------------------------------------------
SETTINGS = ("[Setting]\r\nLanguage=1033\r\nChannel=16\r\n[Camera 1]\r\nIP=127.0.0.1\r\n"
            "Name=Vorgarten \u00e4\u00f6\u00fc \U0001F4F7\r\n")
write("profile_file", "utf16le", b"\xff\xfe" + SETTINGS.encode("utf-16-le"))
write("profile_file", "utf16be", b"\xfe\xff" + SETTINGS.encode("utf-16-be"))
write("profile_file", "utf8_mark", b"\xef\xbb\xbf" + SETTINGS.encode("utf-8"))
write("profile_file", "broken_surrogate", b"\xff\xfe" + "[Setting]\r\nLanguage=".encode(
    "utf-16-le") + b"\x3d\xd8A\x00\r\x00")

write("recording_names", "manual", b"Manual_2026-12-11_09-30-05.avi")
write("recording_names", "motion", b"Motion_2026-02-28_23-59-59.avi")
write("recording_names", "schedule", b"Schedule_2024-02-29_00-00-00.avi")
write("recording_names", "foreign", b"Holiday_2026-1-1_1-2-3.avi")


def wav(channels, bits, rate, frames):
    data = bytes((i * 7) & 0xFF for i in range(frames * channels * bits // 8))
    fmt = struct.pack("<HHIIHH", 1, channels, rate, rate * channels * bits // 8,
                      channels * bits // 8, bits)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"LIST\x04\x00\x00\x00INFO" + \
        b"data" + struct.pack("<I", len(data)) + data
    return b"RIFF" + struct.pack("<I", len(body)) + body


write("wav_reader", "mono16", wav(1, 16, 8000, 40))
write("wav_reader", "stereo8", wav(2, 8, 22050, 40))
write("wav_reader", "odd_chunk", wav(1, 8, 8000, 33))
