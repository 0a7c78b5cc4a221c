// Random UUIDs in their 36-character upper-case textual form.
#pragma once

#include <string>

namespace vesk {

/// A new random (version 4) UUID, e.g. "1B4E28BA-2FA1-41D2-883F-0016D3CCA427". Any thread.
std::string makeRandomUUID();

}  // namespace vesk
