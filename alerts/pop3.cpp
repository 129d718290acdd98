#include "alerts/pop3.h"

#include <array>

#include "platform/trace.h"

namespace ipcam {
namespace {

constexpr std::array<const char*, 7> kStepErrors = {
    "Server didn't connect",        "Bad user name",   "Invalid username/password combination",
    "STATus couldn't be retrieved", "RETRieve failed", "Could not DELEte message",
    "Error while QUITting",
};
constexpr int kGreeting = 0;
constexpr int kUser = 1;
constexpr int kPass = 2;
constexpr int kQuit = 6;

}  // namespace

CPOP3::CPOP3(std::string server, int port, std::string account, std::string password)
    : port_(port),
      server_(std::move(server)),
      account_(std::move(account)),
      password_(std::move(password)) {}

CPOP3::~CPOP3() {
  if (connected_ != 0) disconnect();
}

bool CPOP3::sendLine(const std::string& text) {
  if (socket_.sendAll(text, kReplyTimeout) == kMailIoOk) return true;
  errorText_ = "Socket Error";
  return false;
}

int CPOP3::readResponse(int step) {
  std::string text;
  // One receive per response: a reply split over several segments is judged on its first.
  // A server that hung up (nothing received) has not answered, so it fails like a socket
  // error rather than passing as a response.
  if (socket_.receiveSome(text, kReceiveSize, kReplyTimeout) != kMailIoOk) {
    errorText_ = "Socket Error";
    return 0;
  }
  response_ = text;
  platform::trace("POP3 < %s", response_.c_str());
  if (response_.starts_with("-ERR")) {
    errorText_ = kStepErrors[static_cast<std::size_t>(step)];
    return 0;
  }
  return 1;
}

int CPOP3::connect() {
  if (connected_ != 0) return 1;
  if (port_ <= 0 || port_ > 65535) {
    errorText_ = "Unable to connect to server";
    return 0;
  }
  const int opened = socket_.open(server_, static_cast<std::uint16_t>(port_), kConnectTimeout);
  if (opened == kMailIoNoSocket) {
    errorText_ = "Unable to create the socket.";
    return 0;
  }
  if (opened != kMailIoOk) {
    errorText_ = "Unable to connect to server";
    return 0;
  }
  if (readResponse(kGreeting) == 0 || !sendLine("USER " + account_ + "\r\n") ||
      readResponse(kUser) == 0 || !sendLine("PASS " + password_ + "\r\n") ||
      readResponse(kPass) == 0) {
    socket_.close();
    return 0;
  }
  connected_ = 1;
  return 1;
}

int CPOP3::disconnect() {
  if (connected_ == 0) return 1;
  const int result = sendLine("QUIT\r\n") ? readResponse(kQuit) : 0;
  socket_.close();
  connected_ = 0;
  return result;
}

}  // namespace ipcam
