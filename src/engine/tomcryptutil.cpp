#include "tomcryptutil.h"

#include <QIODevice>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace {

// Indices into the library's descriptor tables, set once by crypt_init.
int hash_idx = 0;
int prng_idx = 0;

std::once_flag initialized;

constexpr unsigned long SALT_LENGTH = 8;
constexpr unsigned long KEY_SIZE_BYTES = 128;
constexpr long PUBLIC_EXPONENT = 65537;
constexpr qint64 HASH_CHUNK_SIZE = 256 * 1024;
constexpr unsigned long READ_CHUNK_SIZE = 2048;

void check_err(const char* operation, int result)
{
    if (result == CRYPT_OK)
        return;
    throw crypt_exception(std::string(operation) + ": " + error_to_string(result));
}

void hash_msg(const unsigned char* message, unsigned long messageLength, unsigned char* digest)
{
    hash_state state;
    sha1_init(&state);
    sha1_process(&state, message, messageLength);
    sha1_done(&state, digest);
}

struct FileCloser
{
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Writes the whole buffer and closes the file, checking both: a full disk
// often shows only at close. An incomplete file is removed.
void write_whole_file(const char* path, const unsigned char* data, unsigned long length)
{
    std::FILE* file = std::fopen(path, "wb");
    if (!file)
        throw crypt_exception(std::string("Cannot open file for writing: ") + path);
    const bool written = std::fwrite(data, 1, length, file) == length;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        std::remove(path);
        throw crypt_exception(std::string("Cannot write file: ") + path);
    }
}

} // namespace

crypt_exception::crypt_exception(const char* message)
    : message(message)
{
}

crypt_exception::crypt_exception(const std::string& message)
    : message(message)
{
}

crypt_exception::~crypt_exception() = default;

const char* crypt_exception::what() const noexcept
{
    return message.c_str();
}

void crypt_init()
{
    // If the body throws, the flag stays unset and the next call tries again.
    std::call_once(initialized, [] {
        if (register_prng(&sprng_desc) == -1)
            throw crypt_exception("Error registering sprng");
        ltc_mp = ltm_desc;
        if (register_hash(&sha1_desc) == -1)
            throw crypt_exception("Error registering sha1");
        hash_idx = find_hash("sha1");
        prng_idx = find_prng("sprng");
    });
}

void load_key(Rsa_key* key, const unsigned char* buffer, unsigned long length)
{
    // Without a math provider the import aborts the whole process.
    crypt_init();
    // The library aborts the process on an empty buffer instead of failing.
    const int result = length == 0 ? CRYPT_INVALID_ARG : rsa_import(buffer, length, key);
    // A failed import has already released what it allocated but leaves the
    // pointers behind; clear them so ScopedRsaKey does not free them again.
    if (result != CRYPT_OK)
        *key = Rsa_key();
    check_err("rsa_import", result);
}

bool verify_msg(Rsa_key* key, const unsigned char* message, unsigned long messageLength,
                unsigned char* signature, unsigned long signatureLength)
{
    unsigned char digest[SHA1_DIGEST_SIZE];
    hash_msg(message, messageLength, digest);
    return verify_hash(key, digest, signature, signatureLength);
}

bool verify_hash(Rsa_key* key, const unsigned char* digest,
                 const unsigned char* signature, unsigned long signatureLength)
{
    int status = 0;
    check_err("rsa_verify_hash",
              rsa_verify_hash_ex(signature, signatureLength, digest, SHA1_DIGEST_SIZE,
                                 LTC_PKCS_1_PSS, hash_idx, SALT_LENGTH, &status, key));
    return status == 1;
}

qint64 hash_device(QIODevice* device, unsigned char* digest)
{
    const std::unique_ptr<char[]> chunk(new char[HASH_CHUNK_SIZE]);
    hash_state state;
    sha1_init(&state);
    qint64 total = 0;
    for (;;) {
        const qint64 count = device->read(chunk.get(), HASH_CHUNK_SIZE);
        if (count < 0)
            return -1;
        if (count == 0)
            break;
        sha1_process(&state, reinterpret_cast<const unsigned char*>(chunk.get()),
                     static_cast<unsigned long>(count));
        total += count;
    }
    sha1_done(&state, digest);
    return total;
}

ScopedRsaKey::ScopedRsaKey()
    : key()
{
}

ScopedRsaKey::~ScopedRsaKey()
{
    // load_key and create_key leave the key empty when they throw.
    if (key.N)
        rsa_free(&key);
}

Rsa_key* ScopedRsaKey::get()
{
    return &key;
}

void create_key(Rsa_key* key)
{
    crypt_init();
    const int result = rsa_make_key(nullptr, prng_idx, KEY_SIZE_BYTES, PUBLIC_EXPONENT, key);
    if (result != CRYPT_OK)
        *key = Rsa_key();
    check_err("rsa_make_key", result);
}

void sign_msg(Rsa_key* key, const unsigned char* message, unsigned long messageLength,
              unsigned char* out, unsigned long* outLength)
{
    unsigned char digest[SHA1_DIGEST_SIZE];
    hash_msg(message, messageLength, digest);
    sign_hash(key, digest, out, outLength);
}

void sign_hash(Rsa_key* key, const unsigned char* digest, unsigned char* out,
               unsigned long* outLength)
{
    check_err("rsa_sign_hash",
              rsa_sign_hash_ex(digest, SHA1_DIGEST_SIZE, out, outLength, LTC_PKCS_1_PSS,
                               nullptr, prng_idx, hash_idx, SALT_LENGTH, key));
}

void save_key(Rsa_key* key, int type, const char* path)
{
    unsigned char block[KEY_BLOCK_SIZE] = {};
    unsigned long length = KEY_BLOCK_SIZE;
    check_err("rsa_export", rsa_export(block, &length, type, key));
    write_whole_file(path, block, KEY_BLOCK_SIZE);
}

void load_key(Rsa_key* key, const char* path)
{
    unsigned char block[KEY_BLOCK_SIZE] = {};
    if (const FileHandle file{std::fopen(path, "rb")})
        std::fread(block, 1, KEY_BLOCK_SIZE, file.get());
    load_key(key, block, KEY_BLOCK_SIZE);
}

void read_file(const char* path, unsigned char** block, unsigned long* length)
{
    *length = 0;
    const FileHandle file{std::fopen(path, "rb")};
    if (!file)
        throw crypt_exception(std::string("Cannot open file for reading: ") + path);
    for (;;) {
        void* grown = std::realloc(*block, *length + READ_CHUNK_SIZE);
        if (!grown)
            throw crypt_exception(std::string("Out of memory reading file: ") + path);
        *block = static_cast<unsigned char*>(grown);
        const std::size_t count = std::fread(*block + *length, 1, READ_CHUNK_SIZE, file.get());
        *length += count;
        if (count < READ_CHUNK_SIZE)
            break;
    }
    // A short read is the end of the file or a read error; only the first
    // gives the whole content.
    if (std::ferror(file.get()))
        throw crypt_exception(std::string("Cannot read file: ") + path);
}

void write_file(const char* path, unsigned char* data, unsigned long length)
{
    write_whole_file(path, data, length);
}
