#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/run_flag.h"

namespace ipcam::platform {

// What a step of a request, or the whole transfer, came to.
enum class XmlHttpResult {
  Ok = 0,
  InvalidState,     // a call out of order: send() before open(), a header after send()
  InvalidArgument,  // a method, URL, header name or value that cannot go on the wire
  OutOfResources,   // no transfer handle or no thread could be had
  ResolveFailed,    // the host name did not resolve
  ConnectFailed,    // no connection to the host
  TimedOut,         // the transfer's own time-out ran out
  TooLarge,         // the answer is longer than the size cap
  TransferFailed,   // the connection broke or the answer was not HTTP
  Aborted,          // abort() cut the transfer
};

std::string_view describe(XmlHttpResult result);

// An HTTP request object with the steps of the platform XML HTTP request the camera queries
// were written for: open, setRequestHeader, send, poll readyState, read status and
// responseText, abort. Basic and Digest authentication are negotiated with the user and
// password given to open().
//
// The transfer runs on a thread of its own. A transfer that fails still ends in ready state 4,
// with result() telling why and an empty responseText(): a partial answer never looks whole.
//
// Thread use: one owner thread drives the request; readyState(), status(), result(),
// responseText() and abort() may be called from any thread.
class XmlHttpRequest {
 public:
  enum ReadyState : int {
    kUninitialized = 0,  // new, or after abort()
    kOpened = 1,         // open() succeeded; send() may follow
    kHeadersReceived = 2,
    kReceiving = 3,
    kCompleted = 4,  // the transfer ended, well or not
  };

  static constexpr std::size_t kDefaultMaxResponseBytes = 4 * 1024 * 1024;
  static constexpr std::chrono::milliseconds kDefaultConnectTimeout{10000};
  static constexpr std::chrono::milliseconds kDefaultTransferTimeout{60000};

  XmlHttpRequest();
  // Aborts a running transfer and waits for its thread.
  ~XmlHttpRequest();
  XmlHttpRequest(const XmlHttpRequest&) = delete;
  XmlHttpRequest& operator=(const XmlHttpRequest&) = delete;

  // Limits for the next send(). A zero time-out means none.
  void setTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds transfer);
  void setMaxResponseBytes(std::size_t bytes);

  // Starts a new request; a transfer still running is aborted first. Only http and https
  // URLs are accepted. With an empty user no credentials are offered.
  XmlHttpResult open(std::string_view method, std::string_view url, bool async = true,
                     std::string_view user = {}, std::string_view password = {});
  // Between open() and send(). A second header of the same name is sent as well.
  XmlHttpResult setRequestHeader(std::string_view name, std::string_view value);
  // Starts the transfer. Asynchronous requests return at once (Ok: the transfer runs);
  // synchronous ones return when it has ended, with its result.
  XmlHttpResult send(std::string_view body = {});
  // Stops the transfer (if one runs), waits for its thread and returns to ready state 0.
  // Safe from any thread and safe to call twice.
  void abort();

  int readyState() const { return readyState_.load(); }
  // The HTTP status of the final answer; 0 before one arrived or when the transfer failed
  // without one.
  int status() const;
  // The answer body decoded to UTF-8 (from its byte-order mark, else the charset of its
  // Content-Type, else taken as UTF-8); empty unless the transfer ended with Ok.
  std::string responseText() const;
  // Ok while nothing failed; the transfer's outcome once readyState() is 4.
  XmlHttpResult result() const;

  // Waits up to `limit` for ready state 4; true when it was reached.
  bool waitForCompletion(std::chrono::milliseconds limit) const;

 private:
  struct Transfer;

  void run(Transfer& transfer);
  void finish(XmlHttpResult result, int status, std::string text);
  void stopTransfer();

  // Serialises open, setRequestHeader, send and abort. The transfer thread never takes it.
  std::mutex controlMutex_;
  // The request being prepared, guarded by controlMutex_.
  std::string method_;
  std::string url_;
  std::string user_;
  std::string password_;
  bool async_ = true;
  std::vector<std::string> headers_;
  std::chrono::milliseconds connectTimeout_ = kDefaultConnectTimeout;
  std::chrono::milliseconds transferTimeout_ = kDefaultTransferTimeout;
  std::size_t maxResponseBytes_ = kDefaultMaxResponseBytes;
  // Created by send() before the thread starts, freed after it was joined; guarded by
  // controlMutex_. The thread uses it without the lock while it runs.
  std::unique_ptr<Transfer> transfer_;
  std::thread thread_;  // guarded by controlMutex_

  std::atomic<int> readyState_{kUninitialized};

  // The outcome, written by the transfer thread when it ends (and by abort), guarded by
  // resultMutex_; completed_ wakes waitForCompletion().
  mutable std::mutex resultMutex_;
  mutable std::condition_variable completed_;
  int status_ = 0;
  std::string responseText_;
  XmlHttpResult result_ = XmlHttpResult::Ok;
  std::uint64_t finishedTransfers_ = 0;  // lets a synchronous send() tell its own end
};

// How waitForCompletion() of a caller with a time-out and a run flag ended.
enum class WaitOutcome { Completed, TimedOut, Stopped };

// Waits until the request completes, `timeout` passes, or `runFlag` (when given) drops to 0;
// a dropped flag is noticed within a millisecond.
WaitOutcome waitForCompletion(const XmlHttpRequest& request, std::chrono::milliseconds timeout,
                              const RunFlag* runFlag = nullptr);

}  // namespace ipcam::platform
