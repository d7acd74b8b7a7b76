#include "run/image_trust.h"

#include "base/json_line.h"
#include "device/command_set.h"

std::string ImageTrustText(const ImageTrust& trust)
{
    if (!trust.bChecked || trust.exit != kExitSuccess)
        return {};
    if (trust.bUnsigned)
        return "the image is not signed: it is sent anyway because of --allow-unsigned";
    return "signature good: key " + trust.strKeyId + " (" + trust.strKeyFile +
           "), trusted comment: " + trust.strTrustedComment;
}

void AddImageTrustFields(CJsonLine& out, const ImageTrust& trust)
{
    if (!trust.bChecked || trust.exit != kExitSuccess)
        return;
    if (trust.bUnsigned) {
        out.String("signature", "unsigned, sent because of --allow-unsigned");
        return;
    }
    out.String("signature", "good").String("key_id", trust.strKeyId).String("trusted_comment", trust.strTrustedComment);
}

std::string ImageCheckJson(const ImageCheck& check, const ImageTrust& trust)
{
    std::string json;
    CJsonLine out(json);
    out.String("event", "image").String("image", check.strPath);
    if (check.exit == kExitImageUnreadable) {
        out.Bool("readable", false).String("error", check.strError);
    } else {
        out.Bool("readable", true).Number("size", check.nSize).Bool("flashable", check.nBlocks != 0);
        out.Number("blocks", check.nBlocks);
        if (check.bHasChecksum)
            out.String("checksum", ChecksumText(check.digest.nChecksum));
        if (trust.exit != kExitSuccess)
            out.String("signature", "refused").String("signature_error", trust.strError);
        AddImageTrustFields(out, trust);
    }
    out.Close();
    return json;
}

#ifdef _WIN32

// No OpenSSL in the Windows build: it never claims to have checked a
// signature, and refuses the options that ask for one.
ImageTrust CheckImageTrust(const CliOptions& options)
{
    ImageTrust trust;
    if (!options.trustedKeys.empty() || options.signature || options.bAllowUnsigned || options.bAllowOlder) {
        trust.exit = kExitUsage;
        trust.strError = "this build cannot check image signatures: signed images are checked by the Linux build";
    }
    return trust;
}

#else

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

#include "base/fail_with.h"
#include "run/identity_guard.h"
#include "run/minisign.h"

namespace {

// Far more than any key or signature file minisign writes.
constexpr uintmax_t kLongestKeyFile = 64 * 1024;

struct TrustedKey {
    std::string strFile;
    MinisignKey key;
};

bool ReadSmallFile(const std::string& path, std::string& text, std::string& error)
{
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (ec)
        return FailWith(error, path + ": " + ec.message());
    // A FIFO would hold the tool before any device is asked.
    if (!std::filesystem::is_regular_file(status))
        return FailWith(error, path + ": not a regular file");
    if (std::filesystem::file_size(path, ec) > kLongestKeyFile || ec)
        return FailWith(error, path + ": longer than any minisign file");
    std::ifstream in(path, std::ios::binary);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad())
        return FailWith(error, path + ": cannot be read");
    return true;
}

bool LoadKeyFile(const std::string& path, std::vector<TrustedKey>& keys, std::string& error)
{
    std::string text;
    TrustedKey key{path, {}};
    if (!ReadSmallFile(path, text, error) || !ParseMinisignKey(text, key.key, error))
        return FailWith(error, "the trusted key " + (error.rfind(path, 0) == 0 ? error : path + ": " + error));
    keys.push_back(key);
    return true;
}

// Every *.pub in the directory, in name order; false when one is no key.
bool LoadKeyDirectory(const std::string& path, std::vector<TrustedKey>& keys, std::string& error)
{
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(path, ec)) {
        if (entry.path().extension() == ".pub")
            files.push_back(entry.path().string());
    }
    if (ec)
        return FailWith(error, "the trusted keys' directory " + path + ": " + ec.message());
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) {
        if (!LoadKeyFile(file, keys, error))
            return false;
    }
    return true;
}

// --trusted-key's files and directories, or else the configuration
// directory's keys (none when it does not exist).
bool LoadTrustedKeys(const CliOptions& options, std::vector<TrustedKey>& keys, std::string& error)
{
    std::error_code ec;
    for (const std::string& path : options.trustedKeys) {
        const size_t before = keys.size();
        if (!std::filesystem::is_directory(path, ec)) {
            if (!LoadKeyFile(path, keys, error))
                return false;
            continue;
        }
        if (!LoadKeyDirectory(path, keys, error))
            return false;
        if (keys.size() == before)
            return FailWith(error, "--trusted-key " + path + ": no key (*.pub) in this directory");
    }
    if (!options.trustedKeys.empty())
        return true;
    const char* variable = std::getenv(kTrustedKeysVariable);
    const std::string directory = variable && *variable ? variable : kTrustedKeysDirectory;
    return !std::filesystem::is_directory(directory, ec) || LoadKeyDirectory(directory, keys, error);
}

// The word "revision=X.YZ" of a trusted comment, words parted by blanks or
// tabs; false when it is there but not X.YZ.
bool FindRevision(const std::string& comment, std::optional<std::string>& revision)
{
    constexpr char kKey[] = "revision=";
    size_t from = 0;
    while ((from = comment.find_first_not_of(" \t", from)) != std::string::npos) {
        const size_t end = std::min(comment.find_first_of(" \t", from), comment.size());
        const std::string word = comment.substr(from, end - from);
        from = end;
        if (word.rfind(kKey, 0) != 0)
            continue;
        revision = word.substr(sizeof kKey - 1);
        return IsRevisionNumber(*revision);
    }
    return true;
}

ImageTrust Untrusted(ImageTrust trust, const std::string& error)
{
    trust.exit = kExitUntrustedImage;
    trust.strError = error;
    return trust;
}

}  // namespace

ImageTrust CheckImageTrust(const CliOptions& options)
{
    ImageTrust trust;
    std::vector<TrustedKey> keys;
    std::string error;
    if (!LoadTrustedKeys(options, keys, error))
        return Untrusted(trust, error);
    if (keys.empty()) {
        if (options.signature)
            return Untrusted(trust, "--signature: no trusted key to check it with (--trusted-key, or the keys in " +
                                        std::string(kTrustedKeysDirectory) + ")");
        return trust;
    }
    trust.bChecked = true;

    // The bytes checked here are the only ones the transfer may send.
    std::vector<uint8_t> bytes;
    const ImageCheck check = CheckImage(options.strImage, true, &bytes);
    if (check.exit != kExitSuccess) {
        trust.exit = check.exit;
        trust.strError = check.strError;
        return trust;
    }
    trust.digest = check.digest;

    const std::string path = options.signature.value_or(options.strImage + ".minisig");
    std::error_code ec;
    // Only a signature that is not there at all may be waived: a broken link
    // or an unreadable file is one that was meant to be checked.
    if (!options.signature &&
        std::filesystem::symlink_status(path, ec).type() == std::filesystem::file_type::not_found) {
        if (options.bAllowUnsigned) {
            trust.bUnsigned = true;
            return trust;
        }
        return Untrusted(trust, "the image " + options.strImage + " has no signature (no " + path +
                                    "): sign it with minisign -S, or give --allow-unsigned");
    }
    std::string text;
    if (!ReadSmallFile(path, text, error))
        return Untrusted(trust, "the signature " + error);
    MinisignSignature signature;
    if (!ParseMinisignSignature(text, signature, error))
        return Untrusted(trust, "the signature " + path + ": " + error);
    const std::string keyId = MinisignKeyIdText(signature.keyId);
    std::string trusted;
    const TrustedKey* signer = nullptr;
    for (const TrustedKey& key : keys) {
        trusted += (trusted.empty() ? "" : ", ") + MinisignKeyIdText(key.key.keyId) + " (" + key.strFile + ")";
        if (key.key.keyId == signature.keyId && !signer)
            signer = &key;
    }
    if (!signer)
        return Untrusted(trust, "the image " + options.strImage + " is signed with key " + keyId +
                                    ", which is not a trusted key; trusted: " + trusted);
    switch (VerifyMinisign(signer->key, signature, bytes.data(), bytes.size())) {
    case MinisignVerdict::BadSignature:
        return Untrusted(trust, "the signature " + path + " does not verify with key " + keyId + ": the image " +
                                    options.strImage + " was changed, or it is another file's signature");
    case MinisignVerdict::BadTrustedComment:
        return Untrusted(trust, "the trusted comment of " + path +
                                    " was changed after signing: it does not verify with key " + keyId);
    case MinisignVerdict::Good:
        break;
    }
    trust.strKeyId = keyId;
    trust.strKeyFile = signer->strFile;
    trust.strTrustedComment = signature.strTrustedComment;
    if (!FindRevision(signature.strTrustedComment, trust.revision))
        return Untrusted(trust, "the trusted comment of " + path + " has revision=" + *trust.revision +
                                    ": a revision is X.YZ, such as revision=1.10");
    return trust;
}

#endif
