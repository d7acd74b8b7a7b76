// minisign key and signature files as anyone may hand them over (an image's
// .minisig comes with the image). Whatever parses must say the same when
// written out again the way minisign writes it, and verifying it against
// the input itself must end in a verdict, never a crash.
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "run/minisign.h"

namespace {

std::string Base64(const std::vector<uint8_t>& bytes)
{
    std::vector<unsigned char> text(4 * ((bytes.size() + 2) / 3) + 1);
    const int length = EVP_EncodeBlock(text.data(), bytes.data(), static_cast<int>(bytes.size()));
    return std::string(reinterpret_cast<const char*>(text.data()), static_cast<size_t>(length));
}

std::string KeyText(const MinisignKey& key)
{
    std::vector<uint8_t> bytes = {'E', 'd'};
    bytes.insert(bytes.end(), key.keyId.begin(), key.keyId.end());
    bytes.insert(bytes.end(), key.publicKey.begin(), key.publicKey.end());
    return "untrusted comment: again\n" + Base64(bytes) + "\n";
}

std::string SignatureText(const MinisignSignature& signature)
{
    std::vector<uint8_t> bytes = {'E', static_cast<uint8_t>(signature.bPrehashed ? 'D' : 'd')};
    bytes.insert(bytes.end(), signature.keyId.begin(), signature.keyId.end());
    bytes.insert(bytes.end(), signature.signature.begin(), signature.signature.end());
    const std::vector<uint8_t> global(signature.globalSignature.begin(), signature.globalSignature.end());
    return "untrusted comment: again\n" + Base64(bytes) + "\ntrusted comment: " + signature.strTrustedComment + "\n" +
           Base64(global) + "\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;

    MinisignKey key;
    const bool isKey = ParseMinisignKey(text, key, error);
    KT_FUZZ_CHECK(isKey || !error.empty());
    if (isKey) {
        MinisignKey again;
        KT_FUZZ_CHECK(ParseMinisignKey(KeyText(key), again, error));
        KT_FUZZ_CHECK(again.keyId == key.keyId && again.publicKey == key.publicKey);
        KT_FUZZ_CHECK(MinisignKeyIdText(key.keyId).size() == 16);
    }

    MinisignSignature signature;
    error.clear();
    const bool isSignature = ParseMinisignSignature(text, signature, error);
    KT_FUZZ_CHECK(isSignature || !error.empty());
    KT_FUZZ_CHECK(!(isKey && isSignature));
    if (isSignature) {
        KT_FUZZ_CHECK(signature.strTrustedComment.find('\n') == std::string::npos);
        MinisignSignature again;
        KT_FUZZ_CHECK(ParseMinisignSignature(SignatureText(signature), again, error));
        KT_FUZZ_CHECK(again.bPrehashed == signature.bPrehashed && again.keyId == signature.keyId &&
                      again.signature == signature.signature &&
                      again.strTrustedComment == signature.strTrustedComment &&
                      again.globalSignature == signature.globalSignature);
        // Any key of the signature's id, over any bytes: a verdict.
        MinisignKey signer;
        signer.keyId = signature.keyId;
        const MinisignVerdict verdict = VerifyMinisign(signer, signature, data, size);
        KT_FUZZ_CHECK(verdict == MinisignVerdict::Good || verdict == MinisignVerdict::BadSignature ||
                      verdict == MinisignVerdict::BadTrustedComment);
    }
    return 0;
}
