#include "protocols/av_server_client.h"

#include <unistd.h>

#include <cstdlib>
#include <ctime>

namespace ipcam {

// POSIX sockets need no library start-up.
bool AvServerClient::startNetwork() {
  return true;
}

void AvServerClient::reset() {
  disconnect();
  connected_.store(false);
  loggedIn_.store(false);
  streaming_.store(false);
  // The login exchange draws its nonce from the process-wide generator.
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  networkReady_.store(true);
}

void AvServerClient::disconnect() {
  for (std::atomic<int>* socket : {&controlSocket_, &dataSocket_}) {
    const int fd = socket->exchange(-1);
    if (fd >= 0) ::close(fd);
  }
  connected_.store(false);
}

}  // namespace ipcam
