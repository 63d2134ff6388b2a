// The user whose own settings installation, removal and repair change: the
// MIDI mapper's values and their saved set, the start of the instance window
// by an earlier installation, the note that a repair was offered. All live
// under HKEY_CURRENT_USER, which for an elevated run entered with another
// account's credentials is that account's, not the user's at the desktop.
#pragma once

#include <string>

// The account this process runs as, as a security identifier in text
// ("S-1-5-21-..."); empty where the system has one user only.
std::string processUserSid();

// The account logged on to this process's session, the user at its desktop;
// empty when there is none (a service's session) or the system has one user.
std::string sessionUserSid();

// Makes HKEY_CURRENT_USER of this process, for every later call, that
// account's own registry (loaded while the account is logged on). False,
// with the reason in `why`, when it cannot be reached; HKEY_CURRENT_USER is
// then left as it was.
bool useRegistryOf(const std::string& sid, std::string* why);
