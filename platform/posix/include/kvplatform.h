// The platform as the driver logic sees it on Linux: the Win32 and multimedia
// declarations implemented by libkvplat, plus the few build macros whose
// spelling differs between the two faces.
#pragma once

#include "kv/types.h"
#include "kv/kernel.h"
#include "kv/file.h"
#include "kv/text.h"
#include "kv/mm.h"
#include "kv/section.h"
#include "kv/reg.h"
#include "kv/user.h"

// The digits in the names of the host programs ("KVTSK" ... ".EXE"): the
// machine runs one kind of program, served by the 16-named host.
#define KV_PROGRAM_DIGITS "16"
