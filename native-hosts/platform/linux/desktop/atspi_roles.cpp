#include "platform/linux/desktop/atspi_roles.h"

namespace orvix::platform::linux_desktop {

std::string_view axRoleFor(AtspiRole role, bool multiLine) {
  switch (role) {
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_EDITBAR:
      return multiLine ? "AXTextArea" : "AXTextField";
    case ATSPI_ROLE_PASSWORD_TEXT:
    case ATSPI_ROLE_SPIN_BUTTON:
      return "AXTextField";
    case ATSPI_ROLE_TERMINAL:
    case ATSPI_ROLE_DOCUMENT_TEXT:
      return "AXTextArea";
    case ATSPI_ROLE_COMBO_BOX: return "AXComboBox";
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_TOGGLE_BUTTON:
      return "AXButton";
    case ATSPI_ROLE_CHECK_BOX: return "AXCheckBox";
    case ATSPI_ROLE_RADIO_BUTTON: return "AXRadioButton";
    case ATSPI_ROLE_IMAGE:
    case ATSPI_ROLE_ICON:
      return "AXImage";
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_STATIC:
      return "AXStaticText";
    case ATSPI_ROLE_MENU_ITEM:
    case ATSPI_ROLE_CHECK_MENU_ITEM:
    case ATSPI_ROLE_RADIO_MENU_ITEM:
      return "AXMenuItem";
    case ATSPI_ROLE_PAGE_TAB: return "AXTab";
    case ATSPI_ROLE_TOOL_BAR: return "AXToolbar";
    case ATSPI_ROLE_FRAME:
    case ATSPI_ROLE_WINDOW:
    case ATSPI_ROLE_DIALOG:
      return "AXWindow";
    case ATSPI_ROLE_APPLICATION: return "AXApplication";
    case ATSPI_ROLE_LINK: return "AXLink";
    case ATSPI_ROLE_LIST: return "AXList";
    case ATSPI_ROLE_TABLE: return "AXTable";
    case ATSPI_ROLE_MENU: return "AXMenu";
    case ATSPI_ROLE_MENU_BAR: return "AXMenuBar";
    case ATSPI_ROLE_SCROLL_PANE: return "AXScrollArea";
    case ATSPI_ROLE_HEADING: return "AXHeading";
    case ATSPI_ROLE_DOCUMENT_WEB:
    case ATSPI_ROLE_DOCUMENT_FRAME:
      return "AXWebArea";
    case ATSPI_ROLE_PANEL:
    case ATSPI_ROLE_FILLER:
    case ATSPI_ROLE_SECTION:
      return "AXGroup";
    default:
      return "AXUnknown";
  }
}

bool isWindowRole(AtspiRole role) {
  return role == ATSPI_ROLE_FRAME || role == ATSPI_ROLE_WINDOW || role == ATSPI_ROLE_DIALOG;
}

}  // namespace orvix::platform::linux_desktop
