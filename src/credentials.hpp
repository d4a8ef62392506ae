#pragma once

#include <string>

// The reference user name and password exist only while a caller holds the
// strings these return: each call assembles its value afresh from single
// characters, writing its trace lines to standard output as it goes.
std::string build_user_name();
std::string build_password();
