// The control for the library-call test: compares its two arguments the usual
// way, as std::string, which ends in a C library comparison routine.
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3) {
        return 2;
    }
    const std::string one = argv[1];
    const std::string other = argv[2];
    return one == other ? 0 : 1;
}
