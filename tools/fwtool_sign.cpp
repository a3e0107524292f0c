// SPDX-License-Identifier: MIT
// fwtool key and the signing commands of fwtool image: Ed25519 keys in the PEM forms OpenSSL
// writes and reads, an image's manifest, its signature file, and the device's own check of one.
// The keys and signatures come from libsodium, the library the device verifies with; a seed is
// taken from getrandom(), so sodium_init() is not needed here either.
#include "fwtool.h"

#include <sodium.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image.h"
#include "keyring.h"
#include "manifest.h"
#include "sha256.h"

namespace
{

// PKCS#8 of an Ed25519 private key up to its 32-byte seed, as `openssl genpkey` writes it.
constexpr uint8_t kPkcs8Prefix[] = {0x30, 0x2e, 0x02, 0x01, 0x00, 0x30, 0x05, 0x06,
                                    0x03, 0x2b, 0x65, 0x70, 0x04, 0x22, 0x04, 0x20};
constexpr size_t kSeedLen = 32;
constexpr char kDefaultKeyName[] = "signing-key";
constexpr size_t kPemLine = 64; // characters per base64 line, as OpenSSL writes them

// The options the signing commands take; each command names those it accepts.
struct sign_args {
    const char *key = nullptr;     // --key FILE
    const char *keyring = nullptr; // --keyring DIR
    const char *output = nullptr;  // -o FILE / NAME
    const char *version = "";      // --version TEXT
    const char *words[2] = {};     // operands
    int word_count = 0;
};

// Takes options with a value and operands; `allowed` lists the option names the command knows.
bool parse_args(const char *cmd, int argc, char **argv, const char *const *allowed, int max_words,
                sign_args *a)
{
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (arg[0] == '-' && arg[1] != '\0') {
            // "--key FILE" or "--key=FILE".
            const char *eq = strncmp(arg, "--", 2) == 0 ? strchr(arg, '=') : nullptr;
            const size_t name_len = eq != nullptr ? (size_t)(eq - arg) : strlen(arg);
            const char *name = nullptr;
            for (const char *const *o = allowed; *o != nullptr; o++) {
                if (strlen(*o) == name_len && strncmp(*o, arg, name_len) == 0)
                    name = *o;
            }
            if (name == nullptr) {
                fwtool_usage_error(cmd, "unknown option '%.*s'", (int)name_len, arg);
                return false;
            }
            if (eq == nullptr && i + 1 >= argc) {
                fwtool_usage_error(cmd, "%s needs a value", name);
                return false;
            }
            const char *value = eq != nullptr ? eq + 1 : argv[++i];
            if (strcmp(name, "--key") == 0)
                a->key = value;
            else if (strcmp(name, "--keyring") == 0)
                a->keyring = value;
            else if (strcmp(name, "-o") == 0)
                a->output = value;
            else
                a->version = value;
            continue;
        }
        if (a->word_count == max_words) {
            fwtool_usage_error(cmd, "unexpected argument '%s'", arg);
            return false;
        }
        a->words[a->word_count++] = arg;
    }
    return true;
}

// Reads a small file whole. False with errno set (EFBIG when over `cap` bytes).
bool read_small(const char *path, char *buf, size_t cap, size_t *len)
{
    FILE *f = fopen(path, "rb");
    if (f == nullptr)
        return false;
    const size_t n = fread(buf, 1, cap + 1, f);
    const bool failed = ferror(f) != 0;
    fclose(f);
    if (failed) {
        errno = EIO;
        return false;
    }
    if (n > cap) {
        errno = EFBIG;
        return false;
    }
    *len = n;
    return true;
}

std::string pem_encode(const char *label, const uint8_t *der, size_t len)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string b64;
    for (size_t i = 0; i < len; i += 3) {
        // Bytes of this group (1 to 3); a short last group is padded with '='.
        const size_t left = len - i;
        const uint32_t w = (uint32_t)der[i] << 16 | (left > 1 ? (uint32_t)der[i + 1] << 8 : 0u) |
                           (left > 2 ? (uint32_t)der[i + 2] : 0u);
        for (size_t j = 0; j < 4; j++)
            b64 += j <= left ? digits[(w >> (18 - 6 * j)) & 0x3f] : '=';
    }
    std::string out = std::string("-----BEGIN ") + label + "-----\n";
    for (size_t i = 0; i < b64.size(); i += kPemLine)
        out += b64.substr(i, kPemLine) + "\n";
    return out + "-----END " + label + "-----\n";
}

bool load_public(const char *cmd, const char *path, uint8_t pub[ED25519_PUBLIC_LEN])
{
    char text[KEY_FILE_MAX];
    size_t len = 0;

    if (!read_small(path, text, sizeof(text), &len)) {
        fprintf(stderr, "fwtool %s: cannot read %s: %s\n", cmd, path, strerror(errno));
        return false;
    }
    if (pem_public_key_decode(text, len, pub) != 0) {
        fprintf(stderr, "fwtool %s: %s is not an Ed25519 public key in PEM\n", cmd, path);
        return false;
    }
    return true;
}

bool load_private(const char *cmd, const char *path, uint8_t pub[ED25519_PUBLIC_LEN],
                  uint8_t secret[crypto_sign_SECRETKEYBYTES])
{
    char text[KEY_FILE_MAX];
    uint8_t der[sizeof(kPkcs8Prefix) + kSeedLen + 1];
    size_t len = 0;

    if (!read_small(path, text, sizeof(text), &len)) {
        fprintf(stderr, "fwtool %s: cannot read %s: %s\n", cmd, path, strerror(errno));
        return false;
    }
    const int n = pem_decode(text, len, "PRIVATE KEY", der, sizeof(der));
    sodium_memzero(text, sizeof(text));
    if (n != (int)(sizeof(kPkcs8Prefix) + kSeedLen) ||
        memcmp(der, kPkcs8Prefix, sizeof(kPkcs8Prefix)) != 0) {
        fprintf(stderr,
                "fwtool %s: %s is not an unencrypted Ed25519 private key in PEM "
                "(openssl genpkey -algorithm ed25519)\n",
                cmd, path);
        return false;
    }
    crypto_sign_seed_keypair(pub, secret, der + sizeof(kPkcs8Prefix));
    sodium_memzero(der, sizeof(der));
    return true;
}

// The digests and model of the image at `path`, into `m`. FWTOOL_OK, or FWTOOL_FAILED with the
// reason told.
int describe_image(const char *cmd, const char *path, fw_manifest *m)
{
    uint8_t bytes[FW_HEADER_LEN];
    fw_image_header hdr;
    char name[FW_NAME_LEN];
    struct stat st;
    int status = FWTOOL_FAILED;
    FILE *f = fopen(path, "rb");

    if (f == nullptr) {
        fprintf(stderr, "fwtool %s: cannot open %s: %s\n", cmd, path, strerror(errno));
        return FWTOOL_USAGE;
    }
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode) ||
        fread(bytes, 1, sizeof(bytes), f) != sizeof(bytes)) {
        fprintf(stderr, "fwtool %s: %s is not a firmware image\n", cmd, path);
    } else if (image_header_check(bytes) != 0) {
        fprintf(stderr, "fwtool %s: %s: bad magic or header CRC\n", cmd, path);
    } else {
        image_header_decode(bytes, &hdr);
        image_header_name(&hdr, name);
        rewind(f);
        fw_image_digests sha;
        if (image_stream_digests(f, (uint64_t)st.st_size, &hdr, &sha) != 0) {
            fprintf(stderr, "fwtool %s: %s: a payload lies outside the file, or reading failed\n",
                    cmd, path);
        } else {
            memcpy(m->image_sha256, sha.image, SHA256_LEN);
            memcpy(m->kernel_sha256, sha.payload[PAYLOAD_KERNEL], SHA256_LEN);
            memcpy(m->root_sha256, sha.payload[PAYLOAD_ROOT], SHA256_LEN);
            snprintf(m->model, sizeof(m->model), "%s", name);
            status = FWTOOL_OK;
        }
    }
    fclose(f);
    return status;
}

// The manifest text of an image for a key; FWTOOL_OK with `text` and its length.
int make_manifest(const char *cmd, const char *image, const char *version,
                  const uint8_t pub[ED25519_PUBLIC_LEN], char *text, int *len)
{
    fw_manifest m = {};

    if (strlen(version) > MANIFEST_VERSION_MAX) {
        fwtool_usage_error(cmd, "--version: at most %d characters", MANIFEST_VERSION_MAX);
        return FWTOOL_USAGE;
    }
    snprintf(m.version, sizeof(m.version), "%s", version);
    key_id_of(pub, m.key_id);
    const int status = describe_image(cmd, image, &m);
    if (status != FWTOOL_OK)
        return status;
    *len = manifest_format(&m, text, MANIFEST_TEXT_MAX);
    if (*len == MANIFEST_ERR_FORMAT) {
        fprintf(stderr,
                "fwtool %s: the version or the image's model name is not printable text "
                "without a space at either end\n",
                cmd);
        return FWTOOL_USAGE;
    }
    return *len > 0 ? FWTOOL_OK : FWTOOL_FAILED;
}

bool write_new_file(const char *cmd, const std::string &path, const std::string &data, mode_t mode,
                    bool exclusive)
{
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
    const int fd = open(path.c_str(), flags, mode);
    if (fd < 0) {
        fprintf(stderr, "fwtool %s: cannot create %s: %s\n", cmd, path.c_str(), strerror(errno));
        return false;
    }
    const ssize_t n = write(fd, data.data(), data.size());
    const bool ok = n == (ssize_t)data.size() && fsync(fd) == 0;
    const int err = errno;
    if (close(fd) != 0 || !ok) {
        fprintf(stderr, "fwtool %s: writing %s failed: %s\n", cmd, path.c_str(),
                strerror(ok ? errno : err));
        unlink(path.c_str());
        return false;
    }
    return true;
}

} // namespace

int fwtool_key(int argc, char **argv)
{
    static const char *const allowed[] = {"-o", nullptr};
    uint8_t seed[kSeedLen], pub[ED25519_PUBLIC_LEN], secret[crypto_sign_SECRETKEYBYTES];
    uint8_t der[sizeof(kPkcs8Prefix) + kSeedLen];
    uint8_t spki[sizeof(g_ed25519_spki_prefix) + ED25519_PUBLIC_LEN];
    uint8_t id[KEY_ID_LEN];
    char id_hex[2 * KEY_ID_LEN + 1];
    sign_args a;

    bool help = argc >= 2 && (fwtool_is_help(argv[1]) || strcmp(argv[1], "help") == 0);
    for (int i = 2; i < argc; i++)
        help = help || fwtool_is_help(argv[i]);
    if (help) {
        printf("usage: fwtool key create [-o NAME]\n"
               "Make an Ed25519 signing key: NAME.pem, the private key (mode 0600), and\n"
               "NAME.pub.pem, the public key for the device's keyring; default NAME: %s.\n"
               "Neither file may exist yet. The files are those of 'openssl genpkey -algorithm\n"
               "ed25519' and 'openssl pkey -pubout'.\n",
               kDefaultKeyName);
        return FWTOOL_OK;
    }
    if (argc < 2) {
        fwtool_usage_error("key", "a command is needed");
        return FWTOOL_USAGE;
    }
    if (strcmp(argv[1], "create") != 0) {
        fwtool_usage_error("key", "unknown command '%s'", argv[1]);
        return FWTOOL_USAGE;
    }
    if (!parse_args("key create", argc - 1, argv + 1, allowed, 0, &a))
        return FWTOOL_USAGE;
    const std::string name = a.output != nullptr ? a.output : kDefaultKeyName;
    if (getrandom(seed, sizeof(seed), 0) != (ssize_t)sizeof(seed)) {
        fprintf(stderr, "fwtool key create: no random numbers: %s\n", strerror(errno));
        return FWTOOL_FAILED;
    }
    crypto_sign_seed_keypair(pub, secret, seed);
    memcpy(der, kPkcs8Prefix, sizeof(kPkcs8Prefix));
    memcpy(der + sizeof(kPkcs8Prefix), seed, kSeedLen);
    memcpy(spki, g_ed25519_spki_prefix, sizeof(g_ed25519_spki_prefix));
    memcpy(spki + sizeof(g_ed25519_spki_prefix), pub, ED25519_PUBLIC_LEN);
    std::string private_pem = pem_encode("PRIVATE KEY", der, sizeof(der));
    sodium_memzero(seed, sizeof(seed));
    sodium_memzero(secret, sizeof(secret));
    sodium_memzero(der, sizeof(der));
    const bool ok = write_new_file("key create", name + ".pem", private_pem, 0600, true);
    sodium_memzero(&private_pem[0], private_pem.size());
    if (!ok)
        return FWTOOL_FAILED;
    if (!write_new_file("key create", name + ".pub.pem",
                        pem_encode("PUBLIC KEY", spki, sizeof(spki)), 0644, true)) {
        unlink((name + ".pem").c_str());
        return FWTOOL_FAILED;
    }
    key_id_of(pub, id);
    hex_encode(id, KEY_ID_LEN, id_hex);
    printf("wrote %s.pem (private) and %s.pub.pem (public), key id %s\n", name.c_str(),
           name.c_str(), id_hex);
    return FWTOOL_OK;
}

int fwtool_image_manifest(int argc, char **argv)
{
    static const char *const allowed[] = {"--key", "--version", nullptr};
    uint8_t pub[ED25519_PUBLIC_LEN];
    char text[MANIFEST_TEXT_MAX];
    int len = 0;
    sign_args a;

    if (!parse_args("image manifest", argc, argv, allowed, 1, &a))
        return FWTOOL_USAGE;
    if (a.word_count != 1 || a.key == nullptr) {
        fwtool_usage_error("image manifest", "expected IMAGE and --key PUBLIC.pem");
        return FWTOOL_USAGE;
    }
    if (!load_public("image manifest", a.key, pub))
        return FWTOOL_USAGE;
    const int status = make_manifest("image manifest", a.words[0], a.version, pub, text, &len);
    if (status == FWTOOL_OK)
        fwrite(text, 1, (size_t)len, stdout);
    return status;
}

int fwtool_image_sign(int argc, char **argv)
{
    static const char *const allowed[] = {"--key", "--version", "-o", nullptr};
    uint8_t pub[ED25519_PUBLIC_LEN], secret[crypto_sign_SECRETKEYBYTES];
    uint8_t sig[ED25519_SIGNATURE_LEN];
    char text[MANIFEST_TEXT_MAX], sig_hex[2 * ED25519_SIGNATURE_LEN + 1];
    char id_hex[2 * KEY_ID_LEN + 1];
    int len = 0;
    sign_args a;

    if (!parse_args("image sign", argc, argv, allowed, 1, &a))
        return FWTOOL_USAGE;
    if (a.word_count != 1 || a.key == nullptr) {
        fwtool_usage_error("image sign", "expected IMAGE and --key PRIVATE.pem");
        return FWTOOL_USAGE;
    }
    if (!load_private("image sign", a.key, pub, secret))
        return FWTOOL_USAGE;
    int status = make_manifest("image sign", a.words[0], a.version, pub, text, &len);
    if (status == FWTOOL_OK)
        crypto_sign_detached(sig, nullptr, (const uint8_t *)text, (unsigned long long)len, secret);
    sodium_memzero(secret, sizeof(secret));
    if (status != FWTOOL_OK)
        return status;
    hex_encode(sig, sizeof(sig), sig_hex);
    const std::string out = a.output != nullptr ? a.output : std::string(a.words[0]) + ".sig";
    const std::string data = std::string(text, (size_t)len) + "signature " + sig_hex + "\n";
    if (!write_new_file("image sign", out, data, 0644, false))
        return FWTOOL_FAILED;
    uint8_t id[KEY_ID_LEN];
    key_id_of(pub, id);
    hex_encode(id, KEY_ID_LEN, id_hex);
    printf("wrote %s, signed by key %s\n", out.c_str(), id_hex);
    return FWTOOL_OK;
}

int fwtool_image_verify(int argc, char **argv)
{
    static const char *const allowed[] = {"--keyring", nullptr};
    fw_keyring ring;
    fw_sig_file sig;
    fw_manifest m = {};
    char id_hex[2 * KEY_ID_LEN + 1];
    sign_args a;

    if (!parse_args("image verify", argc, argv, allowed, 2, &a))
        return FWTOOL_USAGE;
    if (a.word_count < 1 || a.keyring == nullptr) {
        fwtool_usage_error("image verify", "expected --keyring DIR and IMAGE [SIG]");
        return FWTOOL_USAGE;
    }
    const char *image = a.words[0];
    const std::string sig_path = a.word_count == 2 ? a.words[1] : std::string(image) + ".sig";
    const int keys = keyring_load(a.keyring, &ring);
    if (keys < 0)
        return FWTOOL_USAGE;
    if (keys == 0) {
        fprintf(stderr, "fwtool image verify: no keys in %s\n", a.keyring);
        return FWTOOL_USAGE;
    }
    int rc = sig_verify_file(sig_path.c_str(), &ring, &sig);
    if (rc == 0) {
        const int status = describe_image("image verify", image, &m);
        if (status != FWTOOL_OK)
            return status;
        rc = manifest_match(&sig.manifest, m.image_sha256, m.kernel_sha256, m.root_sha256, m.model);
    }
    if (rc != 0) {
        printf("%s: %s (%s)\n", image, sig_error_text(rc), sig_path.c_str());
        return FWTOOL_FAILED;
    }
    hex_encode(sig.manifest.key_id, KEY_ID_LEN, id_hex);
    printf("%s: good signature by key %s, model \"%s\", version \"%s\"\n", image, id_hex,
           sig.manifest.model, sig.manifest.version);
    return FWTOOL_OK;
}

void fwtool_sig_info(const char *image, json_writer *w)
{
    char bytes[SIG_FILE_MAX + 1], id_hex[2 * KEY_ID_LEN + 1];
    fw_sig_file sig;
    fw_manifest m = {};
    size_t len = 0;
    const std::string path = std::string(image) + ".sig";
    struct stat st;

    // Standard input ("-") has no file beside it.
    if (strcmp(image, "-") == 0 || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    const bool parsed = read_small(path.c_str(), bytes, SIG_FILE_MAX, &len) &&
                        sig_file_parse(bytes, len, &sig) == 0;
    if (!parsed) {
        if (w != nullptr) {
            json_object(w, "signature");
            json_string(w, "path", path.c_str());
            json_string(w, "problem", sig_error_text(SIG_ERR_MALFORMED));
            json_end_object(w);
        } else {
            printf("signature:      %s: %s\n", path.c_str(), sig_error_text(SIG_ERR_MALFORMED));
        }
        return;
    }
    // Whether the manifest describes this image; the signature itself needs a keyring (verify).
    const bool described =
        describe_image("image info", image, &m) == FWTOOL_OK &&
        manifest_match(&sig.manifest, m.image_sha256, m.kernel_sha256, m.root_sha256, m.model) == 0;
    hex_encode(sig.manifest.key_id, KEY_ID_LEN, id_hex);
    if (w != nullptr) {
        json_object(w, "signature");
        json_string(w, "path", path.c_str());
        json_string(w, "key_id", id_hex);
        json_string(w, "model", sig.manifest.model);
        json_string(w, "version", sig.manifest.version);
        json_bool(w, "manifest_matches", described);
        json_end_object(w);
        return;
    }
    printf("signature:      %s, key id %s\n", path.c_str(), id_hex);
    printf("signed model:   \"%s\"\nversion:        \"%s\"\n", sig.manifest.model,
           sig.manifest.version);
    printf("manifest:       %s\n",
           described ? "matches the image" : sig_error_text(SIG_ERR_MISMATCH));
}
