#pragma once

#include <string>

// The reference user name and password exist only while a caller holds the
// strings these return: each call assembles its value afresh from single
// characters, writing its trace lines to standard output as it goes.
std::string build_user_name();
std::string build_password();

// Overwrites every byte of the string's buffer, up to its capacity, and
// empties it. Each string that holds a reference value, or part of one, goes
// through this before it dies, so no value outlives the verdict in memory
// that a dump could read.
void wipe_string(std::string& text);
