// SPDX-License-Identifier: MIT
// The --status module's pure parts: the bounded JSON string writer and the record state names.
#include <gtest/gtest.h>

#include <string>

#include "bank_record.h"
#include "status.h"

namespace
{

TEST(Status, JsonQuoteRows)
{
    std::string escaped_quotes = "\"";
    for (int i = 0; i < 64; i++)
        escaped_quotes += "\\\"";
    escaped_quotes += "\"";
    const struct {
        std::string text;
        size_t size;
        const char *quoted; // nullptr: does not fit
    } rows[] = {
        {"", 3, "\"\""},
        {"", 2, nullptr},
        {"7.1", 6, "\"7.1\""},
        {"a\"b\\c", 16, "\"a\\\"b\\\\c\""},
        {"tab\there\x01", 32, "\"tab\\u0009here\\u0001\""},
        // UTF-8 passes through as it is.
        {"\xc3\xa9", 8, "\"\xc3\xa9\""},
        // Exactly the quoted text and its NUL fits; one byte less is refused whole.
        {"abcd", 7, "\"abcd\""},
        {"abcd", 6, nullptr},
        {"a\n", 10, "\"a\\u000a\""},
        {"a\n", 9, nullptr},
        {std::string(300, 'x'), STATUS_JSON_STRING_MAX, nullptr},
        // The last control byte is escaped; DEL needs no escape in JSON.
        {"\x1f\x7f", 10, "\"\\u001f\x7f\""},
        // An escape that would end one byte past the room is refused whole.
        {"a\"", 6, "\"a\\\"\""},
        {"a\"", 5, nullptr},
        // The longest version a record holds, every byte escaped, fits.
        {std::string(64, '"'), STATUS_JSON_STRING_MAX, escaped_quotes.c_str()},
    };
    for (const auto &row : rows) {
        char out[STATUS_JSON_STRING_MAX + 8];
        memset(out, 'Z', sizeof(out));
        int n = status_json_quote(row.text.c_str(), out, row.size);
        if (row.quoted == nullptr) {
            EXPECT_EQ(-1, n) << row.text;
            EXPECT_EQ('\0', out[0]) << row.text;
        } else {
            EXPECT_EQ(std::string(row.quoted), out) << row.text;
            EXPECT_EQ((int)strlen(row.quoted), n) << row.text;
        }
        EXPECT_EQ('Z', out[row.size]) << "wrote past the buffer: " << row.text;
    }
}

TEST(Status, RecordStateNames)
{
    bank_record r = {};
    r.state = BANK_VERIFIED;
    EXPECT_STREQ("verified", status_record_state(0, &r));
    r.state = BANK_BEING_WRITTEN;
    EXPECT_STREQ("being-written", status_record_state(0, &r));
    EXPECT_STREQ("none", status_record_state(BANK_RECORD_ERR_MISSING, &r));
    EXPECT_STREQ("malformed", status_record_state(BANK_RECORD_ERR_FORMAT, &r));
    EXPECT_STREQ("unreadable", status_record_state(BANK_RECORD_ERR_READ, &r));
}

} // namespace
