#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// The key and signature files of minisign, the tool image vendors sign
// with: Ed25519, the key named by an 8-byte id.
using MinisignKeyId = std::array<uint8_t, 8>;

struct MinisignKey {
    MinisignKeyId keyId{};
    std::array<uint8_t, 32> publicKey{};
};

struct MinisignSignature {
    // "ED" (the default): the file's BLAKE2b-512 is signed; "Ed" (minisign
    // -l, legacy): the file itself.
    bool bPrehashed = true;
    MinisignKeyId keyId{};
    std::array<uint8_t, 64> signature{};
    std::string strTrustedComment;
    // Over the signature and the trusted comment, so neither can be swapped.
    std::array<uint8_t, 64> globalSignature{};
};

// The text of a .pub file: "untrusted comment: ..." and one line of base64.
// False with the reason in error.
bool ParseMinisignKey(const std::string& text, MinisignKey& key, std::string& error);
// The text of a .minisig file: untrusted comment, signature, "trusted
// comment: ...", global signature, one a line.
bool ParseMinisignSignature(const std::string& text, MinisignSignature& signature, std::string& error);

// The id as minisign prints it: 16 upper-case hex digits, last byte first.
std::string MinisignKeyIdText(const MinisignKeyId& keyId);

enum class MinisignVerdict {
    Good,
    BadSignature,       // not these bytes, or not this key
    BadTrustedComment,  // the bytes verify, the trusted comment does not
};

// Checks signature over data with key (OpenSSL's Ed25519 and BLAKE2b-512).
MinisignVerdict VerifyMinisign(const MinisignKey& key, const MinisignSignature& signature, const uint8_t* data,
                               size_t size);
