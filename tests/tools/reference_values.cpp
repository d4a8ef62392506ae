// Writes the reference user name and password, one a line, to the file named
// on the command line, so that the scripted tests get them from the builders
// and from nowhere else. The builders' trace lines go to standard output.
#include "credentials.hpp"

#include <fstream>

int main(int argc, char** argv)
{
    if (argc != 2) {
        return 2;
    }
    const std::string user_name = build_user_name();
    const std::string password = build_password();
    std::ofstream out(argv[1], std::ios::binary);
    out << user_name << '\n' << password << '\n';
    out.close();
    return out ? 0 : 1;
}
