#include "protocols/camera_discovery.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/app_state.h"
#include "core/viewer_ui.h"
#include "platform/thread_slot.h"
#include "platform/trace.h"
#include "protocols/discovery_packets.h"

namespace ipcam {
namespace {

using Clock = std::chrono::steady_clock;

// A wait with nothing due: the listener sleeps until a datagram, a search or its stop.
constexpr auto kNothingDue = std::chrono::milliseconds::max();
constexpr std::chrono::milliseconds kFallbackLook{50};
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
  // Readable after a search was asked for: wakes the listener. Kept for the process's life.
  const int searchAsked = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

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

std::uint32_t hostOrder(const sockaddr* address) {
  sockaddr_in in{};
  std::memcpy(&in, address, sizeof in);
  return ntohl(in.sin_addr.s_addr);
}

// Where requests go, and the networks whose answers we take.
struct SearchPlan {
  std::vector<in_addr> targets;
  std::vector<discovery::Ipv4Network> networks;

  void addTarget(in_addr target) {
    const bool known = std::any_of(targets.begin(), targets.end(),
                                   [&](const in_addr& t) { return t.s_addr == target.s_addr; });
    if (!known) targets.push_back(target);
  }
  void addNetwork(discovery::Ipv4Network network) {
    if (std::find(networks.begin(), networks.end(), network) == networks.end())
      networks.push_back(network);
  }
};

// Every IPv4 interface that is up, with its network and its broadcast address if it has one.
struct Interface {
  discovery::Ipv4Network network;
  std::optional<std::uint32_t> broadcast;
};

std::vector<Interface> ipv4Interfaces() {
  std::vector<Interface> found;
  ifaddrs* interfaces = nullptr;
  if (::getifaddrs(&interfaces) != 0) {
    platform::trace("Discovery: cannot list the network interfaces (errno %d)", errno);
    return found;
  }
  for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
    if ((entry->ifa_flags & IFF_UP) == 0 || entry->ifa_addr == nullptr ||
        entry->ifa_addr->sa_family != AF_INET || entry->ifa_netmask == nullptr) {
      continue;
    }
    Interface added;
    added.network.address = hostOrder(entry->ifa_addr);
    added.network.mask = hostOrder(entry->ifa_netmask);
    if ((entry->ifa_flags & IFF_BROADCAST) != 0 && entry->ifa_broadaddr != nullptr &&
        entry->ifa_broadaddr->sa_family == AF_INET) {
      added.broadcast = hostOrder(entry->ifa_broadaddr);
    }
    found.push_back(added);
  }
  ::freeifaddrs(interfaces);
  return found;
}

// The configured address, else each broadcast address of this machine; answers are taken
// from the networks those addresses reach. A configured address that is no broadcast of
// ours (nor the loopback one) reaches no network we can name, so its answers are dropped.
SearchPlan searchPlan() {
  SearchPlan plan;
  const std::vector<Interface> interfaces = ipv4Interfaces();
  if (const char* configured = std::getenv(kDiscoveryBroadcastVariable)) {
    in_addr address{};
    if (::inet_pton(AF_INET, configured, &address) != 1) {
      // A typo must not turn a test's or the demo's local search into one on the real network.
      platform::trace("Discovery: %s=%s is not an IPv4 address; no search is sent",
                      kDiscoveryBroadcastVariable, configured);
      return plan;
    }
    plan.addTarget(address);
    const std::uint32_t target = ntohl(address.s_addr);
    if (discovery::kLoopbackNetwork.contains(target)) plan.addNetwork(discovery::kLoopbackNetwork);
    for (const Interface& interface : interfaces) {
      if (interface.broadcast == target || target == INADDR_BROADCAST) {
        plan.addNetwork(interface.network);
      }
    }
    if (plan.networks.empty()) {
      platform::trace("Discovery: %s=%s is no broadcast address here; no answer is taken",
                      kDiscoveryBroadcastVariable, configured);
    }
    return plan;
  }
  for (const Interface& interface : interfaces) {
    if (!interface.broadcast) continue;
    plan.addTarget(in_addr{htonl(*interface.broadcast)});
    plan.addNetwork(interface.network);
  }
  if (plan.targets.empty())
    platform::trace("Discovery: no interface can broadcast; no search is sent");
  return plan;
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

// What the listener keeps between wake-ups: the search it runs and the detail requests that
// wait for their turn.
struct Listener {
  Listener(int socket, std::uint16_t searchPort, SearchPlan searchPlan)
      : fd(socket), port(searchPort), plan(std::move(searchPlan)), scope(plan.networks) {}

  int fd;
  std::uint16_t port;
  SearchPlan plan;
  discovery::SearchScope scope;
  discovery::TokenBucket detailPace{discovery::kDetailRatePerSecond, discovery::kDetailBurst,
                                    Clock::now()};
  std::deque<discovery::Request> pendingDetails;

  void queueDetail(const discovery::Request& request) {
    if (std::find(pendingDetails.begin(), pendingDetails.end(), request) != pendingDetails.end())
      return;
    // Only listed cameras are asked, so the queue holds no more than a list's worth.
    if (pendingDetails.size() >= kDiscoveryListSize) return;
    pendingDetails.push_back(request);
  }

  void sendDueDetails() {
    while (!pendingDetails.empty() && detailPace.take(Clock::now())) {
      for (int i = 0; i < kDetailRepeats; ++i)
        sendToAll(fd, pendingDetails.front(), plan.targets, port);
      scope.detailSent(Clock::now());
      pendingDetails.pop_front();
    }
  }

  // Reads what is waiting (a bounded number of datagrams). Answers to nobody's search, or
  // from a network we did not search, are dropped before they reach the list.
  void readDatagrams() {
    DiscoveryState& shared = state();
    std::array<std::uint8_t, discovery::kDatagramLimit> buffer{};
    for (int read = 0; read < kReadsPerWakeUp; ++read) {
      sockaddr_in from{};
      socklen_t fromSize = sizeof from;
      const ssize_t received = ::recvfrom(fd, buffer.data(), buffer.size(), 0,
                                          reinterpret_cast<sockaddr*>(&from), &fromSize);
      if (received < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
          platform::trace("Discovery: receiving failed (errno %d)", errno);
        return;
      }
      const std::span datagram(buffer.data(), static_cast<std::size_t>(received));
      if (datagram.empty() || from.sin_family != AF_INET ||
          !scope.expects(datagram, ntohl(from.sin_addr.s_addr), Clock::now())) {
        continue;
      }
      discovery::DatagramOutcome outcome;
      {
        std::lock_guard lock(shared.mutex);
        outcome = discovery::handleDatagram(shared.list, datagram);
      }
      if (outcome.detailRequest) queueDetail(*outcome.detailRequest);
    }
  }

  // How long the next poll may sleep before a paced detail request is due.
  std::chrono::milliseconds untilDetailDue(std::chrono::milliseconds wait) const {
    if (pendingDetails.empty()) return wait;
    const auto due =
        std::chrono::ceil<std::chrono::milliseconds>(detailPace.untilNext(Clock::now()));
    return std::clamp(due, std::chrono::milliseconds(0), wait);
  }
};

void listen(const platform::ThreadRun& run) {
  const std::uint16_t port = discoveryPort();
  const UdpSocket socket;
  if (!prepareSocket(socket, port)) return;
  Listener listener(socket.fd(), port, searchPlan());

  DiscoveryState& shared = state();
  const discovery::Request search = discovery::searchRequest();
  int searchesLeft = 0;
  Clock::time_point nextSearch{};
  const int stopFd = run.flag().stopDescriptor();
  while (run.running()) {
    // Drained before the count is taken: a search asked for after this wakes the next poll.
    eventfd_t asked = 0;
    if (shared.searchAsked >= 0) ::eventfd_read(shared.searchAsked, &asked);
    if (shared.searchesPending.exchange(0) > 0) {
      // A new search starts over: three requests from now.
      searchesLeft = kSearchRepeats;
      nextSearch = Clock::now();
    }
    auto wait = kNothingDue;
    if (searchesLeft > 0) {
      const auto now = Clock::now();
      if (now >= nextSearch) {
        sendToAll(socket.fd(), search, listener.plan.targets, port);
        listener.scope.searchSent(now);
        --searchesLeft;
        nextSearch = now + kSearchSpacing;
      }
      if (searchesLeft > 0) {
        const auto untilNext =
            std::chrono::ceil<std::chrono::milliseconds>(nextSearch - Clock::now());
        wait = std::max(untilNext, std::chrono::milliseconds(0));
      }
    }
    listener.sendDueDetails();
    wait = listener.untilDetailDue(wait);
    // Without the stop or search descriptors (the system gave none) the flag and the
    // requests are looked at every so often instead.
    const bool wakeable = stopFd >= 0 && shared.searchAsked >= 0;
    if (!wakeable) wait = std::min(wait, kFallbackLook);
    std::array<pollfd, 3> entries{pollfd{socket.fd(), POLLIN, 0}, pollfd{stopFd, POLLIN, 0},
                                  pollfd{shared.searchAsked, POLLIN, 0}};
    const int timeout =
        wait == kNothingDue ? -1 : static_cast<int>(std::min<long long>(wait.count(), INT_MAX));
    const int ready = ::poll(entries.data(), entries.size(), timeout);
    if (ready > 0 && (entries[0].revents & POLLIN) != 0) listener.readDatagrams();
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
  if (!shared.listener.running() &&
      !shared.listener.start(shared.listenerRunning, listen, "discovery"))
    platform::trace("Create UDPServer Thread Failed.");
  SendSearch();
}

bool stopDiscovery() {
  DiscoveryState& shared = state();
  const bool ended = shared.listener.stop();
  shared.searchesPending.store(0);
  return ended;
}

void refreshDiscovery() {
  restartList();
  SendSearch();
}

void SendSearch() {
  DiscoveryState& shared = state();
  if (!shared.listener.running()) return;
  shared.searchesPending.fetch_add(1);
  if (shared.searchAsked >= 0) ::eventfd_write(shared.searchAsked, 1);
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
