// The question and the word on Windows: a message box of the product's name,
// brought to the front, since nothing of the product is on the screen at
// logon to own it.
#include "kvplatform.h"
#include "host/ask.h"

namespace {
const char kTitle[] = "Kelvasong";
}

bool askUser(const char* question) {
  return MessageBoxA(nullptr, question, kTitle, MB_YESNO | MB_ICONWARNING | MB_SETFOREGROUND) == IDYES;
}

void tellUser(const char* text) { MessageBoxA(nullptr, text, kTitle, MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND); }
