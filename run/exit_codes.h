#pragma once

// How kt3916flash-cli ends. Scripts rely on these numbers: never renumber.
enum CliExit : int {
    kExitSuccess = 0,
    kExitError = 1,            // an unexpected problem (for example the transcript file)
    kExitUsage = 2,            // bad arguments, a bad scenario, or several devices and none chosen
    kExitNoDevice = 3,         // no device found, or the chosen one is not there
    kExitImageUnreadable = 4,  // the image cannot be opened or read, and no block went out
    kExitNotFlashable = 5,     // the image is neither 524288 nor 1048576 bytes long
    kExitSendFailure = 6,      // the transfer stopped once a block had gone out: the image did not arrive whole
    kExitNoReturn = 7,         // the image was sent but the device did not answer again
    kExitSomeFailed = 8,       // --all: at least one device did not succeed
    kExitWrongDevice = 9,      // not the device --expect-identity/--expect-revision names, or it runs a newer
                               // revision than the signed image's: nothing was sent
    kExitWrongRevision = 10,   // the device came back, but not with the revision --new-revision names
    kExitDeviceBusy = 11,      // another program has the device: nothing was sent to it
    kExitUntrustedImage = 12,  // no signature, or one that does not verify with a trusted key: nothing was sent
    kExitInterrupted = 130,    // stopped by Ctrl-C (or SIGTERM)
};

struct CliExitDescription {
    CliExit code;
    const char* name;  // short name for JSON and tables
    const char* text;  // for --help
};

inline constexpr CliExitDescription kCliExitDescriptions[] = {
    {kExitSuccess, "success", "success: every device took the image and answered again"},
    {kExitError, "error", "unexpected error (e.g. the transcript file cannot be written)"},
    {kExitUsage, "usage", "usage error, bad scenario, or several devices and no --device/--all"},
    {kExitNoDevice, "no-device", "no device found, or the chosen device is not there"},
    {kExitImageUnreadable, "image-unreadable", "the image cannot be opened or read (no block went out)"},
    {kExitNotFlashable, "not-flashable", "the image is not 524288 or 1048576 bytes long"},
    {kExitSendFailure, "send-failure", "sending the image failed part-way (any failure once a block went out)"},
    {kExitNoReturn, "no-return", "the image was sent but the device did not come back"},
    {kExitSomeFailed, "some-failed", "--all: not every device succeeded; station: a unit failed"},
    {kExitWrongDevice, "wrong-device", "not the expected device, or newer than the signed image (nothing sent)"},
    {kExitWrongRevision, "wrong-revision", "the device came back with another revision than --new-revision names"},
    {kExitDeviceBusy, "device-busy", "the device is in use by another program (nothing was sent)"},
    {kExitUntrustedImage, "untrusted-image", "no signature, or one that no trusted key verifies (nothing was sent)"},
    {kExitInterrupted, "interrupted", "interrupted by Ctrl-C or SIGTERM"},
};

inline const char* CliExitName(int code)
{
    for (const CliExitDescription& d : kCliExitDescriptions) {
        if (d.code == code)
            return d.name;
    }
    return "error";
}
