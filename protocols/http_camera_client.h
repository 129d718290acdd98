#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "protocols/client_io.h"
#include "protocols/http_auth.h"
#include "protocols/http_stream_reader.h"

namespace ipcam {

namespace platform {
class XmlHttpRequest;
}
struct StreamContext;

// The camera connection of one worker: the three socket channels and the request object of
// the document fetch. Owned by one thread; no lock is taken inside.
class CameraHttpClient {
 public:
  static constexpr int kSocketChannels = 3;

  CameraHttpClient();
  ~CameraHttpClient();
  CameraHttpClient(const CameraHttpClient&) = delete;
  CameraHttpClient& operator=(const CameraHttpClient&) = delete;

  // Optional: the run flag of the thread that owns the client (it must outlive the client).
  void setRunFlag(const HttpRunFlag* runFlag) { runFlag_ = runFlag; }
  const HttpRunFlag* runFlag() const { return runFlag_; }

  // Closes channels 0, 1 and 2 and releases the request object; safe to call twice.
  void closeAll();
  void closeChannel(int channel);

  std::array<std::uint8_t, kSocketChannels> connected{};  // 1 after a good Open
  std::array<TcpSocket, kSocketChannels> sockets;
  // What each socket channel has received and not yet used, and how its answer is coded.
  std::array<HttpStreamReader, kSocketChannels> readers;
  // The boundary of each channel's multipart answer, when it declared one.
  std::array<std::optional<MultipartBoundary>, kSocketChannels> boundaries;
  std::unique_ptr<platform::XmlHttpRequest> xmlRequest;  // channel 3, made on first use

 private:
  const HttpRunFlag* runFlag_ = nullptr;
};

// What a caller asks of the client and what the client answers. The texts are cut to
// kHttpTextLimit characters when they are used.
struct CameraHttpRequest {
  enum Command : std::uint8_t { kQuery = 0, kClose = 1, kOpen = 2, kTransfer = 3 };
  enum Channel : std::uint8_t {
    kVideo = 0,
    kAudioReceive = 1,
    kAudioTransmit = 2,
    kDocument = 3,
  };

  std::uint8_t command = kQuery;
  std::uint8_t channel = kVideo;
  std::uint8_t connected = 0;   // client: the channel's flag after Query, Close and Open
  std::uint32_t elapsedMs = 0;  // client: how long the call took
  std::string user;
  std::string password;
  std::string host;  // host name or dotted address
  std::uint16_t port = 0;
  std::uint32_t timeoutMs = 10000;  // socket send/receive time-out, and the document fetch's
  std::int32_t httpStatus = 0;      // client: 0, or 401, 404, 406
  // Audio to send (channel 2), or the document path (channel 3, up to its first NUL).
  std::span<const std::uint8_t> sendData;
  std::span<std::uint8_t> receiveBuffer;  // its size is the receive capacity
  std::uint32_t receivedLength = 0;       // client: bytes stored by the last Transfer
  std::uint8_t motionEvent = 0;           // client: the last picture's "Motion-Event: 1"
};

inline constexpr std::size_t kHttpTextLimit = 127;
// The time-out the workers and the document fetch use.
inline constexpr std::uint32_t kHttpTimeoutMs = 10000;
// One audio block of the camera's HTTP audio streams.
inline constexpr std::size_t kAudioBlockBytes = 33;

// Performs the request's command on its channel and sets elapsedMs. A null request is
// close-all, called when a worker ends. Results:
//   0        success (commands 4..255 do nothing and give 0 as well)
//   -2       channel out of range (above 3 for Transfer, above 2 for the others)
//   Open     -1001..-1004 the ConnectTcp codes; -1011..-1017 the ExchangeHttp codes, with
//            httpStatus 401 (second challenge), 404 or 406; the socket is closed again. The
//            whole Open has timeoutMs: a connect or answer that runs past it gives -1004/-1015
//   Transfer -2001 not connected; pictures: -2011 no socket, -2014/-2015 peer closed/receive
//            error in the part header (also when the header takes longer than timeoutMs in
//            all), -2016 header over 1024 bytes, -2017 no Content-Length line and no
//            boundary to read up to (header names are matched without regard to case),
//            -2018 a malformed chunk of a chunked answer,
//            -2020 too many users (httpStatus 406) or a length below 1 or above the buffer
//            (also a part without a length that does not fit),
//            -2021/-2024/-2025 in the picture data; audio receive -2030..-2035 (-2038 a
//            malformed chunk), transmit
//            -2040..-2043; document fetch -2050..-2057 (object, open, header, send, no answer
//            in time or none at all, too long, -, exception)
int RunHttpRequest(CameraHttpRequest* request, CameraHttpClient& client);

// Where a document fetch goes, and with which credentials.
struct DocumentTarget {
  std::string host;
  std::uint16_t port = 0;
  std::string user;
  std::string password;
};

// GET of http://host:port/<path> with a fresh client; the text in `response`. The result of a
// document Transfer: 0, or -2050..-2057. An answer longer than `capacity` fails the fetch.
int FetchDocument(const DocumentTarget& target, std::string_view path, int timeoutMs,
                  std::string& response, std::size_t capacity = 1024,
                  const HttpRunFlag* runFlag = nullptr);
// The same with the stream context's credentials and the workers' 10 s time-out.
int FetchDocument(const StreamContext& context, std::string_view path, std::string& response,
                  std::size_t capacity = 1024, const HttpRunFlag* runFlag = nullptr);

}  // namespace ipcam
