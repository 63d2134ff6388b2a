// The user on the emulated machine: it has one, whose registry every process
// reaches as HKEY_CURRENT_USER, so there is no other account to write for.
#include "setup/user.h"

std::string processUserSid() { return ""; }

std::string sessionUserSid() { return ""; }

bool useRegistryOf(const std::string& sid, std::string* why) {
  *why = "this machine has one user; " + sid + " is not another one of it";
  return false;
}
