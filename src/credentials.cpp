#include "credentials.hpp"

#include <array>
#include <cstdio>
#include <iostream>

namespace {

constexpr std::size_t character_count = 12;
using character_array = std::array<std::string, character_count>;

std::string entry(char literal)
{
    // Not `{1, literal}`: braces would make a string of two characters.
    return std::string(1, literal); // NOLINT(modernize-return-braced-init-list)
}

// Both builders draw from the same twelve one-character entries; a fresh copy
// is made for each call and dies with it.
//
// The twelve literals stand among decoys that make up the whole alphabet, so
// neither the file nor a diff against another copy tells which characters
// count. Each stands behind one to three filler bytes that are printable in no
// `strings` encoding, 8, 16 or 32 bits wide, so no text line holds two of
// them. Which literal makes which entry is a constant of the code, not data.
// The table is volatile: the optimiser keeps it exactly as written and cannot
// fold a value out of it. (tools/challenge-set writes each learner's own
// table, entries and positions in this same form.)
character_array make_character_array()
{
    static const volatile char literals[] = {
        '\x7f', '\x06', '4',    '\x15', '\x07', '\x16', 'h',    '\x08', '\x07', 'u',    '\x7f',
        '\x14', '\x17', 'q',    '\x19', '\x16', '\x0e', '7',    '\x14', '\x0f', '\x16', '6',
        '\x1d', '\x1b', '\x16', '0',    '\x0e', '9',    '\x02', '\x19', '\x1c', 'x',    '\x1d',
        '\x1d', '\x1d', 'y',    '\x08', 'c',    '\x10', '\x06', '\x1c', 'i',    '\x02', 'f',
        '\x1c', '\x1e', '\x08', 'b',    '\x19', 'j',    '\x11', '\x0e', '\x1e', 'd',    '\x16',
        '3',    '\x05', '\x7f', '\x17', 'a',    '\x04', '\x05', '1',    '\x03', 'w',    '\x06',
        '\x7f', 'm',    '\x1a', '\x08', 'o',    '\x10', '\x1a', '\x13', 'e',    '\x13', '\x17',
        '2',    '\x03', 'v',    '\x1d', '\x02', 'p',    '\x1c', '\x1d', 't',    '\x19', '5',
        '\x11', 'n',    '\x15', 'g',    '\x17', 's',    '\x15', '\x04', 'r',    '\x08', '\x16',
        'l',    '\x05', '\x18', 'z',    '\x15', '\x1e', 'k',    '\x17', '\x0e', '8',    '\x14'};
    return {entry(literals[6]),  entry(literals[2]),   entry(literals[64]), entry(literals[13]),
            entry(literals[27]), entry(literals[102]), entry(literals[67]), entry(literals[77]),
            entry(literals[31]), entry(literals[49]),  entry(literals[17]), entry(literals[79])};
}

void wipe_character_array(character_array& characters)
{
    for (std::string& character : characters) {
        wipe_string(character);
    }
}

// The positions are arguments written into each builder's code, not a table
// in the data. The value grows in one string whose room is reserved first:
// `a + b` would leave a temporary, and growing would leave a freed buffer,
// holding part of it where no wipe reaches.
template <typename... Entries> std::string join_entries(const Entries&... entries)
{
    std::string joined;
    joined.reserve(sizeof...(entries));
    ((joined += entries), ...);
    return joined;
}

void trace_line(const char* text)
{
    std::cout << text << std::endl;
}

} // namespace

std::string build_user_name()
{
    trace_line("Beginning of User Array");
    auto characters = make_character_array();
    trace_line("End of user array");
    trace_line("Begining of user array assembly");
    std::string user_name = join_entries(characters[9], characters[3], characters[7]);
    trace_line("End of user array assembly");
    std::printf("End of Username");
    wipe_character_array(characters);
    return user_name;
}

std::string build_password()
{
    trace_line("Beginning of password Array");
    auto characters = make_character_array();
    trace_line("End of password array");
    trace_line("Begining of password array assembly");
    std::string password =
        join_entries(characters[5], characters[1], characters[11], characters[8], characters[10]);
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
