// The tunnel token envelope and its Base64 form. The envelope (big-endian integers):
//   0  marker 0xFFFF        2  version 1         4  6 random bytes
//   10 random 32-bit seed   14 6 random bytes    20 length n of the ciphertext
//   24 ciphertext (n bytes) 24+n 2 random bytes
// The ciphertext is triple DES (EDE, three keys) in CBC mode with PKCS#5 padding. The key
// and the initialisation vector are fixed here, in one place, for the client and for any
// endpoint built with this code.
#pragma once

#include <cstddef>
#include <cstdint>

// Bytes of the envelope besides the ciphertext.
const size_t kZENTCryptoOverhead = 26;

// The 24-byte key of a token: the seed is stepped once by a linear congruential step
// (seed * kZENTCryptoKeyMultiplier + kZENTCryptoKeyIncrement, modulo 2^32), and the
// 4-byte big-endian result is hashed: the SHA-1 digest followed by the MD5 digest, of which
// the first 24 bytes are the key.
const uint32_t kZENTCryptoKeyMultiplier = 1103515245u;
const uint32_t kZENTCryptoKeyIncrement = 12345u;
// The fixed initialisation vector ("ZENTTUN1").
extern const uint8_t kZENTCryptoIV[8];

void ZENTCryptoDeriveKey(uint32_t seed, uint8_t key[24]);

// Upper bound of the envelope for m plaintext bytes: m + 34.
size_t ZENTCryptoEncryptLength(size_t m);
// Encrypts len bytes of in into an envelope in out. Its length, or 0 when out is too small
// or the crypto library fails.
size_t ZENTCryptoEncrypt(const uint8_t *in, size_t len, uint8_t *out, size_t out_size);
// The plaintext of an envelope, into out. Its length, or 0 for an input of 26 bytes or
// fewer, a wrong marker, a version above 1, a length field beyond the input, a ciphertext
// that does not decrypt, or an out buffer that is too small.
size_t ZENTCryptoDecrypt(const uint8_t *in, size_t len, uint8_t *out, size_t out_size);

// Standard Base64 without line breaks, NUL-terminated; truncated to the output buffer. The
// number of characters written.
size_t ZENTCryptoBase64Encode(const uint8_t *in, size_t len, char *out, size_t out_size);
// The decoded bytes; 0 for text that is not Base64 or does not fit.
size_t ZENTCryptoBase64Decode(const char *in, size_t len, uint8_t *out, size_t out_size);
