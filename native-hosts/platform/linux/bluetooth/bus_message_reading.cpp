#include "platform/linux/bluetooth/bus_message_reading.h"

#include <cstdint>
#include <cerrno>
#include <cstring>
#include <optional>

namespace orvix::platform::linux_bluetooth {

namespace {

template <typename Integer>
int readAs(sd_bus_message* message, char type, std::optional<std::int64_t>& value) {
  Integer v = 0;
  const int r = sd_bus_message_read_basic(message, type, &v);
  value = v;
  return r;
}

// Reads one basic value of `type` into an int64; returns 0 and leaves `value` empty for a type
// that is not an integer the binding keeps.
int readInteger(sd_bus_message* message, char type, std::optional<std::int64_t>& value) {
  switch (type) {
    case SD_BUS_TYPE_BYTE: return readAs<std::uint8_t>(message, type, value);
    case SD_BUS_TYPE_INT16: return readAs<std::int16_t>(message, type, value);
    case SD_BUS_TYPE_UINT16: return readAs<std::uint16_t>(message, type, value);
    case SD_BUS_TYPE_INT32: return readAs<std::int32_t>(message, type, value);
    case SD_BUS_TYPE_UINT32: return readAs<std::uint32_t>(message, type, value);
    case SD_BUS_TYPE_INT64: return readAs<std::int64_t>(message, type, value);
    default: return 0;
  }
}

// The value inside the variant the message is positioned at. `value` stays empty when the value
// is beyond its bound, and holds std::monostate for a container the binding does not read; the
// variant is consumed either way.
int readVariant(sd_bus_message* message, std::optional<PropertyValue>& value) {
  const char* contents = nullptr;
  int r = sd_bus_message_peek_type(message, nullptr, &contents);
  if (r < 0) return r;
  if (r == 0 || contents == nullptr) return -EBADMSG;
  const std::string signature = contents;
  r = sd_bus_message_enter_container(message, SD_BUS_TYPE_VARIANT, signature.c_str());
  if (r < 0) return r;

  if (signature == "b") {
    int flag = 0;
    r = sd_bus_message_read_basic(message, SD_BUS_TYPE_BOOLEAN, &flag);
    if (r >= 0) value = flag != 0;
  } else if (signature == "s" || signature == "o") {
    const char* text = nullptr;
    r = sd_bus_message_read_basic(message, signature[0], &text);
    if (r >= 0 && text != nullptr && std::strlen(text) <= kMaximumStringBytes) {
      value = std::string(text);
    }
  } else if (signature == "as" || signature == "ao") {
    std::vector<std::string> strings;
    r = sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, signature.c_str() + 1);
    bool kept = true;
    while (r >= 0) {
      const char* text = nullptr;
      r = sd_bus_message_read_basic(message, signature[1], &text);
      if (r <= 0) break;
      if (strings.size() >= kMaximumListEntries || std::strlen(text) > kMaximumStringBytes) {
        kept = false;
      } else {
        strings.emplace_back(text);
      }
    }
    if (r >= 0) r = sd_bus_message_exit_container(message);
    if (r >= 0 && kept) value = std::move(strings);
  } else if (signature == "ay") {
    const void* bytes = nullptr;
    std::size_t size = 0;
    r = sd_bus_message_read_array(message, SD_BUS_TYPE_BYTE, &bytes, &size);
    if (r >= 0 && size <= kMaximumByteArray) {
      const auto* begin = static_cast<const std::uint8_t*>(bytes);
      value = std::vector<std::uint8_t>(begin, begin + size);
    }
  } else if (signature.size() == 1) {
    std::optional<std::int64_t> number;
    r = readInteger(message, signature[0], number);
    if (r == 0 && !number) r = sd_bus_message_skip(message, signature.c_str());
    if (number) value = *number;
  } else {
    r = sd_bus_message_skip(message, signature.c_str());
    if (r >= 0) value = std::monostate{};
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(message);
}

// Reads the dictionary `a{<entry>}` the message is positioned at, entering and leaving the
// containers around each entry; `readEntry` reads one entry's key and value.
template <typename ReadEntry>
int readDictionary(sd_bus_message* message, const char* array, const char* entry,
                   ReadEntry readEntry) {
  int r = sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, array);
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(message, SD_BUS_TYPE_DICT_ENTRY, entry)) > 0) {
    r = readEntry();
    if (r < 0) return r;
    r = sd_bus_message_exit_container(message);
    if (r < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(message);
}

}  // namespace

int readProperties(sd_bus_message* message, PropertyMap& properties) {
  return readDictionary(message, "{sv}", "sv", [&] {
    const char* name = nullptr;
    int r = sd_bus_message_read_basic(message, SD_BUS_TYPE_STRING, &name);
    if (r < 0) return r;
    std::optional<PropertyValue> value;
    r = readVariant(message, value);
    if (r >= 0 && value && properties.size() < kMaximumProperties) {
      properties.insert_or_assign(name, std::move(*value));
    }
    return r;
  });
}

int readInterfaces(sd_bus_message* message, InterfaceMap& interfaces) {
  return readDictionary(message, "{sa{sv}}", "sa{sv}", [&] {
    const char* name = nullptr;
    int r = sd_bus_message_read_basic(message, SD_BUS_TYPE_STRING, &name);
    if (r < 0) return r;
    PropertyMap properties;
    r = readProperties(message, properties);
    if (r >= 0 && interfaces.size() < kMaximumInterfaces) {
      interfaces.insert_or_assign(name, std::move(properties));
    }
    return r;
  });
}

int readObjects(sd_bus_message* message, ObjectMap& objects) {
  return readDictionary(message, "{oa{sa{sv}}}", "oa{sa{sv}}", [&] {
    const char* path = nullptr;
    int r = sd_bus_message_read_basic(message, SD_BUS_TYPE_OBJECT_PATH, &path);
    if (r < 0) return r;
    InterfaceMap interfaces;
    r = readInterfaces(message, interfaces);
    if (r >= 0 && objects.size() < kMaximumObjects) {
      objects.insert_or_assign(path, std::move(interfaces));
    }
    return r;
  });
}

int readStrings(sd_bus_message* message, std::vector<std::string>& strings) {
  int r = sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "s");
  if (r < 0) return r;
  const char* text = nullptr;
  while ((r = sd_bus_message_read_basic(message, SD_BUS_TYPE_STRING, &text)) > 0) {
    if (strings.size() < kMaximumListEntries) strings.emplace_back(text);
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(message);
}

}  // namespace orvix::platform::linux_bluetooth
