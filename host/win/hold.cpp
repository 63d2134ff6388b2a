#include "host/hold.h"

void hostHoldPoint(const char*) {}
