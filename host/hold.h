// Named steps of the host's claim and answer, at which a test can hold the host
// (the platform's hold points, on Linux); the Windows build passes them by.
#pragma once

void hostHoldPoint(const char* name);
