#include "credentials.hpp"

#include <array>
#include <cstdio>
#include <iostream>

namespace {

constexpr std::size_t character_count = 12;
using character_array = std::array<std::string, character_count>;

// A control byte after each character literal. Stored side by side, the twelve
// literals would read as one text to `strings` in some encoding (string
// literals "h\0" "4\0" ... are UTF-16), handing a learner the pool of
// characters to search. A control byte is printable in no encoding, 8, 16 or
// 32 bits wide, so each character stands alone, whatever the compiler or the
// linker does: the table is volatile, so it is kept exactly as written.
constexpr char apart = '\x01';

// Both builders draw from the same twelve one-character entries; a fresh copy
// is made for each call and dies with it.
character_array make_character_array()
{
    static const volatile char literals[character_count][2] = {
        {'h', apart}, {'4', apart}, {'w', apart}, {'q', apart}, {'9', apart}, {'z', apart},
        {'m', apart}, {'2', apart}, {'x', apart}, {'j', apart}, {'7', apart}, {'v', apart}};
    character_array characters;
    for (std::size_t i = 0; i < character_count; ++i) {
        characters[i] = std::string(1, literals[i][0]);
    }
    return characters;
}

void wipe_character_array(character_array& characters)
{
    for (std::string& entry : characters) {
        wipe_string(entry);
    }
}

// The positions are read through volatile so that the optimiser cannot fold
// the assembly into one constant, which would put a whole reference value
// into the executable's bytes. The value grows in one string whose room is
// reserved first: `a + b` would leave a temporary, and growing would leave a
// freed buffer, holding part of it where no wipe reaches.
template <std::size_t Count>
std::string join_entries(const character_array& characters,
                         const volatile unsigned char (&positions)[Count])
{
    std::string joined;
    joined.reserve(Count);
    for (std::size_t i = 0; i < Count; ++i) {
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
    auto characters = make_character_array();
    trace_line("End of user array");
    trace_line("Begining of user array assembly");
    std::string user_name = join_entries(characters, positions);
    trace_line("End of user array assembly");
    std::printf("End of Username");
    wipe_character_array(characters);
    return user_name;
}

std::string build_password()
{
    static const volatile unsigned char positions[] = {5, 1, 11, 8, 10};

    trace_line("Beginning of password Array");
    auto characters = make_character_array();
    trace_line("End of password array");
    trace_line("Begining of password array assembly");
    std::string password = join_entries(characters, positions);
    trace_line("End of password array assembly");
    wipe_character_array(characters);
    return password;
}

void wipe_string(std::string& text)
{
    // The whole buffer, not only the characters in use. Stores through a
    // volatile pointer are observable, so the optimiser cannot drop them as
    // dead stores to a string that is about to die.
    text.resize(text.capacity());
    volatile char* const bytes = text.data();
    for (std::size_t i = 0; i < text.size(); ++i) {
        bytes[i] = '\0';
    }
    text.clear();
}
