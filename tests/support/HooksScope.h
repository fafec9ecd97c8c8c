#pragma once
// The one way tests set gHooks: for the scope's lifetime; the hooks as they were come back at its end.
#include "base/Hooks.h"

namespace qt {

struct HooksScope {
    Hooks saved = gHooks;
    HooksScope() = default;
    HooksScope(const HooksScope&) = delete;
    HooksScope& operator=(const HooksScope&) = delete;
    ~HooksScope() { gHooks = saved; }
};

}  // namespace qt
