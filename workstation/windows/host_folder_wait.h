#pragma once

#include <functional>
#include <string>

namespace veldrin {

// A host may start the tool before it names its folder, where the settings are. The start then
// waits for the folder, running the event loop meanwhile so that the host's end, a signal or
// closing still end the tool (`ended` tells). Says once on stderr that it waits.
void WaitForHostFolder(const std::function<std::string()>& folder,
                       const std::function<bool()>& ended);

}  // namespace veldrin
