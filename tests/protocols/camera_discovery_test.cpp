#include "protocols/camera_discovery.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/viewer_settings.h"
#include "protocols/discovery_packets.h"
#include "support/loopback_peers.h"
#include "support/test_environment.h"
#include "support/wait_for.h"
#include "tools/camsim/discovery_responder.h"

namespace ipcam {
namespace {

using Bytes = std::vector<std::uint8_t>;
using discovery::DatagramResult;
using discovery::DiscoveryList;
using discovery::handleDatagram;

// Answers as a camera sends them, built here byte by byte from the protocol's offsets.
struct Answer {
  std::array<std::uint8_t, 6> mac{0x00, 0x1C, 0x63, 0x12, 0x34, 0x56};
  std::uint8_t direction = 1;
  std::string name = "Front door";
  std::array<std::uint8_t, 4> address{192, 0, 2, 7};
  std::uint8_t vendor = 0;
  std::uint8_t deviceClass = 5;
  std::uint8_t model = 21;
  std::uint8_t attribute = 0x11;
  std::uint8_t third = 1;
  std::uint8_t poe = 1;

  Bytes header(std::uint8_t command) const {
    Bytes packet(mac.begin(), mac.end());
    packet.insert(packet.end(), {direction, command, 0, 0});
    return packet;
  }
  // 66 bytes behind the header: name padded with blanks, then the fields up to the PoE byte.
  Bytes descriptionBody() const {
    Bytes body(66, 0);
    std::fill_n(body.begin(), 32, ' ');
    std::copy(name.begin(), name.end(), body.begin());
    std::copy(address.begin(), address.end(), body.begin() + 32);
    body[56] = vendor;
    body[58] = deviceClass;
    body[59] = model;
    body[60] = attribute;
    body[61] = third;
    body[65] = poe;
    return body;
  }
  Bytes description() const { return withBody(header(4), descriptionBody()); }
  Bytes detailBody(std::uint16_t detailPort, std::uint16_t httpPort, std::uint8_t byte) const {
    Bytes body(388, 0);
    body[76] = static_cast<std::uint8_t>(detailPort >> 8);
    body[77] = static_cast<std::uint8_t>(detailPort);
    body[78] = static_cast<std::uint8_t>(httpPort >> 8);
    body[79] = static_cast<std::uint8_t>(httpPort);
    body[80] = byte;
    return body;
  }
  Bytes detail(std::uint16_t detailPort, std::uint16_t httpPort, std::uint8_t byte) const {
    return withBody(header(2), detailBody(detailPort, httpPort, byte));
  }
  static Bytes withBody(Bytes packet, const Bytes& body) {
    packet.insert(packet.end(), body.begin(), body.end());
    return packet;
  }
};

// A zlib stream of `body` whose header bytes are replaced by the AC ED marker.
Bytes compressed(const Bytes& body) {
  uLongf size = compressBound(body.size());
  Bytes stream(size);
  EXPECT_EQ(compress2(stream.data(), &size, body.data(), body.size(), 6), Z_OK);
  stream.resize(size);
  EXPECT_EQ(stream[0], 0x78);
  EXPECT_EQ(stream[1], 0x9C);
  stream[0] = 0xAC;
  stream[1] = 0xED;
  return stream;
}

TEST(DiscoveryPacketsTest, RequestsAreTheTenByteHeader) {
  EXPECT_EQ(discovery::searchRequest(),
            (discovery::Request{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 4, 0xFF, 0xFB}));
  EXPECT_EQ(discovery::detailRequest({1, 2, 3, 4, 5, 6}),
            (discovery::Request{1, 2, 3, 4, 5, 6, 0, 2, 0xFF, 0xFD}));
}

TEST(DiscoveryPacketsTest, DescriptionAddsAnEntryAndAsksForItsDetails) {
  DiscoveryList list;
  const Answer answer;
  const auto outcome = handleDatagram(list, answer.description());
  EXPECT_EQ(outcome.result, DatagramResult::DescriptionAdded);
  ASSERT_TRUE(outcome.detailRequest);
  EXPECT_EQ(*outcome.detailRequest, discovery::detailRequest(answer.mac));
  ASSERT_EQ(list.entries.size(), 1u);
  const DiscoveryEntry& entry = list.entries[0];
  EXPECT_EQ(entry.name, "Front door");
  EXPECT_EQ(entry.address, answer.address);
  EXPECT_EQ(entry.model, 24);  // code 21 with PoE 1
  EXPECT_EQ(LookupModelName(entry.model, entry.vendor, entry.third), "Corvel_RX42P");
  EXPECT_EQ(entry.mac, answer.mac);
  EXPECT_EQ(entry.attribute, 0x11);
  EXPECT_EQ(entry.third, 1);
  EXPECT_EQ(entry.httpPort, 0);

  EXPECT_EQ(handleDatagram(list, answer.detail(4321, 8080, 9)).result,
            DatagramResult::DetailStored);
  EXPECT_EQ(list.entries[0].detailPort, 4321);
  EXPECT_EQ(list.entries[0].httpPort, 8080);
  EXPECT_EQ(list.entries[0].detail, 9);
}

TEST(DiscoveryPacketsTest, DatagramsThatListNothing) {
  const Answer plain;
  Answer fromViewer;
  fromViewer.direction = 0;
  Answer otherClass;
  otherClass.deviceClass = 4;
  Bytes otherCommand = plain.description();
  otherCommand[7] = 3;
  Bytes noPoeByte = plain.description();
  noPoeByte.pop_back();
  Bytes cutHeader = plain.description();
  cutHeader.resize(9);
  const discovery::Request search = discovery::searchRequest();
  const struct {
    const char* what;
    Bytes datagram;
  } cases[] = {
      {"empty", {}},
      {"header cut short", cutHeader},
      {"header only", plain.header(4)},
      {"direction 0 (another viewer's request)", fromViewer.description()},
      {"device class 4", otherClass.description()},
      {"unknown command", otherCommand},
      {"description without its PoE byte", noPoeByte},
      {"the viewer's own search request", Bytes(search.begin(), search.end())},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DiscoveryList list;
    const auto outcome = handleDatagram(list, c.datagram);
    EXPECT_EQ(outcome.result, DatagramResult::Ignored);
    EXPECT_FALSE(outcome.detailRequest);
    EXPECT_TRUE(list.entries.empty());
  }
}

TEST(DiscoveryPacketsTest, ShortOrStrayDetailsChangeNothing) {
  DiscoveryList list;
  const Answer answer;
  handleDatagram(list, answer.description());
  handleDatagram(list, answer.detail(1, 2, 3));
  Bytes cut = answer.detail(4000, 5000, 6);
  cut.resize(90);  // one byte short of the detail byte
  EXPECT_EQ(handleDatagram(list, cut).result, DatagramResult::Ignored);
  Answer stranger;
  stranger.mac[5] = 0x99;
  EXPECT_EQ(handleDatagram(list, stranger.detail(4000, 5000, 6)).result,
            DatagramResult::DetailUnknown);
  EXPECT_EQ(list.entries[0].httpPort, 2);
  EXPECT_EQ(list.entries[0].detailPort, 1);
}

TEST(DiscoveryPacketsTest, SameMacIsUpdatedInPlace) {
  DiscoveryList list;
  Answer first;
  Answer other;
  other.mac[5] = 0x77;
  handleDatagram(list, first.description());
  handleDatagram(list, other.description());
  handleDatagram(list, first.detail(4321, 8080, 0));

  Answer renamed = first;
  renamed.name = "Back door";
  renamed.address = {192, 0, 2, 9};
  renamed.model = 23;
  renamed.poe = 0;
  const auto outcome = handleDatagram(list, renamed.description());
  EXPECT_EQ(outcome.result, DatagramResult::DescriptionUpdated);
  EXPECT_TRUE(outcome.detailRequest);
  ASSERT_EQ(list.entries.size(), 2u);
  EXPECT_EQ(list.entries[0].name, "Back door");
  EXPECT_EQ(list.entries[0].address, renamed.address);
  EXPECT_EQ(list.entries[0].model, 25);
  EXPECT_EQ(list.entries[0].httpPort, 8080);  // kept until the next detail answer
  EXPECT_EQ(list.entries[1].mac, other.mac);
}

// A camera answers each of the three searches alike: only the first answer, or one that says
// something new, is worth a detail request.
TEST(DiscoveryPacketsTest, OnlyANewOrChangedCameraIsAskedForDetails) {
  DiscoveryList list;
  Answer answer;
  EXPECT_TRUE(handleDatagram(list, answer.description()).detailRequest);
  const auto repeated = handleDatagram(list, answer.description());
  EXPECT_EQ(repeated.result, DatagramResult::DescriptionRepeated);
  EXPECT_FALSE(repeated.detailRequest);
  answer.address[3] = 8;
  EXPECT_TRUE(handleDatagram(list, answer.description()).detailRequest);
  EXPECT_EQ(list.entries.size(), 1u);
}

TEST(DiscoveryScopeTest, TakesOnlyAnswersToOurOwnSearchFromTheNetworksSearched) {
  using namespace std::chrono_literals;
  const discovery::Clock::time_point start{};
  const std::uint32_t loopback = 0x7F000001;   // 127.0.0.1
  const std::uint32_t onLan = 0xC0A80114;      // 192.168.1.20
  const std::uint32_t elsewhere = 0x0A000005;  // 10.0.0.5
  const Answer answer;
  const Bytes description = answer.description();
  const Bytes detail = answer.detail(1, 2, 3);
  Bytes otherCommand = description;
  otherCommand[7] = 3;

  discovery::SearchScope scope({discovery::kLoopbackNetwork, {0xC0A80100, 0xFFFFFF00}});
  EXPECT_FALSE(scope.expects(description, loopback, start)) << "no search sent yet";
  scope.searchSent(start);
  const struct {
    const char* what;
    const Bytes& datagram;
    std::uint32_t source;
    discovery::Clock::duration after;
    bool taken;
  } cases[] = {
      {"loopback, at once", description, loopback, 10ms, true},
      {"searched LAN, within the window", description, onLan, 4s, true},
      {"just at the window's end", description, loopback, discovery::kAnswerWindow, true},
      {"after the window", description, loopback, 6s, false},
      {"a network not searched", description, elsewhere, 10ms, false},
      {"a detail answer nobody asked for", detail, loopback, 10ms, false},
      {"another command", otherCommand, loopback, 10ms, false},
      {"shorter than a header", Bytes(9, 1), loopback, 10ms, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(scope.expects(c.datagram, c.source, start + c.after), c.taken) << c.what;
  }
  scope.detailSent(start + 1s);
  EXPECT_TRUE(scope.expects(detail, loopback, start + 2s));
  EXPECT_FALSE(scope.expects(detail, elsewhere, start + 2s));
  EXPECT_FALSE(scope.expects(detail, loopback, start + 7s));
  // An empty scope (a broadcast address that is none of ours) takes nothing.
  discovery::SearchScope none({});
  none.searchSent(start);
  EXPECT_FALSE(none.expects(description, loopback, start));
}

TEST(DiscoveryScopeTest, DetailRequestsArePacedByATokenBucket) {
  using namespace std::chrono_literals;
  const discovery::Clock::time_point start{};
  discovery::TokenBucket bucket(4, 8, start);
  int taken = 0;
  while (bucket.take(start)) ++taken;
  EXPECT_EQ(taken, 8);
  EXPECT_EQ(bucket.untilNext(start), 250ms);
  EXPECT_FALSE(bucket.take(start + 249ms));
  EXPECT_TRUE(bucket.take(start + 250ms));
  EXPECT_FALSE(bucket.take(start + 250ms));
  // A long quiet spell fills the bucket up to its burst, not beyond.
  taken = 0;
  while (bucket.take(start + 1h)) ++taken;
  EXPECT_EQ(taken, 8);
  // Over a second of steady asking, the rate holds.
  taken = 0;
  for (auto at = start + 1h; at <= start + 1h + 1s; at += 10ms) taken += bucket.take(at) ? 1 : 0;
  EXPECT_EQ(taken, 4);
}

TEST(DiscoveryPacketsTest, CompressedAnswersEqualPlainOnes) {
  Answer answer;
  answer.name = "Name with trailing  ";
  DiscoveryList plain;
  handleDatagram(plain, answer.description());
  handleDatagram(plain, answer.detail(4321, 8081, 7));

  DiscoveryList packed;
  EXPECT_EQ(handleDatagram(packed,
                           Answer::withBody(answer.header(4), compressed(answer.descriptionBody())))
                .result,
            DatagramResult::DescriptionAdded);
  EXPECT_EQ(handleDatagram(packed, Answer::withBody(answer.header(2),
                                                    compressed(answer.detailBody(4321, 8081, 7))))
                .result,
            DatagramResult::DetailStored);

  ASSERT_EQ(packed.entries.size(), 1u);
  const DiscoveryEntry& a = plain.entries[0];
  const DiscoveryEntry& b = packed.entries[0];
  EXPECT_EQ(a.name, "Name with trailing");
  EXPECT_EQ(b.name, a.name);
  EXPECT_EQ(b.address, a.address);
  EXPECT_EQ(b.model, a.model);
  EXPECT_EQ(b.vendor, a.vendor);
  EXPECT_EQ(b.attribute, a.attribute);
  EXPECT_EQ(b.third, a.third);
  EXPECT_EQ(b.detailPort, a.detailPort);
  EXPECT_EQ(b.httpPort, a.httpPort);
  EXPECT_EQ(b.detail, a.detail);
}

TEST(DiscoveryPacketsTest, CompressedAnswersThatDoNotInflate) {
  const Answer answer;
  // Inflates to 1025 bytes, one more than the buffer holds: refused, nothing overruns.
  Bytes tooLarge = answer.descriptionBody();
  tooLarge.resize(1025, 0x42);
  DiscoveryList list;
  auto outcome = handleDatagram(list, Answer::withBody(answer.header(4), compressed(tooLarge)));
  EXPECT_EQ(outcome.result, DatagramResult::Refused);
  EXPECT_FALSE(outcome.detailRequest);
  EXPECT_TRUE(list.entries.empty());

  // Exactly the buffer's size is fine.
  tooLarge.resize(1024);
  EXPECT_EQ(handleDatagram(list, Answer::withBody(answer.header(4), compressed(tooLarge))).result,
            DatagramResult::DescriptionAdded);

  // A plain description whose name happens to start with AC ED does not inflate, so it is
  // used as received.
  Answer marked;
  marked.mac[5] = 1;
  marked.name = "\xAC\xED camera";
  list = {};
  EXPECT_EQ(handleDatagram(list, marked.description()).result, DatagramResult::DescriptionAdded);
  EXPECT_EQ(list.entries.at(0).name, "\xAC\xED camera");

  // A stream that inflates to less than a description lists nothing.
  list = {};
  const Bytes shortBody(40, ' ');
  EXPECT_EQ(handleDatagram(list, Answer::withBody(answer.header(4), compressed(shortBody))).result,
            DatagramResult::Ignored);
  EXPECT_TRUE(list.entries.empty());
}

TEST(DiscoveryPacketsTest, TheHundredAndFirstCameraIsDropped) {
  DiscoveryList list;
  Answer answer;
  for (int i = 0; i <= static_cast<int>(kDiscoveryListSize); ++i) {
    answer.mac[4] = static_cast<std::uint8_t>(i >> 8);
    answer.mac[5] = static_cast<std::uint8_t>(i);
    handleDatagram(list, answer.description());
  }
  EXPECT_EQ(list.entries.size(), kDiscoveryListSize);
  Answer late = answer;
  late.mac[5] = 0xF0;
  const auto dropped = handleDatagram(list, late.description());
  EXPECT_EQ(dropped.result, DatagramResult::ListFull);
  EXPECT_FALSE(dropped.detailRequest);
  // A camera already listed is still updated.
  Answer first = answer;
  first.mac[4] = 0;
  first.mac[5] = 0;
  first.name = "renamed";
  EXPECT_EQ(handleDatagram(list, first.description()).result, DatagramResult::DescriptionUpdated);
  EXPECT_EQ(list.entries[0].name, "renamed");
  EXPECT_EQ(list.entries.size(), kDiscoveryListSize);
}

TEST(DiscoveryPacketsTest, ModelCodeFollowsThePoeVariant) {
  const struct {
    int code, poe, stored;
  } cases[] = {
      {19, 0, 19}, {19, 1, 21}, {20, 0, 20}, {20, 1, 20}, {21, 0, 22},   {21, 1, 24},
      {22, 0, 23}, {22, 1, 22}, {23, 0, 25}, {23, 1, 27}, {24, 0, 26},   {24, 1, 24},
      {12, 0, 12}, {12, 1, 12}, {21, 2, 21}, {21, 3, 21}, {19, 255, 19},
  };
  for (const auto& c : cases) {
    for (const bool updating : {false, true}) {
      EXPECT_EQ(discovery::translateModelCode(static_cast<std::uint8_t>(c.code),
                                              static_cast<std::uint8_t>(c.poe), updating),
                c.stored)
          << "code " << c.code << " PoE " << c.poe;
    }
  }
}

TEST(DiscoveryPacketsTest, ModelNames) {
  const struct {
    int model, vendor, third;
    const char* name;
  } cases[] = {
      {24, 0, 1, "Corvel_RX42P"},
      {35, 0, 9, "Corvel_RX48W"},
      {19, 0, 0, "Corvel_RX62"},
      {37, 0, 1, "Corvel_RX62W"},
      {12, 0, 1, "Corvel_RX52W"},
      {31, 0, 1, "Corvel_RX66"},
      {60, 0, 0, "Corvel_RX96"},
      {45, 0, 1, ""},
      {24, 5, 1, ""},
      {35, 35, 0, ""},
      {61, 0, 1, "UnKnown"},
      {20, 36, 1, "UnKnown"},
      {255, 255, 0, "UnKnown"},
      {-1, 0, 0, "UnKnown"},
      {20, -1, 0, "UnKnown"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LookupModelName(c.model, c.vendor, c.third), c.name)
        << c.model << "/" << c.vendor << "/" << c.third;
  }
}

// Random and cut-down datagrams, many of them near-valid: whatever arrives, the handler reads
// only what it was given (AddressSanitizer watches) and the list never outgrows its size.
TEST(DiscoveryPacketsTest, SurvivesRandomAndTruncatedDatagrams) {
  std::mt19937 random(20261210);
  std::uniform_int_distribution<int> byte(0, 255);
  Answer answer;
  const std::vector<Bytes> seeds = {
      answer.description(),
      answer.detail(1, 2, 3),
      Answer::withBody(answer.header(4), compressed(answer.descriptionBody())),
      Answer::withBody(answer.header(2), compressed(answer.detailBody(1, 2, 3))),
  };
  DiscoveryList list;
  for (const Bytes& seed : seeds) {
    for (std::size_t length = 0; length <= seed.size(); ++length)
      handleDatagram(list, std::span(seed.data(), length));
  }
  for (int round = 0; round < 20000; ++round) {
    Bytes datagram = seeds[static_cast<std::size_t>(round) % seeds.size()];
    datagram[6] = 1;
    const int flips = 1 + byte(random) % 8;
    for (int i = 0; i < flips; ++i)
      datagram[static_cast<std::size_t>(byte(random) * 4) % datagram.size()] =
          static_cast<std::uint8_t>(byte(random));
    if (round % 3 == 0) datagram.resize(static_cast<std::size_t>(byte(random) * 4) % 1100);
    if (round % 7 == 0) {
      datagram.resize(static_cast<std::size_t>(byte(random)) % 1100);
      for (auto& b : datagram) b = static_cast<std::uint8_t>(byte(random));
      if (datagram.size() > 11) {
        datagram[6] = 1;
        datagram[10] = 0xAC;
        datagram[11] = 0xED;
      }
    }
    handleDatagram(list, datagram);
    ASSERT_LE(list.entries.size(), kDiscoveryListSize);
  }
}

TEST(DiscoveryPacketsTest, SelectFillsTheCameraFromTheEntry) {
  DiscoveryEntry entry;
  entry.name = "Garage";
  entry.address = {10, 1, 2, 3};
  entry.httpPort = 8088;
  entry.model = 37;  // an older firmware's code for 20
  entry.vendor = 2;
  entry.third = 1;
  CameraSettings camera;
  camera.port = 5555;
  fillCameraFromDiscovery(camera, toDiscoveredDevice(entry));
  EXPECT_EQ(camera.name, "Garage");
  EXPECT_EQ(camera.ip, "10.1.2.3");
  EXPECT_EQ(camera.webPort, 8088);
  EXPECT_EQ(camera.type, 20);
  EXPECT_EQ(camera.model, 2);
  EXPECT_EQ(camera.isPnV, 1);
  EXPECT_EQ(camera.login, "admin");
  EXPECT_EQ(camera.password, "7391");
  EXPECT_EQ(camera.port, 5555);
}

class DiscoverySearchTest : public ::testing::Test {
 protected:
  void TearDown() override { stopDiscovery(); }

  // A socket on the loopback broadcast address, where the listener's requests arrive.
  int bindRequestEar() const {
    const int ear = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    EXPECT_EQ(::setsockopt(ear, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on), 0);
    sockaddr_in broadcast{};
    broadcast.sin_family = AF_INET;
    broadcast.sin_port = htons(port_);
    broadcast.sin_addr.s_addr = htonl(0x7FFFFFFF);
    EXPECT_EQ(::bind(ear, reinterpret_cast<sockaddr*>(&broadcast), sizeof broadcast), 0);
    return ear;
  }

  const std::uint16_t port_ = testing::freeUdpPort();
  // Only this machine's loopback broadcast: nothing leaves 127.0.0.0/8.
  platform::test_support::ScopedEnv broadcast_{kDiscoveryBroadcastVariable, "127.255.255.255"};
  platform::test_support::ScopedEnv port_env_{kDiscoveryPortVariable, std::to_string(port_)};
};

TEST_F(DiscoverySearchTest, TwoSimulatedCamerasAnswerOnLoopback) {
  camsim::DiscoveryOptions plainOptions;
  plainOptions.port = port_;
  plainOptions.name = "Plain camera";
  plainOptions.mac = {0x00, 0x1C, 0x63, 0, 0, 1};
  plainOptions.modelCode = 21;
  plainOptions.poe = 1;
  plainOptions.httpPort = 8081;
  camsim::DiscoveryOptions packedOptions = plainOptions;
  packedOptions.name = "Packed camera";
  packedOptions.mac[5] = 2;
  packedOptions.modelCode = 20;
  packedOptions.poe = 0;
  packedOptions.httpPort = 8082;
  packedOptions.compressed = true;
  camsim::DiscoveryResponder plain(plainOptions);
  camsim::DiscoveryResponder packed(packedOptions);
  ASSERT_TRUE(plain.start()) << plain.lastError();
  ASSERT_TRUE(packed.start()) << packed.lastError();

  StartDiscovery();
  const auto bothDetailed = [] {
    const DiscoverySnapshot snapshot = discoverySnapshot(false);
    return snapshot.entries.size() == 2 &&
           std::all_of(snapshot.entries.begin(), snapshot.entries.end(),
                       [](const DiscoveryEntry& entry) { return entry.httpPort != 0; });
  };
  ASSERT_TRUE(testing::waitFor(bothDetailed, std::chrono::seconds(20)));

  DiscoverySnapshot snapshot = discoverySnapshot(true);
  EXPECT_TRUE(snapshot.changed);
  std::sort(snapshot.entries.begin(), snapshot.entries.end(),
            [](const DiscoveryEntry& a, const DiscoveryEntry& b) { return a.mac < b.mac; });
  EXPECT_EQ(snapshot.entries[0].name, "Plain camera");
  EXPECT_EQ(snapshot.entries[0].httpPort, 8081);
  EXPECT_EQ(snapshot.entries[0].model, 24);
  EXPECT_EQ(snapshot.entries[1].name, "Packed camera");
  EXPECT_EQ(snapshot.entries[1].httpPort, 8082);
  EXPECT_EQ(snapshot.entries[1].detailPort, 4321);
  EXPECT_EQ(snapshot.entries[1].model, 20);
  for (const DiscoveryEntry& entry : snapshot.entries)
    EXPECT_EQ(entry.address, (std::array<std::uint8_t, 4>{127, 0, 0, 1}));
  EXPECT_FALSE(discoverySnapshot(false).changed);
  // Three searches, 100 ms apart, reach each camera.
  EXPECT_TRUE(testing::waitFor([&] { return plain.descriptionsSent() >= 3; }));

  // A refresh restarts the list, which the cameras fill again.
  refreshDiscovery();
  EXPECT_TRUE(discoverySnapshot(false).changed);
  EXPECT_TRUE(testing::waitFor(bothDetailed, std::chrono::seconds(20)));
}

// Spoofed answers cost the network nothing more than a few paced requests: a camera saying
// the same thing again is not asked again, and many made-up cameras are asked at the bucket's
// pace, not at the pace their answers arrive.
TEST_F(DiscoverySearchTest, AFloodOfAnswersIsNotAmplifiedIntoRequests) {
  // Hears what the listener sends to the loopback broadcast, as a camera would.
  const int hear = bindRequestEar();
  const int speak = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in listener{};
  listener.sin_family = AF_INET;
  listener.sin_port = htons(port_);
  listener.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  int searches = 0;
  std::map<std::array<std::uint8_t, 6>, int> detailRequests;
  const auto drain = [&] {
    std::array<std::uint8_t, 64> request{};
    ssize_t got = 0;
    while ((got = ::recv(hear, request.data(), request.size(), MSG_DONTWAIT)) == 10) {
      if (request[7] == 4) ++searches;
      if (request[7] == 2)
        ++detailRequests[{request[0], request[1], request[2], request[3], request[4], request[5]}];
    }
  };

  StartDiscovery();
  ASSERT_TRUE(testing::waitFor([&] {
    drain();
    return searches >= 1;
  }));
  const auto floodStarted = std::chrono::steady_clock::now();
  constexpr int kCameras = 30;
  constexpr int kRepeats = 20;
  for (int repeat = 0; repeat < kRepeats; ++repeat) {
    for (int camera = 0; camera < kCameras; ++camera) {
      Answer answer;
      answer.mac[5] = static_cast<std::uint8_t>(camera);
      const Bytes packet = answer.description();
      ::sendto(speak, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&listener),
               sizeof listener);
    }
  }
  ASSERT_TRUE(
      testing::waitFor([&] { return discoverySnapshot(false).entries.size() == kCameras; }));
  // Long enough for a few refills of the bucket.
  const auto watchUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  while (std::chrono::steady_clock::now() < watchUntil) {
    drain();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  drain();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - floodStarted).count();

  int total = 0;
  for (const auto& [mac, count] : detailRequests) {
    EXPECT_EQ(count, 3) << "camera " << int{mac[5]} << " was asked more than once";
    total += count;
  }
  const int allowedCameras =
      discovery::kDetailBurst + static_cast<int>(discovery::kDetailRatePerSecond * seconds) + 1;
  EXPECT_GE(total, 3 * discovery::kDetailBurst) << "the burst goes out at once";
  EXPECT_LE(total, 3 * allowedCameras) << "over " << seconds << " s";
  ::close(speak);
  ::close(hear);
}

TEST_F(DiscoverySearchTest, StopDoesNotWaitForADatagram) {
  const int hear = bindRequestEar();
  StartDiscovery();
  // Once its search is out, the listener waits for answers that never come.
  ASSERT_TRUE(testing::waitFor([&] {
    std::array<std::uint8_t, 64> request{};
    return ::recv(hear, request.data(), request.size(), MSG_DONTWAIT) == 10 && request[7] == 4;
  }));
  ::close(hear);
  // Ended by itself, not given up on after the slot's second.
  EXPECT_TRUE(stopDiscovery());
  EXPECT_TRUE(stopDiscovery());  // twice is fine
  EXPECT_TRUE(discoverySnapshot(false).entries.empty());
}

}  // namespace
}  // namespace ipcam
