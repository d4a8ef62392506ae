#include "answer.hpp"
#include "credentials.hpp"

#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <sstream>
#include <string>

namespace {

using namespace std::string_literals;

// What one stream looks like after two extractions.
struct Outcome {
    std::string user_name;
    std::string password;
    std::ios_base::iostate state_after_user_name;
    std::ios_base::iostate state_after_password;
    std::string left_unread;
};

// Both answers start as `start`: an extraction that takes no word must leave
// them as the standard one does.
template <typename Extract>
Outcome extract_two(const std::string& input, Extract extract, const std::string& start)
{
    std::istringstream in(input);
    Outcome outcome{start, start, {}, {}, {}};
    extract(in, outcome.user_name);
    outcome.state_after_user_name = in.rdstate();
    extract(in, outcome.password);
    outcome.state_after_password = in.rdstate();
    in.clear();
    outcome.left_unread.assign(std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>());
    return outcome;
}

Outcome bounded(const std::string& input, const std::string& start = {})
{
    return extract_two(
        input, [](std::istream& in, std::string& answer) { read_answer(in, answer); }, start);
}

Outcome standard(const std::string& input, const std::string& start = {})
{
    return extract_two(
        input, [](std::istream& in, std::string& answer) { in >> answer; }, start);
}

void expect_same_answer(const std::string& bounded_answer, const std::string& standard_answer)
{
    if (standard_answer.size() <= max_answer_length) {
        EXPECT_EQ(bounded_answer, standard_answer);
    } else {
        EXPECT_EQ(bounded_answer, standard_answer.substr(0, max_answer_length));
    }
}

std::string random_input(std::mt19937& random)
{
    static const std::string white_space = " \t\n\v\f\r";
    const std::size_t word_lengths[] = {1,
                                        3,
                                        5,
                                        max_answer_length - 1,
                                        max_answer_length,
                                        max_answer_length + 1,
                                        4 * max_answer_length};
    std::string input;
    const auto pieces = std::uniform_int_distribution<int>(0, 5)(random);
    for (int piece = 0; piece < pieces; ++piece) {
        const auto gap = std::uniform_int_distribution<std::size_t>(0, 3)(random);
        for (std::size_t i = 0; i < gap; ++i) {
            input += white_space[std::uniform_int_distribution<std::size_t>(0, 5)(random)];
        }
        const auto length = word_lengths[std::uniform_int_distribution<std::size_t>(0, 6)(random)];
        for (std::size_t i = 0; i < length; ++i) {
            // Any byte but white space: NUL and bytes above 0x7F included.
            char byte = 0;
            do {
                byte = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(random));
            } while (white_space.find(byte) != std::string::npos);
            input += byte;
        }
    }
    return input; // ends inside a word or after white space, or is empty
}

TEST(ReadAnswer, BehavesAsStandardExtractionOnGeneratedInput)
{
    std::mt19937 random(20261208); // NOLINT(cert-msc32-c,cert-msc51-cpp): repeatable on purpose
    for (int round = 0; round < 3000; ++round) {
        const std::string input = random_input(random);
        const std::string start = round % 2 == 0 ? "" : "earlier";
        const Outcome expected = standard(input, start);
        const Outcome actual = bounded(input, start);
        SCOPED_TRACE("round " + std::to_string(round));
        expect_same_answer(actual.user_name, expected.user_name);
        expect_same_answer(actual.password, expected.password);
        EXPECT_EQ(actual.state_after_user_name, expected.state_after_user_name);
        EXPECT_EQ(actual.state_after_password, expected.state_after_password);
        EXPECT_EQ(actual.left_unread, expected.left_unread);
    }
}

TEST(ReadAnswer, LeavesTheEndingWhiteSpaceUnread)
{
    const Outcome outcome = bounded("  first\tsecond\r\nrest");
    EXPECT_EQ(outcome.user_name, "first");
    EXPECT_EQ(outcome.password, "second");
    EXPECT_EQ(outcome.left_unread, "\r\nrest");
    EXPECT_EQ(outcome.state_after_password, std::ios_base::goodbit);
}

TEST(ReadAnswer, LeavesAnswersAsTheyWereAtEndOfInput)
{
    // Answers that already hold something tell "left alone" from "cleared",
    // and the standard extraction decides which is right.
    const Outcome outcome = bounded(" \n\t ", "kept");
    const Outcome expected = standard(" \n\t ", "kept");
    EXPECT_EQ(outcome.user_name, expected.user_name);
    EXPECT_EQ(outcome.password, expected.password);
    EXPECT_EQ(outcome.state_after_user_name, std::ios_base::eofbit | std::ios_base::failbit);
}

TEST(ReadAnswer, CutsAnOverLongWordAndConsumesAllOfIt)
{
    const std::string long_word(10 * max_answer_length, 'w');
    const Outcome outcome = bounded(long_word + " next");
    EXPECT_EQ(outcome.user_name, long_word.substr(0, max_answer_length));
    EXPECT_EQ(outcome.password, "next");
}

TEST(AnswersMatch, NeedsTheSameLengthAndTheSameBytes)
{
    EXPECT_TRUE(answers_match("ab1", "ab1"));
    EXPECT_FALSE(answers_match("ab1", "ab2"));
    EXPECT_FALSE(answers_match("xb1", "ab1"));
    EXPECT_FALSE(answers_match("ab1x", "ab1"));
    EXPECT_FALSE(answers_match("ab", "ab1"));
    EXPECT_FALSE(answers_match("", "ab1"));
    EXPECT_FALSE(answers_match("AB1", "ab1"));
    EXPECT_FALSE(answers_match("ab\0"s, "ab1"));
    EXPECT_TRUE(answers_match("a\0\xff"s, "a\0\xff"s));
}

TEST(AnswersMatch, NeverAcceptsACutAnswer)
{
    // A word is cut at the cap; were the cap no longer than a value, the
    // value followed by anything would be cut back to it and pass.
    for (const std::string& reference : {build_user_name(), build_password()}) {
        std::istringstream in(reference + std::string(2 * max_answer_length, 'z'));
        std::string answer;
        read_answer(in, answer);
        EXPECT_FALSE(answers_match(answer, reference));
    }
}

} // namespace
