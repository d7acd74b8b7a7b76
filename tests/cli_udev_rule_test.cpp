// udev-rule: a rule for one drive's identity that udev reads as that
// identity and nothing wider, or no rule at all.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifndef _WIN32
#include <fnmatch.h>
#endif

#include "cli/exit_codes.h"
#include "cli/udev_rule.h"
#include "tests/cli_test_support.h"

using cli_test::RunTool;

TEST(UdevRule, IdentityIsQuotedToMatchItselfOnlyOrRefused) {
    struct Case {
        std::string text;
        const char* quoted;   // null: refused
        const char* wider;    // a text the quoted value must not match, or null
    };
    const Case cases[] = {
        {"KT3916 FLASHER", "KT3916 FLASHER", "KT3916 FLASHERS"},
        {"ROM*", "ROM[*]", "ROMX"},
        {"A?B", "A[?]B", "AXB"},
        {"[X]", "[[]X]", "X"},
        {"*?[", "[*][?][[]", "abc"},
        {" LEAD", " LEAD", "LEAD"},
        {"A\"B", nullptr, nullptr},
        {"A\\B", nullptr, nullptr},
        {"A|B", nullptr, nullptr},
        {"A\nB", nullptr, nullptr},
        {"A\tB", nullptr, nullptr},
        {"$devpath", nullptr, nullptr},
        {"50%k", nullptr, nullptr},
        {"caf\xC3\xA9", nullptr, nullptr},
        {"", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("'" + c.text + "'");
        std::string quoted, error;
        const bool ok = QuoteUdevMatch(c.text, quoted, error);
        ASSERT_EQ(ok, c.quoted != nullptr) << error;
        if (!ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(quoted, c.quoted);
#ifndef _WIN32
        // udev compares a value holding glob characters with fnmatch.
        EXPECT_EQ(fnmatch(quoted.c_str(), c.text.c_str(), 0), 0);
        EXPECT_NE(fnmatch(quoted.c_str(), c.wider, 0), 0);
#endif
    }
}

TEST(UdevRule, RuleNamesBothNodesOfTheIdentityOrNothing) {
    ListedDevice device;
    device.chDrive = 'E';
    device.strNode = "/dev/sg3";
    device.strVendor = "ACME";
    device.strProduct = "FLASH*ROM";
    std::string rule, error;
    ASSERT_TRUE(FormatUdevRule(device, rule, error)) << error;
    const std::string identity = "ATTRS{vendor}==\"ACME\", ATTRS{model}==\"FLASH[*]ROM\", GROUP=\"plugdev\"";
    std::vector<std::string> rules;
    for (const std::string& line : cli_test::Lines(rule)) {
        if (line.empty() || line[0] != '#') rules.push_back(line);
    }
    ASSERT_EQ(rules.size(), 2u) << rule;
    EXPECT_EQ(rules[0].rfind("SUBSYSTEM==\"scsi_generic\"", 0), 0u);
    EXPECT_EQ(rules[1].rfind("SUBSYSTEM==\"block\", KERNEL==\"sr[0-9]*\"", 0), 0u);
    for (const std::string& line : rules) EXPECT_NE(line.find(identity), std::string::npos) << line;
    EXPECT_NE(rule.find("drive E: (/dev/sg3) is \"ACME FLASH*ROM\""), std::string::npos) << rule;
    EXPECT_NE(rule.find(kLocalUdevRulePath), std::string::npos);

    device.strProduct = "BAD\"NAME";
    EXPECT_FALSE(FormatUdevRule(device, rule, error));
    EXPECT_EQ(error, "its product 'BAD\"NAME' holds the character 0x22, which a udev rule cannot match exactly");
}

TEST(UdevRule, CommandPrintsTheChosenDrivesRuleOrSaysWhyNot) {
    struct Case {
        std::vector<std::string> args;
        int exit;
        const char* inOut;  // expected on stdout, or null for nothing
        const char* inErr;
    };
    const Case cases[] = {
        {{"--emulate=devices=2,vendor=ACME,product=ROM?", "udev-rule", "-d", "E:"}, kExitSuccess,
         "ATTRS{vendor}==\"ACME\", ATTRS{model}==\"ROM[?]\"", ""},
        {{"--emulate", "udev-rule", "--device", "0"}, kExitSuccess,
         "ATTRS{vendor}==\"KTDEV\", ATTRS{model}==\"KT3916 FLASHER\"", ""},
        {{"--emulate", "udev-rule", "-d", "F:"}, kExitNoDevice, nullptr, "; no rule was written"},
        {{"--emulate=devices=0", "udev-rule", "-d", "D:"}, kExitNoDevice, nullptr, "; no rule was written"},
        {{"--emulate=product=A|B", "udev-rule", "-d", "D:"}, kExitError, nullptr,
         "D: its product 'A|B' holds the character 0x7C, which a udev rule cannot match exactly; no rule was "
         "written"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        const auto run = RunTool(c.args);
        EXPECT_EQ(run.exit, c.exit) << run.err;
        if (c.inOut) {
            EXPECT_NE(run.out.find(c.inOut), std::string::npos) << run.out;
        } else {
            EXPECT_EQ(run.out, "");
        }
        EXPECT_NE(run.err.find(c.inErr), std::string::npos) << run.err;
    }
}
