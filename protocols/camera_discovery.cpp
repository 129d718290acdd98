#include "protocols/camera_discovery.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/app_state.h"
#include "core/viewer_ui.h"
#include "platform/thread_slot.h"
#include "platform/trace.h"
#include "protocols/discovery_packets.h"

namespace ipcam {
namespace {

using Clock = std::chrono::steady_clock;

// The listener looks at its run flag and at search requests at least this often, so a stop
// never waits for a datagram.
constexpr std::chrono::milliseconds kPollInterval{50};
constexpr int kSearchRepeats = 3;
constexpr std::chrono::milliseconds kSearchSpacing{100};
constexpr int kDetailRepeats = 3;
// Datagrams read in one go before the run flag is looked at again: a flood cannot hold up a stop.
constexpr int kReadsPerWakeUp = 64;

struct DiscoveryState {
  std::mutex mutex;
  discovery::DiscoveryList list;  // guarded by mutex

  // Searches asked for and not yet begun by the listener (atomic).
  std::atomic<int> searchesPending{0};

  platform::ThreadSlot listener;         // started and stopped by the window thread
  platform::RunFlag listenerRunning{0};  // written by the slot only
};

// Lives until process exit: a listener that was given up on may still use it.
DiscoveryState& state() {
  static auto* const discoveryState = new DiscoveryState();
  return *discoveryState;
}

void tellUser(const std::string& text) {
  if (ViewerUi* ui = appState().ui.load()) ui->postMessage(text, kDefaultMessageTitle);
}

// Closes the descriptor at the end of the listener, whichever way it ends.
class UdpSocket {
 public:
  UdpSocket() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  ~UdpSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

std::uint16_t discoveryPort() {
  const char* text = std::getenv(kDiscoveryPortVariable);
  if (text == nullptr || *text == '\0') return kDiscoveryPort;
  const std::string_view value(text);
  unsigned port = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), port);
  if (error != std::errc() || end != value.data() + value.size() || port == 0 || port > 65535) {
    platform::trace("Discovery: %s=%s is not a port; using %u", kDiscoveryPortVariable, text,
                    static_cast<unsigned>(kDiscoveryPort));
    return kDiscoveryPort;
  }
  return static_cast<std::uint16_t>(port);
}

// Where requests go: the configured address, else each broadcast address of this machine.
std::vector<in_addr> broadcastTargets() {
  std::vector<in_addr> targets;
  if (const char* configured = std::getenv(kDiscoveryBroadcastVariable)) {
    in_addr address{};
    if (::inet_pton(AF_INET, configured, &address) == 1) {
      targets.push_back(address);
    } else {
      // A typo must not turn a test's or the demo's local search into one on the real network.
      platform::trace("Discovery: %s=%s is not an IPv4 address; no search is sent",
                      kDiscoveryBroadcastVariable, configured);
    }
    return targets;
  }
  ifaddrs* interfaces = nullptr;
  if (::getifaddrs(&interfaces) != 0) {
    platform::trace("Discovery: cannot list the network interfaces (errno %d)", errno);
    return targets;
  }
  for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
    const unsigned flags = entry->ifa_flags;
    if ((flags & IFF_UP) == 0 || (flags & IFF_BROADCAST) == 0) continue;
    if (entry->ifa_broadaddr == nullptr || entry->ifa_broadaddr->sa_family != AF_INET) continue;
    sockaddr_in broadcast{};
    std::memcpy(&broadcast, entry->ifa_broadaddr, sizeof broadcast);
    const bool known = std::any_of(targets.begin(), targets.end(), [&](const in_addr& target) {
      return target.s_addr == broadcast.sin_addr.s_addr;
    });
    if (!known) targets.push_back(broadcast.sin_addr);
  }
  ::freeifaddrs(interfaces);
  if (targets.empty()) platform::trace("Discovery: no interface can broadcast; no search is sent");
  return targets;
}

void sendToAll(int fd, std::span<const std::uint8_t> request, const std::vector<in_addr>& targets,
               std::uint16_t port) {
  for (const in_addr& target : targets) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr = target;
    if (::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to) < 0) {
      char text[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &target, text, sizeof text);
      platform::trace("Discovery: sending to %s:%u failed (errno %d)", text,
                      static_cast<unsigned>(port), errno);
    }
  }
}

// Sets up the socket as the search needs it; false (after telling the user) when it cannot
// be used.
bool prepareSocket(const UdpSocket& socket, std::uint16_t port) {
  if (socket.fd() < 0) {
    tellUser("Socket Error, Error Code = " + std::to_string(errno));
    return false;
  }
  const int on = 1;
  if (::setsockopt(socket.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
    tellUser("Set Reuse ERROR!");
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  // Not fatal: the socket can still send, and answers sent to its source port come back.
  if (::bind(socket.fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
    platform::trace("Discovery: binding UDP port %u failed (errno %d)", static_cast<unsigned>(port),
                    errno);
  const int flags = ::fcntl(socket.fd(), F_GETFL);
  if (flags < 0 || ::fcntl(socket.fd(), F_SETFL, flags | O_NONBLOCK) != 0) {
    tellUser("IO CTL ERROR!");
    return false;
  }
  if (::setsockopt(socket.fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    tellUser("Set Socket Option ERROR!");
    return false;
  }
  return true;
}

// Reads what is waiting (a bounded number of datagrams) and asks each new camera for its
// details.
void readDatagrams(int fd, const std::vector<in_addr>& targets, std::uint16_t port) {
  DiscoveryState& shared = state();
  std::array<std::uint8_t, discovery::kDatagramLimit> buffer{};
  for (int read = 0; read < kReadsPerWakeUp; ++read) {
    const ssize_t received = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (received < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        platform::trace("Discovery: receiving failed (errno %d)", errno);
      return;
    }
    if (received == 0) continue;
    discovery::DatagramOutcome outcome;
    {
      std::lock_guard lock(shared.mutex);
      outcome = discovery::handleDatagram(
          shared.list, std::span(buffer.data(), static_cast<std::size_t>(received)));
    }
    if (outcome.detailRequest) {
      for (int i = 0; i < kDetailRepeats; ++i) sendToAll(fd, *outcome.detailRequest, targets, port);
    }
  }
}

void listen(const platform::ThreadRun& run) {
  const std::uint16_t port = discoveryPort();
  const std::vector<in_addr> targets = broadcastTargets();
  const UdpSocket socket;
  if (!prepareSocket(socket, port)) return;

  DiscoveryState& shared = state();
  const discovery::Request search = discovery::searchRequest();
  int searchesLeft = 0;
  Clock::time_point nextSearch{};
  while (run.running()) {
    if (shared.searchesPending.exchange(0) > 0) {
      // A new search starts over: three requests from now.
      searchesLeft = kSearchRepeats;
      nextSearch = Clock::now();
    }
    auto wait = kPollInterval;
    if (searchesLeft > 0) {
      const auto now = Clock::now();
      if (now >= nextSearch) {
        sendToAll(socket.fd(), search, targets, port);
        --searchesLeft;
        nextSearch = now + kSearchSpacing;
      }
      if (searchesLeft > 0) {
        const auto untilNext =
            std::chrono::ceil<std::chrono::milliseconds>(nextSearch - Clock::now());
        wait = std::clamp(untilNext, std::chrono::milliseconds(0), kPollInterval);
      }
    }
    pollfd readable{socket.fd(), POLLIN, 0};
    const int ready = ::poll(&readable, 1, static_cast<int>(wait.count()));
    if (ready > 0 && (readable.revents & POLLIN) != 0) readDatagrams(socket.fd(), targets, port);
  }
}

void restartList() {
  DiscoveryState& shared = state();
  std::lock_guard lock(shared.mutex);
  shared.list.entries.clear();
  shared.list.changed = true;
}

}  // namespace

void StartDiscovery() {
  DiscoveryState& shared = state();
  restartList();
  if (!shared.listener.running() && !shared.listener.start(shared.listenerRunning, listen))
    platform::trace("Create UDPServer Thread Failed.");
  SendSearch();
}

bool StopDiscovery() {
  DiscoveryState& shared = state();
  const bool ended = shared.listener.stop();
  shared.searchesPending.store(0);
  return ended;
}

void RefreshDiscovery() {
  restartList();
  SendSearch();
}

void SendSearch() {
  DiscoveryState& shared = state();
  if (shared.listener.running()) shared.searchesPending.fetch_add(1);
}

DiscoverySnapshot discoverySnapshot(bool clearChanged) {
  DiscoveryState& shared = state();
  std::lock_guard lock(shared.mutex);
  DiscoverySnapshot snapshot{shared.list.entries, shared.list.changed};
  if (clearChanged) shared.list.changed = false;
  return snapshot;
}

DiscoveredDevice toDiscoveredDevice(const DiscoveryEntry& entry) {
  DiscoveredDevice device{};
  device.name = entry.name;
  device.address = entry.address;
  device.port = entry.httpPort;
  device.type = entry.model;
  device.model = entry.vendor;
  device.isPnV = entry.third;
  return device;
}

}  // namespace ipcam
