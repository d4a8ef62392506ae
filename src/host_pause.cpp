#include "host_pause.hpp"

#if defined(_WIN32)

#include <cstdlib>

void pause_after_failure()
{
    // The result is of no interest: a host that cannot pause still ends the run.
    static_cast<void>(std::system("pause"));
}

#else

#include <cerrno>
#include <csignal>
#include <iostream>

#include <termios.h>
#include <unistd.h>

namespace {

// The terminal settings to put back if a signal ends the wait; only the
// signal handler and wait_for_key_press touch it.
termios settings_before_wait{};

extern "C" void restore_terminal_and_reraise(int signal_number)
{
    // The handler was installed with SA_RESETHAND | SA_NODEFER, so raising the
    // signal again ends the run the way the signal would have without us.
    static_cast<void>(tcsetattr(STDIN_FILENO, TCSANOW, &settings_before_wait));
    static_cast<void>(raise(signal_number));
}

void read_one_byte()
{
    char byte = 0;
    while (read(STDIN_FILENO, &byte, 1) < 0 && errno == EINTR) {
    }
}

void wait_for_key_press()
{
    if (tcgetattr(STDIN_FILENO, &settings_before_wait) != 0) {
        read_one_byte();
        return;
    }

    constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction previous[std::size(ending_signals)] = {};
    bool replaced[std::size(ending_signals)] = {};
    for (std::size_t i = 0; i < std::size(ending_signals); ++i) {
        sigaction(ending_signals[i], nullptr, &previous[i]);
        if (previous[i].sa_handler == SIG_IGN) {
            continue; // an ignored signal would not have ended the run either
        }
        struct sigaction restoring = {};
        restoring.sa_handler = restore_terminal_and_reraise;
        restoring.sa_flags = static_cast<int>(SA_RESETHAND | SA_NODEFER);
        sigemptyset(&restoring.sa_mask);
        replaced[i] = sigaction(ending_signals[i], &restoring, nullptr) == 0;
    }

    termios single_key = settings_before_wait;
    single_key.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    single_key.c_cc[VMIN] = 1;
    single_key.c_cc[VTIME] = 0;
    // TCSAFLUSH drops whatever was typed before the wait, so the rest of an
    // answer line cannot count as the key.
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &single_key);
    read_one_byte();
    tcsetattr(STDIN_FILENO, TCSANOW, &settings_before_wait);

    for (std::size_t i = 0; i < std::size(ending_signals); ++i) {
        if (replaced[i]) {
            sigaction(ending_signals[i], &previous[i], nullptr);
        }
    }
}

} // namespace

void pause_after_failure()
{
    std::cout << "Press any key to continue . . . " << std::flush;
    if (isatty(STDIN_FILENO) != 0) {
        wait_for_key_press();
    } else {
        // Straight from the descriptor, not from what the input stream has
        // buffered, and at most one byte: redirected input never blocks the
        // run once it is used up.
        read_one_byte();
    }
    std::cout << std::endl;
}

#endif
