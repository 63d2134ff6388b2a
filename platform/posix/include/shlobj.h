// The shell's folder declarations under the name the system's header has, so
// that shared code includes <shlobj.h> on both faces of the platform.
#pragma once

#include "kv/shell.h"
