#include "run/minisign.h"

#include <openssl/evp.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "base/fail_with.h"

namespace {

constexpr char kUntrustedPrefix[] = "untrusted comment: ";
constexpr char kTrustedPrefix[] = "trusted comment: ";
constexpr size_t kAlgorithmLength = 2;
constexpr size_t kKeyLength = kAlgorithmLength + 8 + 32;
constexpr size_t kSignatureLength = kAlgorithmLength + 8 + 64;

// The lines of text without the '\r's that end them, as minisign reads
// them; trailing empty lines do not count.
std::vector<std::string> LinesOf(const std::string& text)
{
    std::vector<std::string> lines;
    size_t from = 0;
    while (from <= text.size()) {
        const size_t end = std::min(text.find('\n', from), text.size());
        std::string line = text.substr(from, end - from);
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        from = end + 1;
    }
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

// Exactly length bytes in canonical base64 (what minisign writes), so one
// file never has two spellings.
bool DecodeBase64(const std::string& text, size_t length, uint8_t* out)
{
    const size_t encodedLength = 4 * ((length + 2) / 3);
    if (text.size() != encodedLength)
        return false;
    std::vector<uint8_t> decoded(encodedLength / 4 * 3);
    if (EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(text.data()),
                        static_cast<int>(text.size())) != static_cast<int>(decoded.size()))
        return false;
    std::vector<unsigned char> again(encodedLength + 1);
    EVP_EncodeBlock(again.data(), decoded.data(), static_cast<int>(length));
    if (text.compare(0, std::string::npos, reinterpret_cast<const char*>(again.data()), encodedLength) != 0)
        return false;
    std::copy(decoded.begin(), decoded.begin() + static_cast<std::ptrdiff_t>(length), out);
    return true;
}

bool Ed25519Verify(const std::array<uint8_t, 32>& publicKey, const uint8_t* signature, const uint8_t* message,
                   size_t size)
{
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size()), EVP_PKEY_free);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    return key && context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
           EVP_DigestVerify(context.get(), signature, 64, message, size) == 1;
}

bool Blake2b512(const uint8_t* data, size_t size, std::array<uint8_t, 64>& digest)
{
    return EVP_Digest(data, size, digest.data(), nullptr, EVP_blake2b512(), nullptr) == 1;
}

}  // namespace

bool ParseMinisignKey(const std::string& text, MinisignKey& key, std::string& error)
{
    const std::vector<std::string> lines = LinesOf(text);
    if (lines.size() != 2 || lines[0].rfind(kUntrustedPrefix, 0) != 0)
        return FailWith(error, "not a minisign public key: two lines expected, 'untrusted comment: ...' and the key");
    uint8_t bytes[kKeyLength];
    if (!DecodeBase64(lines[1], kKeyLength, bytes))
        return FailWith(error, "not a minisign public key: its second line is not a key in base64");
    if (bytes[0] != 'E' || bytes[1] != 'd')
        return FailWith(error, "not an Ed25519 minisign public key");
    std::copy(bytes + kAlgorithmLength, bytes + kAlgorithmLength + 8, key.keyId.begin());
    std::copy(bytes + kAlgorithmLength + 8, bytes + kKeyLength, key.publicKey.begin());
    return true;
}

bool ParseMinisignSignature(const std::string& text, MinisignSignature& signature, std::string& error)
{
    const std::vector<std::string> lines = LinesOf(text);
    if (lines.size() != 4 || lines[0].rfind(kUntrustedPrefix, 0) != 0 || lines[2].rfind(kTrustedPrefix, 0) != 0)
        return FailWith(error, "not a minisign signature: four lines expected, 'untrusted comment: ...', the "
                               "signature, 'trusted comment: ...' and its signature");
    uint8_t bytes[kSignatureLength];
    if (!DecodeBase64(lines[1], kSignatureLength, bytes) ||
        !DecodeBase64(lines[3], signature.globalSignature.size(), signature.globalSignature.data()))
        return FailWith(error, "not a minisign signature: a signature line is not base64 of the right length");
    if (bytes[0] != 'E' || (bytes[1] != 'D' && bytes[1] != 'd'))
        return FailWith(error, "not an Ed25519 minisign signature");
    signature.bPrehashed = bytes[1] == 'D';
    std::copy(bytes + kAlgorithmLength, bytes + kAlgorithmLength + 8, signature.keyId.begin());
    std::copy(bytes + kAlgorithmLength + 8, bytes + kSignatureLength, signature.signature.begin());
    signature.strTrustedComment = lines[2].substr(sizeof kTrustedPrefix - 1);
    return true;
}

std::string MinisignKeyIdText(const MinisignKeyId& keyId)
{
    std::string text;
    char pair[3];
    for (auto byte = keyId.rbegin(); byte != keyId.rend(); ++byte) {
        std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>(*byte));
        text += pair;
    }
    return text;
}

MinisignVerdict VerifyMinisign(const MinisignKey& key, const MinisignSignature& signature, const uint8_t* data,
                               size_t size)
{
    std::array<uint8_t, 64> hash;
    if (signature.bPrehashed && !Blake2b512(data, size, hash))
        return MinisignVerdict::BadSignature;
    if (signature.keyId != key.keyId ||
        !Ed25519Verify(key.publicKey, signature.signature.data(), signature.bPrehashed ? hash.data() : data,
                       signature.bPrehashed ? hash.size() : size))
        return MinisignVerdict::BadSignature;
    std::vector<uint8_t> commented(signature.signature.begin(), signature.signature.end());
    commented.insert(commented.end(), signature.strTrustedComment.begin(), signature.strTrustedComment.end());
    return Ed25519Verify(key.publicKey, signature.globalSignature.data(), commented.data(), commented.size())
               ? MinisignVerdict::Good
               : MinisignVerdict::BadTrustedComment;
}
