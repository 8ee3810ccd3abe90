#include "platform/simulated/desktop/element_kinds.h"

#include <array>
#include <utility>

namespace orvix::platform::simulated {

namespace {

constexpr std::array<std::pair<std::string_view, ElementKind>, 11> kKindNames{{
    {"generic", ElementKind::generic},
    {"application", ElementKind::application},
    {"window", ElementKind::window},
    {"text-field", ElementKind::textField},
    {"text-area", ElementKind::textArea},
    {"combo-box", ElementKind::comboBox},
    {"web-text-area", ElementKind::webTextArea},
    {"ignores-paste", ElementKind::ignoresPaste},
    {"secure-text-field", ElementKind::secureTextField},
    {"button", ElementKind::button},
    {"static-text", ElementKind::staticText},
}};

}  // namespace

bool holdsText(ElementKind kind) {
  switch (kind) {
    case ElementKind::textField:
    case ElementKind::textArea:
    case ElementKind::comboBox:
    case ElementKind::webTextArea:
    case ElementKind::ignoresPaste:
    case ElementKind::secureTextField:
      return true;
    default:
      return false;
  }
}

ElementState elementDefaults(ElementKind kind) {
  ElementState state;
  state.kind = kind;
  const std::set<std::string, std::less<>> editable{"AXValue", "AXSelectedTextRange", "AXFocused"};
  switch (kind) {
    case ElementKind::generic:
      state.role = "AXGroup";
      break;
    case ElementKind::application:
      state.role = "AXApplication";
      break;
    case ElementKind::window:
      state.role = "AXWindow";
      state.subrole = "AXStandardWindow";
      state.settable = {"AXMinimized"};
      break;
    case ElementKind::textField:
      state.role = "AXTextField";
      state.settable = editable;
      state.paste = PasteBehaviour::insertText;
      break;
    case ElementKind::textArea:
      state.role = "AXTextArea";
      state.settable = editable;
      state.paste = PasteBehaviour::insertText;
      break;
    case ElementKind::comboBox:
      state.role = "AXComboBox";
      state.settable = editable;
      state.paste = PasteBehaviour::insertText;
      break;
    case ElementKind::webTextArea:
      // A browser's editable area: the text goes in, but the element only tells its caret.
      state.role = "AXTextArea";
      state.settable = {"AXSelectedTextRange", "AXFocused"};
      state.errors.emplace("AXValue", AXError::attributeUnsupported);
      state.paste = PasteBehaviour::insertText;
      break;
    case ElementKind::ignoresPaste:
      state.role = "AXTextArea";
      state.settable = editable;
      state.paste = PasteBehaviour::none;
      break;
    case ElementKind::secureTextField:
      // Takes a paste like any field, but never shows its value to other processes.
      state.role = "AXTextField";
      state.subrole = "AXSecureTextField";
      state.settable = editable;
      state.errors.emplace("AXValue", AXError::noValue);
      state.paste = PasteBehaviour::insertText;
      break;
    case ElementKind::button:
      state.role = "AXButton";
      break;
    case ElementKind::staticText:
      state.role = "AXStaticText";
      break;
  }
  return state;
}

std::optional<ElementKind> elementKindNamed(std::string_view name) {
  for (const auto& [kindName, kind] : kKindNames) {
    if (kindName == name) return kind;
  }
  return std::nullopt;
}

}  // namespace orvix::platform::simulated
