// The question and the word on the emulated machine, which has no display:
// they go to standard output, and nobody is there to answer Yes.
#include "host/ask.h"

#include "host/say.h"

bool askUser(const char* question) {
  hostSayTo(stdout, "%s [no one to answer on this machine: No]", question);
  return false;
}

void tellUser(const char* text) { hostSayTo(stdout, "%s", text); }
