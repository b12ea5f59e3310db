// AES-128 block cipher (FIPS-197) and the MD5 digest (RFC 1321), as the encrypted data files use them.
#pragma once

#include <cstddef>
#include <cstdint>

// AES-128 with one expanded key.
class CKxAes128 {
public:
    // Expands the 16-byte key.
    explicit CKxAes128(const uint8_t key[16]);
    // Encrypts one 16-byte block (in and out may be the same buffer).
    void Encrypt(const uint8_t in[16], uint8_t out[16]) const;
    // Decrypts one 16-byte block (in and out may be the same buffer).
    void Decrypt(const uint8_t in[16], uint8_t out[16]) const;

private:
    uint8_t m_roundKeys[176];
};

// The 16-byte MD5 digest of len bytes at data.
void MD5(const void* data, size_t len, uint8_t digest[16]);
