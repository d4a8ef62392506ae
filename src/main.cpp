#include "answer.hpp"
#include "credentials.hpp"
#include "host.hpp"

#include <cstdio>
#include <iostream>
#include <string>

int main()
{
    keep_lost_reader_from_ending_run();
    std::string user_name_answer;
    std::cout << "Username: ";
    read_answer(std::cin, user_name_answer);

    std::string password_answer;
    std::cout << "Password: ";
    read_answer(std::cin, password_answer);

    std::printf("Beginning of compare function");
    bool verdict = false;
    {
        // The reference values live only inside this block: the password,
        // if it was built at all, dies first, then the user name, and each
        // is overwritten before it dies.
        std::string reference_user_name = build_user_name();
        if (answers_match(user_name_answer, reference_user_name)) {
            std::string reference_password = build_password();
            verdict = answers_match(password_answer, reference_password);
            wipe_string(reference_password);
        }
        wipe_string(reference_user_name);
    }

    if (verdict) {
        std::printf("Inside of function");
        std::cout << "Correct" << std::endl;
    } else {
        std::cout << "Try Again" << std::endl;
    }
    // A transcript that could not be written (a full disk, a closed stream)
    // gave no verdict: say so where it can still be seen, and let the exit
    // status tell the caller, instead of reporting success. There is then
    // nothing for the pause to show.
    if (!std::cout || std::ferror(stdout) != 0) {
        static_cast<void>(std::fputs("login-challenge: cannot write to standard output\n", stderr));
        return 1;
    }
    if (!verdict) {
        pause_after_failure();
    }
    return 0;
}
