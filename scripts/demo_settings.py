#!/usr/bin/env python3
"""Settings helper of the run command's demo.

  demo_settings.py has-camera FILE        exit 0 when FILE names a configured camera
  demo_settings.py write FILE NAME:PORT:TYPE ...
                                          writes a settings file naming those cameras on
                                          127.0.0.1 (UTF-16LE with its FF FE mark, as the
                                          viewer writes it)
"""
import sys

CHANNELS = 16


def decode(data: bytes) -> str:
    if data.startswith(b"\xff\xfe"):
        return data[2:].decode("utf-16-le", errors="replace")
    if data.startswith(b"\xfe\xff"):
        return data[2:].decode("utf-16-be", errors="replace")
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    return data.decode("utf-8", errors="replace")


def parse(text: str) -> dict:
    """Sections and keys without regard to case; the first of a name wins, as in the viewer."""
    sections: dict = {}
    current = None
    for raw in text.splitlines():
        line = raw.strip()
        if line.startswith("[") and "]" in line:
            current = sections.setdefault(line[1 : line.index("]")].strip().lower(), {})
        elif current is not None and "=" in line:
            key, value = line.split("=", 1)
            current.setdefault(key.strip().lower(), value.strip())
    return sections


def leading_int(value, default: int) -> int:
    if value is None or value == "":
        return default
    digits = ""
    for i, ch in enumerate(value):
        if ch.isdigit() or (i == 0 and ch in "+-"):
            digits += ch
        else:
            break
    try:
        return int(digits)
    except ValueError:
        return 0


def configured(camera: dict) -> bool:
    """A camera the viewer connects to at start (configured by address or by host name)."""
    def has(key):
        return camera.get(key, "") != ""

    common = has("name") and has("login") and has("password")
    vosk = leading_int(camera.get("voskuse"), 0)
    if vosk == 1:
        return common and has("voskhost")
    if vosk == 0:
        return common and has("ip") and leading_int(camera.get("webport"), 80) != 0
    return False


def has_camera(path: str) -> int:
    try:
        with open(path, "rb") as f:
            sections = parse(decode(f.read()))
    except OSError:
        return 1
    for channel in range(CHANNELS):
        if configured(sections.get(f"camera{channel}", {})):
            return 0
    return 1


def write(path: str, cameras: list) -> int:
    lines = []
    for channel, entry in enumerate(cameras[:CHANNELS]):
        # name:port:type, optionally followed by :video format (0 Motion JPEG, 1 MPEG-4, 2 H.264)
        name, port, camera_type, *rest = entry.split(":")
        video_format = rest[0] if rest else "0"
        lines += [
            f"[Camera{channel}]",
            f"Name={name}",
            "IP=127.0.0.1",
            f"WebPort={port}",
            "Login=admin",
            "Password=admin",
            f"Type={camera_type}",
            f"DualMode={video_format}",
            # Heard when shown alone: the simulated cameras send a tone.
            "MuteAudio=0",
            "",
        ]
    with open(path, "wb") as f:
        f.write(b"\xff\xfe" + "\r\n".join(lines).encode("utf-16-le"))
    return 0


def main(argv: list) -> int:
    if len(argv) == 3 and argv[1] == "has-camera":
        return has_camera(argv[2])
    if len(argv) >= 4 and argv[1] == "write":
        return write(argv[2], argv[3:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
