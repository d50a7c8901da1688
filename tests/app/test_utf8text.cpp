/* Texts of any bytes: cuts that keep characters whole, JSON string bodies, log-line texts. */
#include "utf8text.h"

#include <string>

#include <gtest/gtest.h>

namespace {

const std::string kA30(30, 'a');
const std::string kReplacement = "\xEF\xBF\xBD";

TEST(Utf8Cut, NeverEndsInsideACharacter)
{
    const struct {
        const char *name;
        std::string text;
        size_t limit;
        size_t kept;
    } cases[] = {
        {"two-byte character across the limit", kA30 + "\xC3\xA9", 31, 30},
        {"two-byte character up to the limit", std::string(29, 'a') + "\xC3\xA9", 31, 31},
        {"three-byte character across the limit", std::string(29, 'a') + "\xE2\x82\xAC", 31, 29},
        {"three-byte character up to the limit", std::string(28, 'a') + "\xE2\x82\xAC", 31, 31},
        {"four-byte character across the limit", std::string(28, 'a') + "\xF0\x9F\x98\x80", 31, 28},
        {"ill-formed bytes are no character to keep whole", kA30 + "\xFF\xFE", 31, 31},
        {"a truncated character is ill-formed", kA30 + "\xE2\x82", 31, 31},
        {"shorter than the limit", "\xC3\xA9t\xC3\xA9", 31, 5},
        {"several characters", "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC", 4, 3},
        {"empty", "", 31, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.kept, utf8_cut_length(c.text.data(), c.text.size(), c.limit));
    }
}

struct TextCase {
    const char *name;
    std::string in;
    std::string json;
    std::string log;
};

const TextCase kTextCases[] = {
    {"plain text", "21.5C", "21.5C", "21.5C"},
    {"quote, backslash, control, stray byte", std::string("a\"b\\c\x01\xFF", 7), "a\\\"b\\\\c\\u0001" + kReplacement,
     "a\"b\\\\c\\x01\\xff"},
    {"line feed and carriage return", "x\ny\rz", "x\\u000ay\\u000dz", "x\\x0ay\\x0dz"},
    {"terminal escape", "\x1B[2J", "\\u001b[2J", "\\x1b[2J"},
    {"tab and delete", "\t\x7F", "\\u0009\\u007f", "\\x09\\x7f"},
    {"a zero byte is a control byte", std::string("a\0b", 3), "a\\u0000b", "a\\x00b"},
    {"well-formed characters stay", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
     "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
    {"no-break space is no control", "\xC2\xA0", "\xC2\xA0", "\xC2\xA0"},
    {"C1 control next line", "a\xC2\x85" "b", "a\xC2\x85" "b", "a\\xc2\\x85b"},
    {"lone lead byte", "\xC3", kReplacement, "\\xc3"},
    {"lead byte then ASCII", "\xC3(", kReplacement + "(", "\\xc3("},
    {"truncated three-byte character is one replacement", "\xE2\x82(", kReplacement + "(", "\\xe2\\x82("},
    {"truncated four-byte character at the end", "ok\xF0\x9F\x98", "ok" + kReplacement, "ok\\xf0\\x9f\\x98"},
    {"overlong slash", "\xC0\xAF", kReplacement + kReplacement, "\\xc0\\xaf"},
    {"surrogate", "\xED\xA0\x80", kReplacement + kReplacement + kReplacement, "\\xed\\xa0\\x80"},
    {"above U+10FFFF", "\xF4\x90\x80\x80", kReplacement + kReplacement + kReplacement + kReplacement,
     "\\xf4\\x90\\x80\\x80"},
    {"continuation byte alone", "\x80", kReplacement, "\\x80"},
    {"a shown escape stays apart from a real one", "\\x0a", "\\\\x0a", "\\\\x0a"},
};

void PrintTo(const TextCase &c, std::ostream *os)
{
    *os << c.name;
}

class Utf8Text : public testing::TestWithParam<TextCase> {};

TEST_P(Utf8Text, JsonBodyAndLogText)
{
    const TextCase &c = GetParam();
    char json[UTF8_JSON_SIZE(16)];
    ASSERT_LE(c.in.size(), 16u);
    size_t n = utf8_json_string(c.in.data(), c.in.size(), json, sizeof json);
    EXPECT_EQ(c.json, std::string(json));
    EXPECT_EQ(c.json.size(), n);
    char log[UTF8_LOG_SIZE(16)];
    n = utf8_log_text(c.in.data(), c.in.size(), log, sizeof log);
    EXPECT_EQ(c.log, std::string(log));
    EXPECT_EQ(c.log.size(), n);
}

INSTANTIATE_TEST_SUITE_P(Texts, Utf8Text, testing::ValuesIn(kTextCases));

/* Sixteen control bytes fill the documented worst case exactly. */
TEST(Utf8TextSize, WorstCasesFitTheirSizes)
{
    const std::string controls(16, '\x01');
    char json[UTF8_JSON_SIZE(16)];
    EXPECT_EQ(sizeof json - 1, utf8_json_string(controls.data(), controls.size(), json, sizeof json));
    char log[UTF8_LOG_SIZE(16)];
    EXPECT_EQ(sizeof log - 1, utf8_log_text(controls.data(), controls.size(), log, sizeof log));
}

TEST(Utf8TextSize, AShortBufferEndsAtAWholePiece)
{
    const std::string text = "a\xC3\xA9\x01";
    const struct {
        size_t size;
        const char *json;
        const char *log;
    } cases[] = {
        {1, "", ""},
        {3, "a", "a"},
        {4, "a\xC3\xA9", "a\xC3\xA9"},
        {9, "a\xC3\xA9", "a\xC3\xA9\\x01"},
        {10, "a\xC3\xA9\\u0001", "a\xC3\xA9\\x01"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        char out[16];
        utf8_json_string(text.data(), text.size(), out, c.size);
        EXPECT_EQ(std::string(c.json), out);
        utf8_log_text(text.data(), text.size(), out, c.size);
        EXPECT_EQ(std::string(c.log), out);
    }
}

}  // namespace

TEST(Utf8Topic, ALevelKeepsItsTextAndLosesWhatChangesOrBreaksATopic)
{
    const struct {
        const char *name;
        std::string in, out;
    } cases[] = {
        {"plain and UTF-8 kept", "Temp caf\xC3\xA9", "Temp caf\xC3\xA9"},
        {"wildcards and level separator", "a/b+c#d", "a_b_c_d"},
        {"controls C0, DEL and C1", std::string("t\tn\x01\x7F") + "\xC2\x85", "t_n___"},
        {"non-characters", "\xEF\xB7\x90\xEF\xBF\xBE\xF0\x9F\xBF\xBF", "___"},
        {"ill-formed as U+FFFD, one per maximal part", "a\xE2\x82" "b\xC0", "a" + kReplacement + "b" + kReplacement},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        char out[UTF8_TOPIC_SIZE(64)];
        size_t n = utf8_topic_text(c.in.data(), c.in.size(), out, sizeof out);
        EXPECT_EQ(c.out, std::string(out, n));
    }
}
