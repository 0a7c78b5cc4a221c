#include "audio-tap/pulse/server_snapshot.h"

#include <algorithm>

namespace vesk::pulse {
namespace {

template <typename T, typename Pred>
const T* findIn(const std::vector<T>& items, Pred pred) {
  auto it = std::find_if(items.begin(), items.end(), pred);
  return it == items.end() ? nullptr : &*it;
}

}  // namespace

const Sink* ServerSnapshot::sinkNamed(const std::string& name) const {
  return findIn(sinks, [&](const Sink& s) { return s.name == name; });
}
const Sink* ServerSnapshot::sinkWithIndex(std::uint32_t index) const {
  return findIn(sinks, [&](const Sink& s) { return s.index == index; });
}
const Source* ServerSnapshot::sourceNamed(const std::string& name) const {
  return findIn(sources, [&](const Source& s) { return s.name == name; });
}
const Source* ServerSnapshot::sourceWithIndex(std::uint32_t index) const {
  return findIn(sources, [&](const Source& s) { return s.index == index; });
}
bool ServerSnapshot::listsItsDefaults() const {
  return (defaultSink.empty() || sinkNamed(defaultSink)) && (defaultSource.empty() || sourceNamed(defaultSource));
}

bool ServerSnapshot::announcesEveryChange() const { return serverName == "pulseaudio"; }

}  // namespace vesk::pulse
