// udev-rule: a rule for one drive's identity that udev reads as that
// identity and nothing wider, or no rule at all.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifndef _WIN32
#include <fnmatch.h>
#endif

#include "cli/udev_rule.h"
#include "run/exit_codes.h"
#include "tests/cli_test_support.h"

TEST(UdevRule, IdentityIsQuotedToMatchItselfOnlyOrRefused)
{
    const struct {
        std::string text;
        const char* quoted;  // null: refused
        const char* wider;   // what the quoted value must not match
    } cases[] = {
        {"KT3916 FLASHER", "KT3916 FLASHER", "KT3916 FLASHERS"},
        {"ROM*", "ROM[*]", "ROMX"},
        {"A?B", "A[?]B", "AXB"},
        {"[X]", "[[]X]", "X"},
        {"A\"B", nullptr, ""},
        {"A\\B", nullptr, ""},
        {"A|B", nullptr, ""},
        {"A\nB", nullptr, ""},
        {"$devpath", nullptr, ""},
        {"50%k", nullptr, ""},
        {"caf\xC3\xA9", nullptr, ""},
        {"", nullptr, ""},
    };
    for (const auto& c : cases) {
        std::string quoted, error;
        ASSERT_EQ(QuoteUdevMatch(c.text, quoted, error), c.quoted != nullptr) << c.text << ": " << error;
        if (!c.quoted)
            continue;
        EXPECT_EQ(quoted, c.quoted);
#ifndef _WIN32
        // udev compares a value holding glob characters with fnmatch.
        EXPECT_EQ(fnmatch(quoted.c_str(), c.text.c_str(), 0), 0) << quoted;
        EXPECT_NE(fnmatch(quoted.c_str(), c.wider, 0), 0) << quoted;
#endif
    }
}

TEST(UdevRule, CommandPrintsARuleForBothNodesOrNothing)
{
    const struct {
        std::vector<std::string> args;
        int exit;
        const char* identity;  // in both rule lines; null: no rule at all
        const char* inErr;
    } cases[] = {
        {{"--emulate=devices=2,vendor=ACME,product=ROM?", "udev-rule", "-d", "E:"},
         kExitSuccess,
         "ATTRS{vendor}==\"ACME\", ATTRS{model}==\"ROM[?]\", GROUP=\"plugdev\"",
         ""},
        {{"--emulate=product=A|B", "udev-rule", "-d", "D:"},
         kExitError,
         nullptr,
         "D: its product 'A|B' holds the character 0x7C, which a udev rule cannot match exactly; no rule"},
        {{"--emulate", "udev-rule", "-d", "F:"}, kExitNoDevice, nullptr, "; no rule was written"},
    };
    for (const auto& c : cases) {
        const auto run = cli_test::RunTool(c.args);
        EXPECT_EQ(run.exit, c.exit) << run.err;
        EXPECT_NE(run.err.find(c.inErr), std::string::npos) << run.err;
        int nRules = 0;
        for (const std::string& line : cli_test::Lines(run.out)) {
            if (line.rfind('#', 0) == 0)
                continue;
            ++nRules;
            EXPECT_NE(line.find(c.identity ? c.identity : "-"), std::string::npos) << line;
        }
        EXPECT_EQ(nRules, c.identity ? 2 : 0) << run.out;
        if (c.identity) {
            EXPECT_NE(run.out.find("KERNEL==\"sr[0-9]*\""), std::string::npos);
        }
    }
}
