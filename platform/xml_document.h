#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ipcam::platform {

enum class XmlError {
  None = 0,
  Empty,      // no text, or no element in it
  TooLarge,   // longer than XmlDocument::kMaxTextBytes
  Malformed,  // not one well-formed document
};

std::string_view describe(XmlError error);

// An XML document loaded from text, with the one lookup the camera pages need: the text of
// an element named by the path of element names from the document element down.
class XmlDocument {
 public:
  static constexpr std::size_t kMaxTextBytes = 4 * 1024 * 1024;

  XmlDocument();
  ~XmlDocument();
  XmlDocument(XmlDocument&&) noexcept;
  XmlDocument& operator=(XmlDocument&&) noexcept;

  // Replaces the content with `text` (UTF-8, whatever its declaration says). Accepts exactly
  // one document element with nothing but declarations, comments and white space around it;
  // on failure the document is empty.
  XmlError load(std::string_view text);
  bool loaded() const;

  // Searches depth first, in document order, for an element reached from the document element
  // through children with these names (exact, case-sensitive); the first name is the document
  // element's. Returns that element's text (all text inside it, trimmed of surrounding white
  // space), or nullopt when no element matches or nothing is loaded.
  std::optional<std::string> findText(std::span<const std::string_view> names) const;
  // The same with the names joined by "/", e.g. "root/SystemInfo/Firmware/Version".
  std::optional<std::string> findText(std::string_view path) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ipcam::platform
