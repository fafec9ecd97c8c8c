#include "base/Hooks.h"

Hooks gHooks;
