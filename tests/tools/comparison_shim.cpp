// Preloaded into a run (LD_PRELOAD) to record what the C library's comparison
// and search routines are handed. Each call appends its name and the bytes of
// its arguments, NUL-separated, to the file named by LOGIN_CHALLENGE_CALL_LOG.
// The routines are implemented here rather than forwarded, and no C string
// header is included, so their declarations cannot clash with ours.
#include <cstddef>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

namespace {

int log_descriptor = -1;

std::size_t length_of(const char* text)
{
    std::size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    return length;
}

void append(const void* bytes, std::size_t length)
{
    if (log_descriptor >= 0 && length > 0) {
        // A record that cannot be written is lost; the test then misses it.
        const ssize_t written = write(log_descriptor, bytes, length);
        static_cast<void>(written);
    }
}

void append_text(const char* text)
{
    append(text, length_of(text) + 1);
}

void record(const char* routine, const void* left, std::size_t left_length, const void* right,
            std::size_t right_length)
{
    append_text(routine);
    append(left, left_length);
    append("\0", 1);
    append(right, right_length);
    append("\0\n", 2);
}

int compare_bytes(const unsigned char* one, const unsigned char* other, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        if (one[i] != other[i]) {
            return one[i] < other[i] ? -1 : 1;
        }
    }
    return 0;
}

const unsigned char* as_bytes(const void* pointer)
{
    return static_cast<const unsigned char*>(pointer);
}

std::size_t bounded_length(const char* text, std::size_t limit)
{
    std::size_t length = 0;
    while (length < limit && text[length] != '\0') {
        ++length;
    }
    return length;
}

__attribute__((constructor)) void open_log()
{
    const char* path = std::getenv("LOGIN_CHALLENGE_CALL_LOG");
    if (path != nullptr) {
        log_descriptor = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        append_text("loaded\n");
    }
}

} // namespace

extern "C" {

int memcmp(const void* one, const void* other, std::size_t length)
{
    record("memcmp", one, length, other, length);
    return compare_bytes(as_bytes(one), as_bytes(other), length);
}

int bcmp(const void* one, const void* other, std::size_t length)
{
    record("bcmp", one, length, other, length);
    return compare_bytes(as_bytes(one), as_bytes(other), length);
}

int strcmp(const char* one, const char* other)
{
    const std::size_t length = length_of(one);
    record("strcmp", one, length, other, length_of(other));
    return compare_bytes(as_bytes(one), as_bytes(other), length + 1);
}

int strncmp(const char* one, const char* other, std::size_t limit)
{
    const std::size_t one_length = bounded_length(one, limit);
    const std::size_t other_length = bounded_length(other, limit);
    record("strncmp", one, one_length, other, other_length);
    const std::size_t shorter = one_length < other_length ? one_length : other_length;
    const std::size_t compared = shorter < limit ? shorter + 1 : limit;
    return compare_bytes(as_bytes(one), as_bytes(other), compared);
}

void* memchr(const void* bytes, int wanted, std::size_t length)
{
    record("memchr", bytes, length, "", 0);
    for (std::size_t i = 0; i < length; ++i) {
        if (as_bytes(bytes)[i] == static_cast<unsigned char>(wanted)) {
            // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast): the C signature
            return const_cast<unsigned char*>(as_bytes(bytes) + i);
        }
    }
    return nullptr;
}

void* memmem(const void* haystack, std::size_t haystack_length, const void* needle,
             std::size_t needle_length)
{
    record("memmem", haystack, haystack_length, needle, needle_length);
    for (std::size_t at = 0; at + needle_length <= haystack_length; ++at) {
        if (compare_bytes(as_bytes(haystack) + at, as_bytes(needle), needle_length) == 0) {
            // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast): the C signature
            return const_cast<unsigned char*>(as_bytes(haystack) + at);
        }
    }
    return nullptr;
}

char* strstr(const char* haystack, const char* needle)
{
    return static_cast<char*>(memmem(haystack, length_of(haystack), needle, length_of(needle)));
}

} // extern "C"
