#include <array>
#include <string_view>
#include <utility>

#include "protocols/camera_discovery.h"

namespace ipcam {
namespace {

constexpr int kModelCodes = 61;
constexpr int kVendors = 36;
constexpr int kMakerVendor = 0;
constexpr std::string_view kUnknownModel = "UnKnown";

// What a camera of the maker calls itself when it reports a third value: the names printed on
// the current boxes.
constexpr std::array<std::pair<int, std::string_view>, 13> kFixedNames{{
    {19, "Corvel_RX62"},
    {20, "Corvel_RX62W"},
    {21, "Corvel_RX62P"},
    {22, "Corvel_RX42"},
    {23, "Corvel_RX42W"},
    {24, "Corvel_RX42P"},
    {25, "Corvel_RX46"},
    {26, "Corvel_RX46W"},
    {27, "Corvel_RX46P"},
    {28, "Corvel_RX64"},
    {29, "Corvel_RX64W"},
    {30, "Corvel_RX64P"},
    {35, "Corvel_RX48W"},
}};

// The maker's product list by model code. Codes 36 to 44 are the same cameras as 19 to 27,
// reported by an older firmware; partners' models (other vendor indices) are not known to us,
// so they stay empty and the page shows no name.
constexpr std::array<std::pair<int, std::string_view>, 49> kMakerModels{{
    {9, "Corvel_RX27PT"}, {10, "Corvel_RX27PTW"}, {11, "Corvel_RX52"},   {12, "Corvel_RX52W"},
    {13, "Corvel_RX53"},  {14, "Corvel_RX53W"},   {15, "Corvel_RX54"},   {16, "Corvel_RX54W"},
    {17, "Corvel_RX56"},  {18, "Corvel_RX56W"},   {19, "Corvel_RX62"},   {20, "Corvel_RX62W"},
    {21, "Corvel_RX62P"}, {22, "Corvel_RX42"},    {23, "Corvel_RX42W"},  {24, "Corvel_RX42P"},
    {25, "Corvel_RX46"},  {26, "Corvel_RX46W"},   {27, "Corvel_RX46P"},  {28, "Corvel_RX64"},
    {29, "Corvel_RX64W"}, {30, "Corvel_RX64P"},   {31, "Corvel_RX66"},   {32, "Corvel_RX66W"},
    {33, "Corvel_RX66P"}, {34, "Corvel_RX48"},    {35, "Corvel_RX48W"},  {36, "Corvel_RX62"},
    {37, "Corvel_RX62W"}, {38, "Corvel_RX62P"},   {39, "Corvel_RX42"},   {40, "Corvel_RX42W"},
    {41, "Corvel_RX42P"}, {42, "Corvel_RX46"},    {43, "Corvel_RX46W"},  {44, "Corvel_RX46P"},
    {47, "Corvel_RX82"},  {48, "Corvel_RX82W"},   {49, "Corvel_RX82P"},  {50, "Corvel_RX72"},
    {51, "Corvel_RX72W"}, {52, "Corvel_RX72P"},   {53, "Corvel_RX86"},   {54, "Corvel_RX86W"},
    {55, "Corvel_RX86P"}, {56, "Corvel_RX92"},    {57, "Corvel_RX92PT"}, {58, "Corvel_RX92W"},
    {60, "Corvel_RX96"},
}};

using ModelTable = std::array<std::array<std::string_view, kVendors>, kModelCodes>;

constexpr ModelTable makeModelTable() {
  ModelTable table{};
  for (const auto& [code, name] : kMakerModels) table[code][kMakerVendor] = name;
  return table;
}

constexpr ModelTable kModelTable = makeModelTable();

std::string_view fixedName(int model) {
  for (const auto& [code, name] : kFixedNames) {
    if (code == model) return name;
  }
  return {};
}

}  // namespace

std::string LookupModelName(int model, int vendor, int third) {
  if (vendor == kMakerVendor && third != 0) {
    const std::string_view name = fixedName(model);
    if (!name.empty()) return std::string(name);
  }
  // Negative values cannot come from the one-byte fields, but must not index the table either.
  if (model < 0 || model >= kModelCodes || vendor < 0 || vendor >= kVendors)
    return std::string(kUnknownModel);
  return std::string(kModelTable[model][vendor]);
}

}  // namespace ipcam
