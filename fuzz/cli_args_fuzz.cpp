// kt3916flash-cli's argument parser: one argument per line of the input.
// Whatever it accepts must be a command line the tool can act on safely.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/cli_args.h"
#include "fuzz/fuzz_check.h"

namespace {

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t pos = 0;
    while (true) {
        const size_t end = text.find('\n', pos);
        lines.push_back(text.substr(pos, end - pos));
        if (end == std::string::npos)
            return lines;
        pos = end + 1;
    }
}

bool SameOptions(const CliOptions& a, const CliOptions& b)
{
    return a.command == b.command && a.strImage == b.strImage && a.device == b.device && a.bAll == b.bAll &&
           a.bEmulate == b.bEmulate && a.strScenario == b.strScenario && a.transcript == b.transcript &&
           a.log == b.log && a.bJson == b.bJson && a.expected.identity == b.expected.identity &&
           a.expected.revision == b.expected.revision && a.newRevision == b.newRevision &&
           a.pollWindow.nFirstInquiryTick == b.pollWindow.nFirstInquiryTick &&
           a.pollWindow.nLastTick == b.pollWindow.nLastTick && a.units == b.units;
}

void CheckInquiryText(const std::optional<std::string>& text, size_t longest)
{
    if (!text)
        return;
    KT_FUZZ_CHECK(!text->empty() && text->size() <= longest && text->back() != ' ');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::vector<std::string> args = SplitLines(std::string(reinterpret_cast<const char*>(data), size));
    CliOptions options;
    std::string error;
    const bool bParsed = ParseCliArguments(args, options, error);

    CliOptions again;
    std::string againError;
    KT_FUZZ_CHECK(ParseCliArguments(args, again, againError) == bParsed);
    KT_FUZZ_CHECK(againError == error);
    if (!bParsed) {
        KT_FUZZ_CHECK(!error.empty());
        return 0;
    }
    KT_FUZZ_CHECK(SameOptions(options, again));
    KT_FUZZ_CHECK(error.empty());
    KT_FUZZ_CHECK(options.command != CliCommand::None);
    if (options.command == CliCommand::Help || options.command == CliCommand::Version)
        return 0;

    const bool bTakesImage = options.command == CliCommand::Info || options.command == CliCommand::Flash ||
                             options.command == CliCommand::Station;
    KT_FUZZ_CHECK(bTakesImage != options.strImage.empty());
    KT_FUZZ_CHECK(!bTakesImage || std::find(args.begin(), args.end(), options.strImage) != args.end());
    // Only a flash picks devices, and never both ways at once.
    KT_FUZZ_CHECK(!options.device || (options.command == CliCommand::Flash && !options.device->empty()));
    KT_FUZZ_CHECK(!options.bAll || options.command == CliCommand::Flash);
    KT_FUZZ_CHECK(!(options.device && options.bAll));
    // A station writes only what it was told to expect.
    KT_FUZZ_CHECK(options.command != CliCommand::Station || options.expected.identity);
    KT_FUZZ_CHECK(!options.units ||
                  (options.command == CliCommand::Station && *options.units >= 1 && *options.units <= 100000));
    KT_FUZZ_CHECK(!options.transcript || options.bEmulate);
    CheckInquiryText(options.expected.identity, 8 + 1 + 16);
    CheckInquiryText(options.expected.revision, 4);
    CheckInquiryText(options.newRevision, 4);
    KT_FUZZ_CHECK(options.pollWindow.nFirstInquiryTick >= kFirstInquiryTick);
    KT_FUZZ_CHECK(options.pollWindow.nFirstInquiryTick <= options.pollWindow.nLastTick);
    KT_FUZZ_CHECK(options.pollWindow.nLastTick <= kLongestPollWindowEnd);
    return 0;
}
