#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

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

// Starts the listener (when not running), clears the list and sends a search. Called when
// the camera page opens.
void StartDiscovery();
// Ends the listener; safe to call twice and when it never ran. Called when the page closes.
void StopDiscovery();
// The page's refresh button: restarts the list and sends the search again.
void RefreshDiscovery();
// Sends the search request (three times, 100 ms apart) from the listener's socket.
void SendSearch();
// A copy of the list; `clearChanged` resets the changed flag after reading it.
DiscoverySnapshot discoverySnapshot(bool clearChanged);

// The model name shown for a found camera.
std::string LookupModelName(int model, int vendor, int third);

}  // namespace ipcam
