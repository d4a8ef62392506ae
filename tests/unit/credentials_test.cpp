#include "answer.hpp"
#include "credentials.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <numeric>
#include <string>

namespace {

bool allowed_character(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

template <typename Builder> std::string trace_of(Builder build)
{
    testing::internal::CaptureStdout();
    static_cast<void>(build());
    static_cast<void>(std::fflush(stdout));
    return testing::internal::GetCapturedStdout();
}

TEST(ReferenceValues, HaveTheirFixedLengthsAndAllowedCharacters)
{
    const std::string user_name = build_user_name();
    const std::string password = build_password();
    EXPECT_EQ(user_name.size(), 3U);
    EXPECT_EQ(password.size(), 5U);
    for (const char c : user_name + password) {
        EXPECT_TRUE(allowed_character(c)) << "character " << static_cast<int>(c);
    }
}

// 64-bit FNV-1a: enough to pin the default values here without spelling them
// out, so that a mistyped character or position cannot change the default
// exercise's answer unnoticed (every other test takes the values from the
// builders themselves).
std::uint64_t digest(const std::string& text)
{
    return std::accumulate(text.begin(), text.end(), std::uint64_t{14695981039346656037U},
                           [](std::uint64_t hash, char c) {
                               return (hash ^ static_cast<unsigned char>(c)) * 1099511628211U;
                           });
}

TEST(ReferenceValues, AreTheDefaultExercisesOwn)
{
    EXPECT_EQ(digest(build_user_name()), 4993977523664203618U);
    EXPECT_EQ(digest(build_password()), 16152469933187647518U);
}

TEST(ReferenceValues, AreTheSameOnEveryCall)
{
    const std::string first_user_name = build_user_name();
    const std::string first_password = build_password();
    for (int call = 0; call < 3; ++call) {
        EXPECT_EQ(build_user_name(), first_user_name);
        EXPECT_EQ(build_password(), first_password);
    }
}

TEST(ReferenceValues, AreShorterThanAnAnswerCanBeCut)
{
    // A cut answer keeps max_answer_length bytes; were a reference that long,
    // an over-long answer could match it.
    EXPECT_LT(build_user_name().size(), max_answer_length);
    EXPECT_LT(build_password().size(), max_answer_length);
}

TEST(BuilderTrace, UserNameBuilderWritesItsFiveLinesEachCall)
{
    const std::string expected = "Beginning of User Array\n"
                                 "End of user array\n"
                                 "Begining of user array assembly\n"
                                 "End of user array assembly\n"
                                 "End of Username";
    EXPECT_EQ(trace_of(build_user_name), expected);
    EXPECT_EQ(trace_of(build_user_name), expected);
}

TEST(BuilderTrace, PasswordBuilderWritesItsFourLinesEachCall)
{
    const std::string expected = "Beginning of password Array\n"
                                 "End of password array\n"
                                 "Begining of password array assembly\n"
                                 "End of password array assembly\n";
    EXPECT_EQ(trace_of(build_password), expected);
    EXPECT_EQ(trace_of(build_password), expected);
}

} // namespace
