#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/camera_models.h"
#include "core/viewer_settings.h"

namespace ipcam {

// One camera that answered the LAN search.
struct DiscoveryEntry {
  std::string name;                       // blanks at the end removed
  std::array<std::uint8_t, 4> address{};  // octets in network order
  std::uint8_t model = 0;                 // model code, translated by its PoE variant
  std::uint8_t vendor = 0;                // vendor index
  std::array<std::uint8_t, 6> mac{};
  std::uint16_t detailPort = 0;  // from the detail answer
  std::uint16_t httpPort = 0;    // from the detail answer; 0 until it came
  std::uint8_t attribute = 0;    // description byte 60
  std::uint8_t third = 0;        // description byte 61: third value of the name lookup
  std::uint8_t detail = 0;       // detail byte 90
};

// What the camera page shows: the list as it stands and whether it was restarted since the
// page last looked (the page then rebuilds its view instead of appending).
struct DiscoverySnapshot {
  std::vector<DiscoveryEntry> entries;
  bool changed = false;
};

inline constexpr std::size_t kDiscoveryListSize = 100;

// The search runs on this UDP port unless IPCAM_DISCOVERY_PORT names another one (tests give
// every run a port of its own, so that parallel runs on one machine do not hear each other).
inline constexpr std::uint16_t kDiscoveryPort = 13364;

// Requests go to the broadcast address of every interface of this machine that is up and can
// broadcast, never to 255.255.255.255. IPCAM_DISCOVERY_BROADCAST replaces that list with the
// one IPv4 address it holds (127.255.255.255 keeps a search on this machine); when it is set
// but not an address, nothing is sent at all. Answers are taken only from the networks searched
// (127.0.0.0/8 for the loopback broadcast) and only shortly after our own request.
inline constexpr const char* kDiscoveryPortVariable = "IPCAM_DISCOVERY_PORT";
inline constexpr const char* kDiscoveryBroadcastVariable = "IPCAM_DISCOVERY_BROADCAST";

// Starts the listener (when not running), clears the list and sends a search. Called when
// the camera page opens.
void StartDiscovery();
// Ends the listener; safe to call twice and when it never ran. Called when the page closes.
// The listener looks at its run flag at least every 50 ms, so this does not wait for a
// datagram to arrive. True when the listener ended (or none ran), false when it did not end
// within a second and was given up on.
bool stopDiscovery();
// The page's refresh button: restarts the list and sends the search again.
void refreshDiscovery();
// Sends the search request (three times, 100 ms apart) from the listener's socket. Returns at
// once: the listener thread does the sending, so the caller (the window thread) never sleeps
// and a search asked for before the socket is ready still goes out. Without a running
// listener nothing is sent.
void SendSearch();
// A copy of the list; `clearChanged` resets the changed flag after reading it.
DiscoverySnapshot discoverySnapshot(bool clearChanged);

// What the page's select button hands to fillCameraFromDiscovery: the HTTP port as the web
// port, the model code as the type, the vendor index as the model and the third value as the
// IsPnV flag.
DiscoveredDevice toDiscoveredDevice(const DiscoveryEntry& entry);

}  // namespace ipcam
