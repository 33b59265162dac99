#include "MidiPortNames.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <charconv>

std::optional<std::pair<int, int>> AlsaPortAddress(const std::string& name) {
  const std::size_t space = name.rfind(' ');
  const std::size_t colon = name.rfind(':');
  if (space == std::string::npos || colon == std::string::npos || colon < space)
    return std::nullopt;
  int client = -1;
  int port = -1;
  const char* begin = name.data();
  const auto [clientEnd, clientError] = std::from_chars(begin + space + 1, begin + colon, client);
  const auto [portEnd, portError] = std::from_chars(begin + colon + 1, begin + name.size(), port);
  if (clientError != std::errc{} || clientEnd != begin + colon || portError != std::errc{} ||
      portEnd != begin + name.size() || client < 0 || port < 0) {
    return std::nullopt;
  }
  return std::make_pair(client, port);
}

std::string AlsaPortIdentity(const std::string& name) {
  return AlsaPortAddress(name) ? name.substr(0, name.rfind(' ')) : name;
}

std::size_t FindDeviceByName(const std::vector<std::string>& names, const std::string& name,
                             const std::function<bool(std::size_t)>& alsa) {
  const auto exact = std::find(names.begin(), names.end(), name);
  if (exact != names.end() || !AlsaPortAddress(name)) return exact - names.begin();
  const std::string identity = AlsaPortIdentity(name);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (alsa(i) && AlsaPortIdentity(names[i]) == identity) return i;
  }
  return names.size();
}

bool AlsaPortIsWire(unsigned type) {
  return (type & SND_SEQ_PORT_TYPE_HARDWARE) != 0 && (type & SND_SEQ_PORT_TYPE_SOFTWARE) == 0;
}
