#pragma once
#include <optional>
#include <string>

#include "form/image_digest.h"
#include "run/exit_codes.h"
#include "run/image_check.h"
#include "run/run_options.h"

class CJsonLine;

// Where the package's trusted keys live, unless KT3916FLASH_TRUSTED_KEYS
// names another directory (the tests' own keys).
inline constexpr char kTrustedKeysDirectory[] = "/etc/kt3916flash/trusted-keys";
inline constexpr char kTrustedKeysVariable[] = "KT3916FLASH_TRUSTED_KEYS";

// Whether an image may be sent, by its minisign signature: checked against
// --trusted-key, or else the keys of the configuration directory. Without
// any trusted key nothing is checked.
struct ImageTrust {
    CliExit exit = kExitSuccess;  // or kExitUntrustedImage, kExitUsage
    std::string strError;
    bool bChecked = false;   // a trusted key was set
    bool bUnsigned = false;  // checked, no signature, sent because of --allow-unsigned
    std::string strKeyId;    // of a good signature, as minisign prints it
    std::string strKeyFile;
    std::string strTrustedComment;
    // "X.YZ" from the trusted comment's word "revision=X.YZ": no device that
    // runs a newer revision gets this image unless --allow-older.
    std::optional<std::string> revision;
    // The bytes the signature was checked over: the only ones to send.
    ImageDigest digest;

    bool IsSigned() const { return exit == kExitSuccess && bChecked && !bUnsigned; }
};

// Reads the image once. An image that cannot be read or sent is left to the
// image check: it is not judged here.
ImageTrust CheckImageTrust(const CliOptions& options);

// "signature good: key ... (FILE), trusted comment: ..." or that the image
// went unsigned; empty when nothing was checked.
std::string ImageTrustText(const ImageTrust& trust);
// The record's fields: signature, and key_id and trusted_comment when signed.
void AddImageTrustFields(CJsonLine& out, const ImageTrust& trust);

// What 'info --json' says of an image: the check, with the signature when
// one was checked.
std::string ImageCheckJson(const ImageCheck& check, const ImageTrust& trust = ImageTrust{});
