#include "credentials.hpp"

#include <array>
#include <cstdio>
#include <iostream>

namespace {

constexpr std::size_t character_count = 12;

// Both builders draw from the same twelve one-character entries; a fresh copy
// is made for each call and dies with it.
std::array<std::string, character_count> make_character_array()
{
    return {"h", "4", "w", "q", "9", "z", "m", "2", "x", "j", "7", "v"};
}

// The positions are read through volatile so that the optimiser cannot fold
// the assembly into one constant, which would put a whole reference value
// into the executable's bytes.
template <std::size_t Count>
std::string join_entries(const std::array<std::string, character_count>& characters,
                         const volatile unsigned char (&positions)[Count])
{
    std::string joined = characters.at(positions[0]) + characters.at(positions[1]);
    for (std::size_t i = 2; i < Count; ++i) {
        joined += characters.at(positions[i]);
    }
    return joined;
}

void trace_line(const char* text)
{
    std::cout << text << std::endl;
}

} // namespace

std::string build_user_name()
{
    static const volatile unsigned char positions[] = {9, 3, 7};

    trace_line("Beginning of User Array");
    const auto characters = make_character_array();
    trace_line("End of user array");
    trace_line("Begining of user array assembly");
    std::string user_name = join_entries(characters, positions);
    trace_line("End of user array assembly");
    std::printf("End of Username");
    return user_name;
}

std::string build_password()
{
    static const volatile unsigned char positions[] = {5, 1, 11, 8, 10};

    trace_line("Beginning of password Array");
    const auto characters = make_character_array();
    trace_line("End of password array");
    trace_line("Begining of password array assembly");
    std::string password = join_entries(characters, positions);
    trace_line("End of password array assembly");
    return password;
}
