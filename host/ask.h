// A question to the user at the desktop, and a word to them, for the instance
// window's offer of a repair at logon.
#pragma once

// Asks `question` with the answers Yes and No; true for Yes.
bool askUser(const char* question);

// Tells `text`, and returns once the user has read it.
void tellUser(const char* text);
