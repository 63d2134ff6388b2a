// Where the host's settings live and how they combine: section [Host] of
// KVHOST.INI in the install directory holds the machine's (written by the
// installation, read-only to standard users), and the same section of
// KVHOST.INI in the folder Kelvasong of the user's application data holds the
// user's own, which win key by key. The host runs as its client's user, so it
// reads that user's file. The settings window writes the user's file, whole or
// not at all.
#pragma once

#include <string>
#include <vector>

struct SettingsFiles {
  std::string user;     // the user's own; empty when the user has no application-data folder
  std::string machine;  // the machine's, in the install directory
};
// The files the host in `installDir` reads, the user's first.
SettingsFiles settingsFiles(const std::string& installDir);
// %APPDATA%\Kelvasong\KVHOST.INI; empty when the folder cannot be found (or,
// with `create`, made).
std::string userSettingsFile(bool create);
// How a file is named where a setting from it is told: "KVHOST.INI" for the
// machine's, "the user's KVHOST.INI" for the user's.
extern const char kMachineSettingsLabel[];
extern const char kUserSettingsLabel[];

// One key's value in one file, as the host reads it; false when the file does
// not have the key (a key with an empty value is there).
bool settingIn(const std::string& file, const char* key, std::string* value);

// A change to the user's file: a key set, or removed so that the machine's
// setting holds for it again.
struct SettingChange {
  std::string key;
  bool remove = false;
  std::string value;
};
// `text`, an INI file's whole text, with the changes made in its first section
// named `section` (made at the end when there is none): the first line of a
// key takes its new value, its later lines and removed keys go, new keys
// follow the section's last line. Every other line stays as it was.
std::string editIniSection(const std::string& text, const char* section, const std::vector<SettingChange>& changes);
// Makes the changes in the user's file `file`, whole or not at all: the new
// text is written to FILE.new beside it and flushed to the disk, then put in
// its place with one replace. A failure at any step, or a crash, leaves the
// old file as it was. False with the reason in `why`.
bool writeUserSettings(const std::string& file, const std::vector<SettingChange>& changes, std::string* why);
