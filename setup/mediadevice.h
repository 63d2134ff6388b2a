// Since Windows 10 2004 a restart drops multimedia drivers registered only
// under Drivers32. A driver that keeps working also has a root device of the
// MEDIA class whose driver key names it, under Drivers\midi\<file> and
// Drivers\wave\<file> (values Driver, Description, Alias). One device serves
// both bitnesses, for its values name only the file.
#pragma once

#include <string>

// Registers the device (found again by its hardware id, so never twice) with
// the aliases the installation chose; answers what it did, in plain words.
std::string registerMediaDevice(const std::string& midiAlias, const std::string& waveAlias);

// Removes the device once no registry view's Drivers32 names the driver any
// more; answers what it did.
std::string removeMediaDevice();
