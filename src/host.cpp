#include "host.hpp"

#if defined(_WIN32)

#include <cstdlib>

void keep_lost_reader_from_ending_run()
{
    // Windows has no SIGPIPE: such a write fails, and the program says so.
}

void pause_after_failure()
{
    // The result is of no interest: a host that cannot pause still ends the run.
    static_cast<void>(std::system("pause"));
}

#else

#include <cerrno>
#include <csignal>
#include <iostream>

#include <poll.h>
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

// Reads one byte; false at the end of input or on an error.
bool read_one_byte(unsigned char& byte)
{
    for (;;) {
        const ssize_t count = read(STDIN_FILENO, &byte, 1);
        if (count >= 0 || errno != EINTR) {
            return count == 1;
        }
    }
}

void read_one_byte()
{
    unsigned char byte = 0;
    static_cast<void>(read_one_byte(byte));
}

// The rest of a key comes right behind its first byte; a byte that has not
// come within this time belongs to no key (Escape alone sends just ESC).
constexpr int rest_of_key_ms = 100;

bool read_next_byte_of_key(unsigned char& byte)
{
    pollfd input{STDIN_FILENO, POLLIN, 0};
    int ready = 0;
    do {
        ready = poll(&input, 1, rest_of_key_ms);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && read_one_byte(byte);
}

// Extra bytes that follow a UTF-8 lead byte.
int continuation_count(unsigned char lead)
{
    if (lead >= 0xF0) {
        return 3;
    }
    if (lead >= 0xE0) {
        return 2;
    }
    return lead >= 0xC0 ? 1 : 0;
}

void read_rest_of_character(unsigned char lead)
{
    unsigned char byte = 0;
    for (int i = continuation_count(lead); i > 0 && read_next_byte_of_key(byte); --i) {
    }
}

// One key press may send several bytes: an arrow or function key an escape
// sequence (ESC [ D, ESC [ 1 5 ~, ESC O P), a letter outside ASCII its UTF-8
// bytes. All of them are read, so nothing of the key is left for the program
// that reads the terminal next.
void read_one_key()
{
    constexpr unsigned char escape = 0x1B;
    unsigned char byte = 0;
    if (!read_one_byte(byte)) {
        return;
    }
    if (byte != escape) {
        read_rest_of_character(byte);
        return;
    }
    if (!read_next_byte_of_key(byte)) {
        return;
    }
    if (byte == '[') {
        // Parameters and intermediates (0x20-0x3F) until a final byte; the
        // Linux console's F1-F5 (ESC [ [ A) have one more '['.
        if (read_next_byte_of_key(byte) && byte == '[') {
            static_cast<void>(read_next_byte_of_key(byte));
            return;
        }
        while (byte >= 0x20 && byte <= 0x3F && read_next_byte_of_key(byte)) {
        }
    } else if (byte == 'O') {
        static_cast<void>(read_next_byte_of_key(byte));
    } else {
        read_rest_of_character(byte); // Alt with a key
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
    read_one_key();
    tcsetattr(STDIN_FILENO, TCSANOW, &settings_before_wait);

    for (std::size_t i = 0; i < std::size(ending_signals); ++i) {
        if (replaced[i]) {
            sigaction(ending_signals[i], &previous[i], nullptr);
        }
    }
}

} // namespace

void keep_lost_reader_from_ending_run()
{
    static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
}

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
