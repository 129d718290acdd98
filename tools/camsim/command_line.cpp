#include "tools/camsim/command_line.h"

#include <array>
#include <charconv>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <vector>

namespace ipcam::camsim {
namespace {

template <typename Number>
std::optional<Number> parseNumber(std::string_view text) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

template <typename Enum>
std::optional<Enum> parseChoice(std::string_view text,
                                std::initializer_list<std::pair<std::string_view, Enum>> choices) {
  for (const auto& [name, value] : choices) {
    if (name == text) return value;
  }
  return std::nullopt;
}

constexpr std::uint32_t kMaxPictureSide = 8192;

// Each option that takes a value: it stores the value and says whether it was acceptable.
using Setter = std::function<bool(Options&, std::string_view)>;

template <typename Number>
Setter numberInto(Number Options::*field) {
  return [field](Options& options, std::string_view text) {
    const auto value = parseNumber<Number>(text);
    if (value) options.*field = *value;
    return value.has_value();
  };
}

// One of a few words, each standing for a value of the field.
template <typename Value>
Setter choiceInto(Value Options::*field,
                  std::initializer_list<std::pair<std::string_view, Value>> choices) {
  return [field, table = std::vector(choices)](Options& options, std::string_view text) {
    for (const auto& [name, value] : table) {
      if (name == text) {
        options.*field = value;
        return true;
      }
    }
    return false;
  };
}

// "off", "on" (every time) or a number N (every Nth time).
Setter everyNthInto(std::uint32_t Options::*field) {
  return [field](Options& options, std::string_view text) {
    auto every = parseChoice<std::uint32_t>(text, {{"off", 0}, {"on", 1}});
    if (!every) every = parseNumber<std::uint32_t>(text);
    if (every) options.*field = *every;
    return every.has_value();
  };
}

Setter textInto(std::string Options::*field) {
  return [field](Options& options, std::string_view text) {
    options.*field = std::string(text);
    return true;
  };
}

const std::map<std::string_view, Setter>& valueOptions() {
  static const std::map<std::string_view, Setter> options = {
      {"--port", numberInto(&Options::port)},
      {"--model", numberInto(&Options::modelId)},
      {"--vendor", numberInto(&Options::vendorId)},
      {"--firmware", textInto(&Options::firmwareVersion)},
      {"--firmware-form", choiceInto<FirmwareForm>(&Options::firmwareForm, {{"list", FirmwareForm::PlainList}, {"wrong-order", FirmwareForm::WrongOrder}, {"xml-only", FirmwareForm::XmlOnly}})},
      {"--xml-order", choiceInto<bool>(&Options::firmwareXmlReversed, {{"normal", false}, {"reversed", true}})},
      {"--user", textInto(&Options::user)},
      {"--password", textInto(&Options::password)},
      {"--realm", textInto(&Options::realm)},
      {"--auth", choiceInto<AuthMode>(&Options::auth, {{"none", AuthMode::None}, {"basic", AuthMode::Basic}, {"digest", AuthMode::Digest}, {"digest-qop", AuthMode::DigestQop}})},
      {"--video-port", numberInto(&Options::privateVideoPort)},
      {"--legacy-server", choiceInto<bool>(&Options::legacyServer, {{"on", true}, {"off", false}})},
      {"--max-users", numberInto(&Options::maxUsers)},
      {"--current-users", numberInto(&Options::currentUsers)},
      {"--rtsp-form", choiceInto<RtspForm>(&Options::rtspForm, {{"list", RtspForm::PlainList}, {"xml", RtspForm::Xml}})},
      {"--rtsp-enable", choiceInto<bool>(&Options::rtspEnabled, {{"0", false}, {"1", true}})},
      {"--rtsp-port", numberInto(&Options::rtspPort)},
      {"--rtsp-serve", choiceInto<bool>(&Options::rtspServe, {{"on", true}, {"off", false}})},
      {"--rtsp-size",
       [](Options& o, std::string_view text) {
         const std::size_t x = text.find('x');
         if (x == std::string_view::npos) return false;
         const auto width = parseNumber<std::uint32_t>(text.substr(0, x));
         const auto height = parseNumber<std::uint32_t>(text.substr(x + 1));
         // Multiples of 16 up to 2032: RFC 2435 carries the sides in units of 8 in one byte.
         const auto fits = [](std::optional<std::uint32_t> side) {
           return side && *side >= 16 && *side <= 2032 && *side % 16 == 0;
         };
         if (!fits(width) || !fits(height)) return false;
         o.rtspWidth = *width;
         o.rtspHeight = *height;
         return true;
       }},
      {"--rtsp-audio", choiceInto<bool>(&Options::rtspAudio, {{"on", true}, {"off", false}})},
      {"--rtsp-parameter-sets", choiceInto<bool>(&Options::rtspInBandParameterSets, {{"sdp", false}, {"in-band", true}})},
      {"--rtsp-motion", everyNthInto(&Options::rtspMotionEvery)},
      {"--rtsp-path", textInto(&Options::rtspMpeg4Path)},
      {"--rtsp-h264-path", textInto(&Options::rtspH264Path)},
      {"--rtsp-mjpeg-path", textInto(&Options::rtspMjpegPath)},
      {"--size",
       [](Options& o, std::string_view text) {
         const std::size_t x = text.find('x');
         if (x == std::string_view::npos) return false;
         const auto width = parseNumber<std::uint32_t>(text.substr(0, x));
         const auto height = parseNumber<std::uint32_t>(text.substr(x + 1));
         const auto fits = [](std::optional<std::uint32_t> side) {
           return side && *side >= 1 && *side <= kMaxPictureSide;
         };
         if (!fits(width) || !fits(height)) return false;
         o.pictureWidth = *width;
         o.pictureHeight = *height;
         return true;
       }},
      {"--fps",
       [](Options& o, std::string_view text) {
         const auto fps = parseNumber<std::uint32_t>(text);
         if (!fps || *fps < 1 || *fps > 1000) return false;
         o.framesPerSecond = *fps;
         return true;
       }},
      {"--motion", everyNthInto(&Options::motionEvery)},
      {"--stamp-send-time", choiceInto<bool>(&Options::stampSendTime, {{"on", true}, {"off", false}})},
      {"--stream-chunked", choiceInto<bool>(&Options::streamChunked, {{"on", true}, {"off", false}})},
      {"--stream-lengths", choiceInto<bool>(&Options::streamWithoutLength, {{"off", true}, {"on", false}})},
      {"--busy", choiceInto<StreamBusy>(&Options::streamBusy, {{"none", StreamBusy::None}, {"too-many-users", StreamBusy::TooManyUsers}, {"not-acceptable", StreamBusy::NotAcceptable}})},
      {"--stream-fault", choiceInto<StreamFault>(&Options::streamFault, {{"none", StreamFault::None}, {"random-header", StreamFault::RandomHeader}, {"truncated-header", StreamFault::TruncatedHeader}, {"long-header", StreamFault::LongHeader}, {"zero-length", StreamFault::ZeroLength}, {"huge-length", StreamFault::HugeLength}, {"stall", StreamFault::Stall}, {"close", StreamFault::Close}, {"corrupt-jpeg", StreamFault::CorruptJpeg}})},
      {"--stream-fault-every",
       [](Options& o, std::string_view text) {
         const auto every = parseNumber<std::uint32_t>(text);
         if (!every || *every < 1) return false;
         o.streamFaultEvery = *every;
         return true;
       }},
      {"--tone",
       [](Options& o, std::string_view text) {
         const auto hertz = parseNumber<std::uint32_t>(text);
         if (!hertz || *hertz >= 4000) return false;  // below half the 8 kHz sample rate
         o.toneHertz = *hertz;
         return true;
       }},
      {"--delay",
       [](Options& o, std::string_view text) {
         const auto ms = parseNumber<std::uint32_t>(text);
         if (ms) {
           o.fault = Fault::Delay;
           o.faultDelay = std::chrono::milliseconds(*ms);
         }
         return ms.has_value();
       }},
      {"--garbage", choiceInto<Garbage>(&Options::garbage, {{"none", Garbage::None}, {"oversized", Garbage::Oversized}, {"truncated", Garbage::Truncated}, {"non-digits", Garbage::NonDigits}, {"malformed-xml", Garbage::MalformedXml}, {"enormous-xml", Garbage::EnormousXml}})},
      {"--garbage-bytes", numberInto(&Options::garbageBytes)},
      {"--av-server", choiceInto<bool>(&Options::avServer, {{"on", true}, {"off", false}})},
      {"--av-login", choiceInto<bool>(&Options::avAdmin, {{"admin", true}, {"user", false}})},
      {"--av-audio", choiceInto<bool>(&Options::avAudio, {{"on", true}, {"off", false}})},
      {"--discovery", choiceInto<bool>(&Options::discovery, {{"on", true}, {"off", false}})},
      {"--discovery-port",
       [](Options& o, std::string_view text) {
         const auto port = parseNumber<std::uint16_t>(text);
         if (!port || *port == 0) return false;
         o.discoveryAnswer.port = *port;
         return true;
       }},
      {"--mac",
       [](Options& o, std::string_view text) {
         // Six two-digit hex bytes separated by ':' or '-'.
         std::array<std::uint8_t, 6> mac{};
         if (text.size() != 17) return false;
         for (std::size_t i = 0; i < mac.size(); ++i) {
           const std::string_view digits = text.substr(i * 3, 2);
           const auto [end, error] =
               std::from_chars(digits.data(), digits.data() + digits.size(), mac[i], 16);
           if (error != std::errc() || end != digits.data() + digits.size()) return false;
           if (i + 1 < mac.size() && text[i * 3 + 2] != ':' && text[i * 3 + 2] != '-')
             return false;
         }
         o.discoveryAnswer.mac = mac;
         return true;
       }},
      {"--discovery-name",
       [](Options& o, std::string_view text) {
         if (text.size() > 32) return false;
         o.discoveryAnswer.name = std::string(text);
         return true;
       }},
      {"--discovery-model",
       [](Options& o, std::string_view text) {
         const auto code = parseNumber<std::uint8_t>(text);
         if (code) {
           o.discoveryAnswer.modelCode = *code;
           o.discoveryModelGiven = true;
         }
         return code.has_value();
       }},
      {"--discovery-vendor",
       [](Options& o, std::string_view text) {
         const auto vendor = parseNumber<std::uint8_t>(text);
         if (vendor) o.discoveryAnswer.vendor = *vendor;
         return vendor.has_value();
       }},
      {"--poe",
       [](Options& o, std::string_view text) {
         const auto poe = parseNumber<std::uint8_t>(text);
         if (poe) o.discoveryAnswer.poe = *poe;
         return poe.has_value();
       }},
      {"--compressed",
       [](Options& o, std::string_view text) {
         const auto compressed = parseChoice<bool>(text, {{"on", true}, {"off", false}});
         if (compressed) o.discoveryAnswer.compressed = *compressed;
         return compressed.has_value();
       }},
  };
  return options;
}

}  // namespace

CommandLine parseCommandLine(std::span<const std::string_view> arguments) {
  CommandLine result;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string_view name = arguments[i];
    std::optional<std::string_view> value;
    if (const std::size_t equals = name.find('='); equals != std::string_view::npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    if (name == "--help" || name == "-h") {
      result.help = true;
      continue;
    }
    if (name == "--no-answer" || name == "--unauthorized-page") {
      if (value) {
        result.error = std::string(name) + " takes no value";
        return result;
      }
      result.options.fault = name == "--no-answer" ? Fault::NoAnswer : Fault::Unauthorized;
      continue;
    }
    const auto setter = valueOptions().find(name);
    if (setter == valueOptions().end()) {
      result.error = "unknown option " + std::string(name);
      return result;
    }
    if (!value) {
      if (i + 1 >= arguments.size()) {
        result.error = std::string(name) + " needs a value";
        return result;
      }
      value = arguments[++i];
    }
    if (!setter->second(result.options, *value)) {
      result.error = "bad value for " + std::string(name) + ": " + std::string(*value);
      return result;
    }
  }
  return result;
}

std::string usageText() {
  return R"(Usage: camsim [options]
A simulated IP camera on 127.0.0.1, for the viewer's demo and tests. Stops on Ctrl+C.
Serves the parameter pages, /snapshot.cgi (a Motion JPEG picture stream of a moving test
pattern) and /camera-cgi/audio/receive.cgi (33-byte GSM 06.10 frames of a tone, 50 a second).
Each open picture stream counts as a current user. RTSP on its own port: the same pattern as
MPEG-4, H.264 or JPEG (one path each) with an A-law tone, RTP interleaved on the connection.

  --port N                  TCP port (default 0: any free port, printed at start)
  --model N                 model identifier (default 20)
  --vendor N                vendor identifier (default 1)
  --firmware TEXT           firmware version text (default V1.0.0)
  --firmware-form FORM      list | wrong-order (ModelID before Version) | xml-only
  --xml-order ORDER         normal | reversed: element order of the anonymous XML page
  --user NAME               user name (default admin)
  --password TEXT           password (default admin)
  --realm TEXT              authentication realm (default "IP Camera")
  --auth MODE               none | basic | digest | digest-qop (default none)
  --video-port N            private video port (default 4321)
  --legacy-server on|off    the oldest generation's picture service (120-byte commands) on a
                            port of its own, announced as the private video port; give a
                            model outside the CGI families (e.g. --model 5) so that the
                            viewer uses it (default off)
  --max-users N             maximum number of users (default 10)
  --current-users N         users besides the open picture streams (default 0)
  --rtsp-form FORM          list (group Network.RTSP) | xml (group RTSP)
  --rtsp-enable 0|1         RTSP enabled flag (default 1)
  --rtsp-port N             RTSP port (default 0: any free port, printed at start)
  --rtsp-serve on|off       listen for RTSP at all (default on; off: the pages still announce
                            --rtsp-port)
  --rtsp-size WxH           RTSP video size, multiples of 16 up to 2032 (default 320x240)
  --rtsp-audio on|off       an A-law track with the RTSP video (default on)
  --rtsp-parameter-sets sdp|in-band
                            H.264 SPS and PPS in the SDP only (default), or also in band:
                            SPS, PPS and an SEI as packets of their own before every IDR
  --rtsp-motion off|on|N    motion mark in the RTP padding of no frame, every frame, or every
                            Nth frame
  --rtsp-path P             MPEG-4 stream path (default mpeg4.sdp)
  --rtsp-h264-path P        H.264 stream path (default h264.sdp)
  --rtsp-mjpeg-path P       Motion JPEG stream path (default mjpeg.sdp)
  --size WxH                picture size of /snapshot.cgi (default 640x480; 1 to 8192 each)
  --fps N                   pictures per second, 1 to 1000 (default 10), RTSP video too
  --motion off|on|N         "Motion-Event: 1" in no part, every part, or every Nth part
  --stream-chunked on|off   the picture stream in chunks of 1000 bytes (default off)
  --stream-lengths on|off   "Content-Length" in every picture part (default on); off: parts
                            are read up to the next boundary
  --stamp-send-time on|off  a JPEG comment "camsim-sent-us=N" in every picture: the moment it
                            was sent, in microseconds of CLOCK_MONOTONIC (default off)
  --busy MODE               how the picture stream turns viewers away: none (only once
                            max-users streams are open) | too-many-users (a part header with
                            "X-CurrentUsers: Too many users") | not-acceptable (406,
                            to RTSP DESCRIBE as well)
  --stream-fault KIND       every Nth part of the picture stream is broken: none |
                            random-header | truncated-header (then closes) | long-header
                            (over 1024 bytes) | zero-length | huge-length (1000001) |
                            stall (half a picture, then silence) | close (half a picture,
                            then closes) | corrupt-jpeg
  --stream-fault-every N    which parts are broken (default 3: the 3rd, 6th, ...)
  --tone HZ                 sine of the GSM and A-law audio, 0 for silence (default 1000)
  --delay MS                answer every request MS milliseconds late
  --no-answer               read requests but never answer them
  --unauthorized-page       answer every request with the camera's 401 page
  --garbage KIND            none | oversized | truncated | non-digits | malformed-xml |
                            enormous-xml
  --garbage-bytes N         size of the oversized page and the enormous XML (default 5 MiB)
  --av-server on|off        the MPEG-4 camera server (default off; use --model 11 to 18): a
                            control port, announced as the private video port, and the data
                            port above it that pushes MPEG-4 video at --size and --fps with the
                            --motion marks; --stream-fault huge-length makes every Nth of its
                            frames a header announcing 1966081 bytes with nothing behind it
  --av-login admin|user     logins with --user and --password are answered as an
                            administrator's (default) or a plain user's
  --av-audio on|off         A-law tone frames on the data port (default on)
  --discovery on|off        answer the viewer's LAN search (default off) on the loopback
                            broadcast address 127.255.255.255; answers go back to the asking
                            socket, and only on this machine
  --discovery-port N        UDP port of the search (default: IPCAM_DISCOVERY_PORT, else 13364)
  --mac XX:XX:XX:XX:XX:XX   the MAC address the answers carry (default 00:1C:63:00:00:01)
  --discovery-name TEXT     camera name in the answer, at most 32 characters (default camsim)
  --discovery-model N       model code in the answer, 0 to 255 (default: --model)
  --discovery-vendor N      vendor index in the answer (default 0, the maker)
  --poe N                   PoE variant in the answer: 0 plain, 1 PoE, 2 as it is (default 0)
  --compressed on|off       answers as zlib streams behind the AC ED marker (default off)
  --help                    this text
)";
}

}  // namespace ipcam::camsim
