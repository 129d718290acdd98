#pragma once

#include <chrono>
#include <string>

#include "alerts/mail_connection.h"

namespace ipcam {

// Logs in to a POP3 mailbox and out again, for mail servers that accept mail only from a
// client that has just done so. Sends nothing but USER, PASS and QUIT.
class CPOP3 {
 public:
  static constexpr int kDefaultPort = 110;
  static constexpr std::size_t kReceiveSize = 1024;
  // Our choice: the steps block without a time-out otherwise.
  static constexpr std::chrono::seconds kConnectTimeout{30};
  static constexpr std::chrono::seconds kReplyTimeout{60};

  CPOP3(std::string server, int port, std::string account, std::string password);
  ~CPOP3();
  CPOP3(const CPOP3&) = delete;
  CPOP3& operator=(const CPOP3&) = delete;

  // 1 on success or when already connected, 0 on failure (see errorText()).
  int connect();
  // 1 when not connected; otherwise the result of the QUIT step.
  int disconnect();

  const std::string& errorText() const { return errorText_; }
  const std::string& lastResponse() const { return response_; }
  bool connected() const { return connected_ != 0; }

  // Caps the time-outs; for tests.
  void setTimeLimit(std::chrono::milliseconds limit) { socket_.setTimeLimit(limit); }

 private:
  // Reads one response for `step` (0 greeting ... 6 QUIT); 0 when it failed.
  int readResponse(int step);
  bool sendLine(const std::string& text);

  std::string errorText_ = "OK";
  std::string response_;
  int connected_ = 0;
  int port_;
  std::string server_;
  std::string account_;
  std::string password_;
  MailConnection socket_;
};

}  // namespace ipcam
