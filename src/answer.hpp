#pragma once

#include <cstddef>
#include <istream>
#include <string>

// No reference value comes near this length, so keeping more of an answer
// could never change a verdict; it only bounds the memory one word can take.
constexpr std::size_t max_answer_length = 256;

// Extracts one white-space separated word as `in >> answer` does (same
// skipping, same stream states, same input left unread, and the answer is
// replaced only when a word starts: a stream found ready after its white space
// is skipped always holds one) except that at most max_answer_length bytes of
// it are kept. Longer words are consumed whole and their kept prefix can never
// equal a reference value.
void read_answer(std::istream& in, std::string& answer);

// Same length and same bytes. For equal lengths it looks at every byte
// whatever they hold, so neither its time nor its instruction count tells how
// much of an answer was right, and it hands nothing to a C library routine.
bool answers_match(const std::string& answer, const std::string& reference);
