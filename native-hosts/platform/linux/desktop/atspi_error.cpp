#include "platform/linux/desktop/atspi_error.h"

#include <string_view>

namespace orvix::platform::linux_desktop {

AXError consume(GError*& error) {
  if (error == nullptr) return AXError::success;
  const std::string_view message = error->message != nullptr ? error->message : "";
  AXError code = AXError::failure;
  if (message.find("NoReply") != std::string_view::npos ||
      message.find("Timeout") != std::string_view::npos ||
      message.find("timeout from dbind") != std::string_view::npos ||  // libatspi's own limit
      message.find("Did not receive a reply") != std::string_view::npos) {
    code = AXError::cannotComplete;
  } else if (message.find("UnknownObject") != std::string_view::npos ||
             message.find("ServiceUnknown") != std::string_view::npos ||
             message.find("NameHasNoOwner") != std::string_view::npos ||
             message.find("UnknownMethod") != std::string_view::npos) {
    code = AXError::invalidUIElement;
  }
  g_error_free(error);
  error = nullptr;
  return code;
}

AXError consume(GError*& error, bool done) {
  const AXError failure = consume(error);
  if (failure != AXError::success) return failure;
  return done ? AXError::success : AXError::cannotComplete;
}

}  // namespace orvix::platform::linux_desktop
