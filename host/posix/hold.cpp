#include "host/hold.h"

#include "kv/plat.h"

void hostHoldPoint(const char* name) { platHoldPoint(name); }
