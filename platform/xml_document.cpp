#include "platform/xml_document.h"

#include <pugixml.hpp>
#include <vector>

namespace ipcam::platform {
namespace {

bool isXmlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string trimmed(std::string text) {
  std::size_t begin = 0;
  while (begin < text.size() && isXmlSpace(text[begin])) ++begin;
  std::size_t end = text.size();
  while (end > begin && isXmlSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// All character data below `element`, in document order. Walked without recursion: a
// document may nest far deeper than the stack would allow.
std::string textBelow(pugi::xml_node element) {
  std::string text;
  pugi::xml_node node = element.first_child();
  while (node && node != element) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) text += node.value();
    if (node.first_child()) {
      node = node.first_child();
      continue;
    }
    while (node != element && !node.next_sibling()) node = node.parent();
    if (node != element) node = node.next_sibling();
  }
  return trimmed(std::move(text));
}

// Depth first with backtracking: an element with the right name whose children lead nowhere
// does not end the search. Recursion is as deep as the path, not as the document.
pugi::xml_node findBelow(pugi::xml_node element, std::span<const std::string_view> names) {
  if (names.empty()) return element;
  for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
    if (child.type() != pugi::node_element || names.front() != child.name()) continue;
    if (pugi::xml_node found = findBelow(child, names.subspan(1))) return found;
  }
  return {};
}

}  // namespace

std::string_view describe(XmlError error) {
  switch (error) {
    case XmlError::None:
      return "ok";
    case XmlError::Empty:
      return "no XML element";
    case XmlError::TooLarge:
      return "XML text too large";
    case XmlError::Malformed:
      return "malformed XML";
  }
  return "unknown";
}

struct XmlDocument::Impl {
  pugi::xml_document document;
  bool loaded = false;
};

XmlDocument::XmlDocument() : impl_(std::make_unique<Impl>()) {}
XmlDocument::~XmlDocument() = default;
XmlDocument::XmlDocument(XmlDocument&&) noexcept = default;
XmlDocument& XmlDocument::operator=(XmlDocument&&) noexcept = default;

XmlError XmlDocument::load(std::string_view text) {
  if (!impl_) impl_ = std::make_unique<Impl>();
  impl_->document.reset();
  impl_->loaded = false;
  if (text.size() > kMaxTextBytes) return XmlError::TooLarge;

  // Parsed as a fragment so that text outside the document element shows up and can be
  // refused; pugixml would otherwise drop it silently. DOCTYPEs are skipped and no entity
  // other than the predefined ones is expanded.
  const pugi::xml_parse_result parsed = impl_->document.load_buffer(
      text.data(), text.size(), pugi::parse_default | pugi::parse_fragment, pugi::encoding_utf8);
  if (!parsed) {
    impl_->document.reset();
    return XmlError::Malformed;
  }
  int elements = 0;
  bool strayText = false;
  for (pugi::xml_node node = impl_->document.first_child(); node; node = node.next_sibling()) {
    if (node.type() == pugi::node_element) ++elements;
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) strayText = true;
  }
  if (elements != 1 || strayText) {
    impl_->document.reset();
    return elements == 0 && !strayText ? XmlError::Empty : XmlError::Malformed;
  }
  impl_->loaded = true;
  return XmlError::None;
}

bool XmlDocument::loaded() const {
  return impl_ && impl_->loaded;
}

std::optional<std::string> XmlDocument::findText(std::span<const std::string_view> names) const {
  if (!loaded() || names.empty()) return std::nullopt;
  const pugi::xml_node root = impl_->document.document_element();
  if (names.front() != root.name()) return std::nullopt;
  const pugi::xml_node found = findBelow(root, names.subspan(1));
  if (!found) return std::nullopt;
  return textBelow(found);
}

std::optional<std::string> XmlDocument::findText(std::string_view path) const {
  std::vector<std::string_view> names;
  while (true) {
    const std::size_t slash = path.find('/');
    names.push_back(path.substr(0, slash));
    if (names.back().empty()) return std::nullopt;
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return findText(std::span<const std::string_view>(names));
}

}  // namespace ipcam::platform
