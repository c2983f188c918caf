#ifndef TOMCRYPTUTIL_H
#define TOMCRYPTUTIL_H

#include <QtGlobal>

#include <tomcrypt.h>

#include <exception>
#include <string>

class QIODevice;

// RSA signatures of release files: RSASSA-PSS over SHA-1 (MGF1 with SHA-1,
// salt length 8), checked against the public key built into the program.
// Every failure of the crypto library becomes a crypt_exception; a signature
// that merely does not match is no failure (verify_msg returns false).

class crypt_exception : public std::exception
{
public:
    explicit crypt_exception(const char* message);
    explicit crypt_exception(const std::string& message);
    ~crypt_exception() override;
    const char* what() const noexcept override;

private:
    std::string message;
};

// A key file, and the built-in key, is a block of this size: the DER key at
// its head, zero filler after it.
constexpr unsigned long KEY_BLOCK_SIZE = 2048;
constexpr unsigned long SHA1_DIGEST_SIZE = 20;
// A valid signature file holds just the modulus length (128 bytes for the
// built-in key). Anything above this bound is refused without reading it.
constexpr qint64 MAX_SIGNATURE_FILE_SIZE = 64 * 1024;

// The built-in public key block. Each program links exactly one key library
// that defines it: `update` the key chosen at build time (kvkey_builtin), the
// tests the development key (kvkey_development).
extern const unsigned char PUBLIC_KEY[KEY_BLOCK_SIZE];

// Registers the system PRNG, the math provider and SHA-1 with the library.
// The body runs once per process; later calls return at once, so a check
// running on a worker thread never sees the library's tables change.
void crypt_init();

// Imports a DER key (the first DER structure of the buffer; trailing filler
// is ignored). Runs crypt_init first. On a throw the key is left empty.
void load_key(Rsa_key* key, const unsigned char* buffer, unsigned long length);

// True when signature is a valid signature of the message made with the
// private half of key; false when it has the right form but does not match.
// Throws "rsa_verify_hash: ..." for a signature the library cannot process,
// such as one whose length differs from the modulus length.
bool verify_msg(Rsa_key* key, const unsigned char* message, unsigned long messageLength,
                unsigned char* signature, unsigned long signatureLength);

// verify_msg for a message whose SHA-1 digest (SHA1_DIGEST_SIZE bytes) has
// already been computed, for example streamed with hash_device.
bool verify_hash(Rsa_key* key, const unsigned char* digest,
                 const unsigned char* signature, unsigned long signatureLength);

// SHA-1 of everything left in an open device, read in fixed-size chunks so
// memory stays flat whatever the size. Returns the number of bytes hashed, or
// -1 when a read fails (the digest is then meaningless).
qint64 hash_device(QIODevice* device, unsigned char* digest);

// Owns one key filled by load_key or create_key and releases its big numbers
// when it goes out of scope, whether the code using it returned or threw.
class ScopedRsaKey
{
public:
    ScopedRsaKey();
    ~ScopedRsaKey();
    ScopedRsaKey(const ScopedRsaKey&) = delete;
    ScopedRsaKey& operator=(const ScopedRsaKey&) = delete;

    Rsa_key* get();

private:
    Rsa_key key;
};

// The signing side: how release files and key files are made. The updater
// itself only verifies.

// A new 1024-bit key pair with public exponent 65537. Runs crypt_init first.
void create_key(Rsa_key* key);

// Signs the message. out holds *outLength bytes on entry; on return
// *outLength is the signature length (the modulus length). Two signatures of
// the same message differ (random salt) and both verify.
void sign_msg(Rsa_key* key, const unsigned char* message, unsigned long messageLength,
              unsigned char* out, unsigned long* outLength);

// sign_msg for a message whose SHA-1 digest has already been computed.
void sign_hash(Rsa_key* key, const unsigned char* digest, unsigned char* out,
               unsigned long* outLength);

// Writes the key as a KEY_BLOCK_SIZE block; type is PK_PUBLIC or PK_PRIVATE.
void save_key(Rsa_key* key, int type, const char* path);

// Imports the key block of a key file. A file that cannot be opened fails in
// the import ("rsa_import: ...").
void load_key(Rsa_key* key, const char* path);

// Reads a whole file into *block (null or a block from malloc, grown with
// realloc; the caller releases it with free, also after a throw) and sets
// *length to the number of bytes read.
void read_file(const char* path, unsigned char** block, unsigned long* length);

// Writes data as the whole content of the file. A file that could not be
// written completely is removed before the throw.
void write_file(const char* path, unsigned char* data, unsigned long length);

#endif
