#include "platform/xml_http_request.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <system_error>

#include "platform/text_encoding.h"
#include "platform/thread_name.h"

namespace ipcam::platform {
namespace {

void initialiseCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string lowerCase(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && lowerCase(text.substr(0, prefix.size())) == prefix;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  return text;
}

// RFC 9110 token: what a method or a header name may be made of.
bool isToken(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
  });
}

// Header values may hold tabs but no other control character: a CR or LF would let a caller's
// text start a header line of its own.
bool isHeaderValue(std::string_view text) {
  return std::none_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && c != '\t') || byte == 0x7f;
  });
}

std::string charsetOf(std::string_view contentType) {
  const std::string lower = lowerCase(contentType);
  const std::size_t at = lower.find("charset=");
  if (at == std::string::npos) return {};
  std::string_view value = std::string_view(lower).substr(at + 8);
  value = value.substr(0, value.find(';'));
  value = trim(value);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    value = value.substr(1, value.size() - 2);
  return std::string(value);
}

// Windows-1252 differs from Latin-1 only in 0x80..0x9F.
constexpr std::array<char16_t, 32> kWindows1252High = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

std::string singleByteToUtf8(std::string_view bytes, bool windows1252) {
  std::u16string wide;
  wide.reserve(bytes.size());
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    wide.push_back(windows1252 && byte >= 0x80 && byte < 0xA0 ? kWindows1252High[byte - 0x80]
                                                              : static_cast<char16_t>(byte));
  }
  return utf16ToUtf8(wide);
}

// The text of an answer as callers read it from responseText: a byte-order mark wins, then
// the declared charset, and UTF-8 is the default.
std::string decodeBody(std::string_view bytes, std::string_view contentType) {
  if (bytes.starts_with("\xEF\xBB\xBF")) return sanitizeUtf8(bytes.substr(3));
  if (bytes.starts_with("\xFF\xFE")) return utf16ToUtf8(decodeUtf16(bytes.substr(2), false));
  if (bytes.starts_with("\xFE\xFF")) return utf16ToUtf8(decodeUtf16(bytes.substr(2), true));
  const std::string charset = charsetOf(contentType);
  if (charset == "iso-8859-1" || charset == "latin1" || charset == "iso8859-1")
    return singleByteToUtf8(bytes, false);
  if (charset == "windows-1252" || charset == "cp1252") return singleByteToUtf8(bytes, true);
  if (charset == "utf-16le" || charset == "utf-16") return utf16ToUtf8(decodeUtf16(bytes, false));
  if (charset == "utf-16be") return utf16ToUtf8(decodeUtf16(bytes, true));
  return sanitizeUtf8(bytes);
}

XmlHttpResult resultOf(CURLcode code, bool tooLarge) {
  switch (code) {
    case CURLE_OK:
      return XmlHttpResult::Ok;
    case CURLE_FILESIZE_EXCEEDED:
      return XmlHttpResult::TooLarge;
    case CURLE_WRITE_ERROR:
      return tooLarge ? XmlHttpResult::TooLarge : XmlHttpResult::TransferFailed;
    case CURLE_OPERATION_TIMEDOUT:
      return XmlHttpResult::TimedOut;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return XmlHttpResult::ResolveFailed;
    case CURLE_COULDNT_CONNECT:
      return XmlHttpResult::ConnectFailed;
    case CURLE_OUT_OF_MEMORY:
      return XmlHttpResult::OutOfResources;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return XmlHttpResult::InvalidArgument;
    default:
      return XmlHttpResult::TransferFailed;
  }
}

}  // namespace

std::string_view describe(XmlHttpResult result) {
  switch (result) {
    case XmlHttpResult::Ok:
      return "ok";
    case XmlHttpResult::InvalidState:
      return "call out of order";
    case XmlHttpResult::InvalidArgument:
      return "invalid method, URL or header";
    case XmlHttpResult::OutOfResources:
      return "out of resources";
    case XmlHttpResult::ResolveFailed:
      return "host name not resolved";
    case XmlHttpResult::ConnectFailed:
      return "connection failed";
    case XmlHttpResult::TimedOut:
      return "timed out";
    case XmlHttpResult::TooLarge:
      return "answer too large";
    case XmlHttpResult::TransferFailed:
      return "transfer failed";
    case XmlHttpResult::Aborted:
      return "aborted";
  }
  return "unknown";
}

// One transfer: the libcurl handles and what arrived. Everything but abortRequested belongs to
// the transfer thread while it runs.
struct XmlHttpRequest::Transfer {
  explicit Transfer(XmlHttpRequest& request, std::size_t cap) : owner(request), maxBytes(cap) {}
  ~Transfer() {
    if (multi != nullptr && easy != nullptr) curl_multi_remove_handle(multi, easy);
    if (easy != nullptr) curl_easy_cleanup(easy);
    if (multi != nullptr) curl_multi_cleanup(multi);
    curl_slist_free_all(headerList);
  }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  XmlHttpRequest& owner;
  const std::size_t maxBytes;
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  curl_slist* headerList = nullptr;
  std::atomic<bool> abortRequested{false};  // set by abort(), read by the transfer thread

  std::string received;
  std::string contentType;
  bool tooLarge = false;

  static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self);
  static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self);
};

std::size_t XmlHttpRequest::Transfer::onHeader(char* data, std::size_t size, std::size_t count,
                                               void* self) {
  auto& transfer = *static_cast<Transfer*>(self);
  const std::string_view line(data, size * count);
  if (line.starts_with("HTTP/")) {
    // A new answer (after a redirect or an authentication round): forget the earlier one.
    transfer.received.clear();
    transfer.contentType.clear();
  } else if (startsWithNoCase(line, "content-type:")) {
    transfer.contentType = trim(line.substr(13));
  } else if (trim(line).empty() && transfer.owner.readyState_.load() < kHeadersReceived) {
    transfer.owner.readyState_.store(kHeadersReceived);
  }
  return size * count;
}

std::size_t XmlHttpRequest::Transfer::onBody(char* data, std::size_t size, std::size_t count,
                                             void* self) {
  auto& transfer = *static_cast<Transfer*>(self);
  const std::size_t bytes = size * count;
  if (transfer.abortRequested.load()) return 0;
  if (bytes > transfer.maxBytes - transfer.received.size()) {
    transfer.tooLarge = true;
    return 0;  // anything but `bytes` ends the transfer with a write error
  }
  transfer.received.append(data, bytes);
  if (transfer.owner.readyState_.load() < kReceiving) transfer.owner.readyState_.store(kReceiving);
  return bytes;
}

XmlHttpRequest::XmlHttpRequest() {
  initialiseCurlOnce();
}

XmlHttpRequest::~XmlHttpRequest() {
  abort();
}

void XmlHttpRequest::setTimeouts(std::chrono::milliseconds connect,
                                 std::chrono::milliseconds transfer) {
  std::lock_guard lock(controlMutex_);
  connectTimeout_ = connect;
  transferTimeout_ = transfer;
}

void XmlHttpRequest::setMaxResponseBytes(std::size_t bytes) {
  std::lock_guard lock(controlMutex_);
  maxResponseBytes_ = bytes;
}

XmlHttpResult XmlHttpRequest::open(std::string_view method, std::string_view url, bool async,
                                   std::string_view user, std::string_view password) {
  std::lock_guard lock(controlMutex_);
  stopTransfer();
  {
    std::lock_guard resultLock(resultMutex_);
    status_ = 0;
    responseText_.clear();
    result_ = XmlHttpResult::Ok;
  }
  readyState_.store(kUninitialized);
  if (!isToken(method)) return XmlHttpResult::InvalidArgument;

  // Parsed here so that a bad URL fails open() with its own code, not the send.
  CURLU* parsed = curl_url();
  if (parsed == nullptr) return XmlHttpResult::OutOfResources;
  const std::string urlText(url);
  char* scheme = nullptr;
  char* host = nullptr;
  const bool valid = curl_url_set(parsed, CURLUPART_URL, urlText.c_str(), 0) == CURLUE_OK &&
                     curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
                     curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
                     (lowerCase(scheme) == "http" || lowerCase(scheme) == "https") && *host != '\0';
  curl_free(scheme);
  curl_free(host);
  curl_url_cleanup(parsed);
  if (!valid) return XmlHttpResult::InvalidArgument;

  const std::string upper = lowerCase(method) == "get"    ? "GET"
                            : lowerCase(method) == "head" ? "HEAD"
                            : lowerCase(method) == "post" ? "POST"
                                                          : std::string(method);
  method_ = upper;
  url_ = urlText;
  user_ = user;
  password_ = password;
  async_ = async;
  headers_.clear();
  readyState_.store(kOpened);
  return XmlHttpResult::Ok;
}

XmlHttpResult XmlHttpRequest::setRequestHeader(std::string_view name, std::string_view value) {
  std::lock_guard lock(controlMutex_);
  if (readyState_.load() != kOpened || transfer_) return XmlHttpResult::InvalidState;
  if (!isToken(name) || !isHeaderValue(value)) return XmlHttpResult::InvalidArgument;
  // libcurl drops a header written "Name:" with nothing after it; "Name;" sends it empty.
  headers_.push_back(value.empty() ? std::string(name) + ";"
                                   : std::string(name) + ": " + std::string(value));
  return XmlHttpResult::Ok;
}

XmlHttpResult XmlHttpRequest::send(std::string_view body) {
  std::unique_lock lock(controlMutex_);
  if (readyState_.load() != kOpened || transfer_) return XmlHttpResult::InvalidState;

  auto transfer = std::make_unique<Transfer>(*this, maxResponseBytes_);
  transfer->easy = curl_easy_init();
  transfer->multi = curl_multi_init();
  if (transfer->easy == nullptr || transfer->multi == nullptr) return XmlHttpResult::OutOfResources;
  for (const std::string& header : headers_) {
    curl_slist* extended = curl_slist_append(transfer->headerList, header.c_str());
    if (extended == nullptr) return XmlHttpResult::OutOfResources;
    transfer->headerList = extended;
  }

  CURL* easy = transfer->easy;
  bool ok = true;
  const auto set = [&ok](CURLcode code) { ok = ok && code == CURLE_OK; };
  set(curl_easy_setopt(easy, CURLOPT_URL, url_.c_str()));
  set(curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L));
  set(curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https"));
  set(curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
  set(curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L));
  set(curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L));
  // Cameras sit on the local network; a proxy from the environment would only get in the way.
  set(curl_easy_setopt(easy, CURLOPT_PROXY, ""));
  set(curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1));
  set(curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                       static_cast<long>(connectTimeout_.count())));
  set(curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(transferTimeout_.count())));
  set(curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                       static_cast<curl_off_t>(transfer->maxBytes)));
  set(curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader));
  set(curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer.get()));
  set(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody));
  set(curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get()));
  set(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headerList));
  if (!user_.empty()) {
    set(curl_easy_setopt(easy, CURLOPT_USERNAME, user_.c_str()));
    set(curl_easy_setopt(easy, CURLOPT_PASSWORD, password_.c_str()));
    set(curl_easy_setopt(easy, CURLOPT_HTTPAUTH, CURLAUTH_BASIC | CURLAUTH_DIGEST));
  }
  if (method_ == "GET") {
    set(curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L));
  } else if (method_ == "HEAD") {
    set(curl_easy_setopt(easy, CURLOPT_NOBODY, 1L));
  } else {
    if (method_ != "POST") set(curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method_.c_str()));
    if (method_ == "POST" || !body.empty()) {
      set(curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                           static_cast<curl_off_t>(body.size())));
      set(curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, body.data()));
    }
  }
  if (!ok) return XmlHttpResult::InvalidArgument;
  if (curl_multi_add_handle(transfer->multi, easy) != CURLM_OK)
    return XmlHttpResult::OutOfResources;

  std::uint64_t finishedBefore = 0;
  {
    std::lock_guard resultLock(resultMutex_);
    finishedBefore = finishedTransfers_;
  }
  Transfer& running = *transfer;
  transfer_ = std::move(transfer);
  try {
    thread_ = std::thread([this, &running] {
      nameThisThread("http request");
      run(running);
    });
  } catch (const std::system_error&) {
    transfer_.reset();
    return XmlHttpResult::OutOfResources;
  }
  if (async_) return XmlHttpResult::Ok;

  // Synchronous: wait without the control lock, so that abort() from another thread gets in.
  lock.unlock();
  std::unique_lock resultLock(resultMutex_);
  completed_.wait(resultLock, [&] { return finishedTransfers_ != finishedBefore; });
  return result_;
}

void XmlHttpRequest::run(Transfer& transfer) {
  XmlHttpResult outcome = XmlHttpResult::Ok;
  for (;;) {
    if (transfer.abortRequested.load()) {
      outcome = XmlHttpResult::Aborted;
      break;
    }
    int running = 0;
    if (curl_multi_perform(transfer.multi, &running) != CURLM_OK) {
      outcome = XmlHttpResult::TransferFailed;
      break;
    }
    if (running == 0) {
      int left = 0;
      const CURLMsg* message = curl_multi_info_read(transfer.multi, &left);
      outcome = message != nullptr && message->msg == CURLMSG_DONE
                    ? resultOf(message->data.result, transfer.tooLarge)
                    : XmlHttpResult::TransferFailed;
      break;
    }
    // abort() interrupts this wait with curl_multi_wakeup.
    if (curl_multi_poll(transfer.multi, nullptr, 0, 1000, nullptr) != CURLM_OK) {
      outcome = XmlHttpResult::TransferFailed;
      break;
    }
  }
  long status = 0;
  curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
  std::string text =
      outcome == XmlHttpResult::Ok ? decodeBody(transfer.received, transfer.contentType) : "";
  finish(outcome, static_cast<int>(status), std::move(text));
}

void XmlHttpRequest::finish(XmlHttpResult result, int status, std::string text) {
  {
    std::lock_guard lock(resultMutex_);
    result_ = result;
    status_ = status;
    responseText_ = std::move(text);
    ++finishedTransfers_;
    readyState_.store(kCompleted);
  }
  completed_.notify_all();
}

void XmlHttpRequest::stopTransfer() {
  if (!thread_.joinable()) return;
  transfer_->abortRequested.store(true);
  curl_multi_wakeup(transfer_->multi);
  thread_.join();
  transfer_.reset();
}

void XmlHttpRequest::abort() {
  std::lock_guard lock(controlMutex_);
  const bool wasRunning = thread_.joinable() && readyState_.load() != kCompleted;
  stopTransfer();
  {
    std::lock_guard resultLock(resultMutex_);
    status_ = 0;
    responseText_.clear();
    result_ = wasRunning ? XmlHttpResult::Aborted : XmlHttpResult::Ok;
    readyState_.store(kUninitialized);
  }
  completed_.notify_all();
}

int XmlHttpRequest::status() const {
  std::lock_guard lock(resultMutex_);
  return status_;
}

std::string XmlHttpRequest::responseText() const {
  std::lock_guard lock(resultMutex_);
  return responseText_;
}

XmlHttpResult XmlHttpRequest::result() const {
  std::lock_guard lock(resultMutex_);
  return result_;
}

bool XmlHttpRequest::waitForCompletion(std::chrono::milliseconds limit) const {
  std::unique_lock lock(resultMutex_);
  return completed_.wait_for(lock, limit, [this] { return readyState_.load() == kCompleted; });
}

WaitOutcome waitForCompletion(const XmlHttpRequest& request, std::chrono::milliseconds timeout,
                              const RunFlag* runFlag) {
  if (runFlag == nullptr) {
    return request.waitForCompletion(timeout) ? WaitOutcome::Completed : WaitOutcome::TimedOut;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (runFlag->load() == 0) return WaitOutcome::Stopped;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (request.waitForCompletion(
            std::clamp(left, std::chrono::milliseconds(0), std::chrono::milliseconds(1))))
      return WaitOutcome::Completed;
    if (left.count() <= 0) return WaitOutcome::TimedOut;
  }
}

}  // namespace ipcam::platform
