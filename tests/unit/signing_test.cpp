// SPDX-License-Identifier: MIT
// Signed images: the manifest and signature-file grammar (sound and hostile rows), PEM public
// keys (RFC 8410's example key and hostile variants), the keyring directory, and signatures made
// by the openssl command line alone checked by the device's verifier, and the other way round.
#include "fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "image.h"
#include "keyring.h"
#include "manifest.h"
#include "sha256.h"

namespace
{

using fwtest::run_program;
using fwtest::TempDir;

const std::string kH64(64, 'a');
const std::string kManifest = "fwupgrade-manifest 1\n"
                              "image-sha256 " +
                              kH64 +
                              "\n"
                              "kernel-sha256 " +
                              std::string(64, 'b') +
                              "\n"
                              "root-sha256 " +
                              std::string(64, 'c') +
                              "\n"
                              "model TS-X\n"
                              "version 1.2 beta\n"
                              "key-id 0123456789abcdef\n";

std::string replace(std::string s, const std::string &from, const std::string &to)
{
    const size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? s : s.replace(at, from.size(), to);
}

struct text_row {
    const char *name;
    std::string text;
    bool good;
};

TEST(Manifest, ParseRows)
{
    const std::vector<text_row> rows = {
        {"sound", kManifest, true},
        {"empty version stands alone", replace(kManifest, "version 1.2 beta", "version"), true},
        {"empty model stands alone", replace(kManifest, "model TS-X", "model"), true},
        {"64-character version", replace(kManifest, "1.2 beta", std::string(64, 'v')), true},
        {"15-character model", replace(kManifest, "TS-X", std::string(15, 'm')), true},
        {"empty", "", false},
        {"other format tag", replace(kManifest, "manifest 1", "manifest 2"), false},
        {"upper-case hex", replace(kManifest, kH64, std::string(64, 'A')), false},
        {"63 hex digits", replace(kManifest, kH64, std::string(63, 'a')), false},
        {"non-hex digit", replace(kManifest, kH64, "g" + std::string(63, 'a')), false},
        {"key id of 15 digits", replace(kManifest, "0123456789abcdef", "0123456789abcde"), false},
        {"keys out of order",
         replace(replace(kManifest, "model TS-X\n", ""), "key-id", "model TS-X\nkey-id"), false},
        {"key twice", replace(kManifest, "model TS-X\n", "model TS-X\nmodel TS-X\n"), false},
        {"unknown key appended", kManifest + "comment x\n", false},
        {"blank line at the end", kManifest + "\n", false},
        {"last line unended", kManifest.substr(0, kManifest.size() - 1), false},
        {"CR LF", replace(kManifest, "TS-X\n", "TS-X\r\n"), false},
        {"two spaces after the key", replace(kManifest, "model TS-X", "model  TS-X"), false},
        {"trailing space", replace(kManifest, "1.2 beta", "1.2 beta "), false},
        {"empty text with its space", replace(kManifest, "version 1.2 beta", "version "), false},
        {"65-character version", replace(kManifest, "1.2 beta", std::string(65, 'v')), false},
        {"16-character model", replace(kManifest, "TS-X", std::string(16, 'm')), false},
        {"tab in the text", replace(kManifest, "1.2 beta", "1.2\tbeta"), false},
        {"DEL in the text", replace(kManifest, "1.2 beta", "1.2\x7f"), false},
        {"byte over 0x7f", replace(kManifest, "1.2 beta", "1.2\xc3\xa9"), false},
        {"NUL in the text", replace(kManifest, "1.2 beta", std::string("1.2\0b", 5)), false},
        {"key as a prefix", replace(kManifest, "model TS-X", "modelx TS-X"), false},
        {"'~', the last printable byte", replace(kManifest, "1.2 beta", "1.2~"), true},
        {"tag with a trailing space", replace(kManifest, "manifest 1", "manifest 1 "), false},
        {"kernel digest missing",
         replace(kManifest, "kernel-sha256 " + std::string(64, 'b') + "\n", ""), false},
        {"image and kernel digests swapped",
         replace(replace(kManifest, "image-sha256 " + kH64 + "\n", ""), "root-sha256",
                 "image-sha256 " + kH64 + "\nroot-sha256"),
         false},
        {"root digest of 65 digits", replace(kManifest, std::string(64, 'c'), std::string(65, 'c')),
         false},
        {"key id missing", replace(kManifest, "key-id 0123456789abcdef\n", ""), false},
    };
    for (const text_row &r : rows) {
        fw_manifest m;
        memset(&m, 0x5a, sizeof(m));
        const int rc = manifest_parse(r.text.data(), r.text.size(), &m);
        EXPECT_EQ(rc, r.good ? 0 : MANIFEST_ERR_FORMAT) << r.name;
        if (!r.good) {
            EXPECT_EQ(m.model[0], 0x5a) << r.name << ": output written on failure";
        }
    }
}

TEST(Manifest, FormatRoundTripAndLimits)
{
    fw_manifest m;
    ASSERT_EQ(manifest_parse(kManifest.data(), kManifest.size(), &m), 0);
    EXPECT_STREQ(m.model, "TS-X");
    EXPECT_STREQ(m.version, "1.2 beta");
    EXPECT_EQ(fwtest::hex(m.key_id, KEY_ID_LEN), "0123456789abcdef");
    char buf[MANIFEST_TEXT_MAX];
    const int n = manifest_format(&m, buf, sizeof(buf));
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, (size_t)n), kManifest);
    // Exactly the text's length is one short of room for the NUL.
    EXPECT_EQ(manifest_format(&m, buf, (size_t)n), MANIFEST_ERR_SPACE);
    EXPECT_EQ(manifest_format(&m, buf, (size_t)n + 1), n);
    // A field the parser would refuse is never written.
    snprintf(m.version, sizeof(m.version), " lead");
    EXPECT_EQ(manifest_format(&m, buf, sizeof(buf)), MANIFEST_ERR_FORMAT);
    memset(m.model, 'm', sizeof(m.model)); // no NUL
    snprintf(m.version, sizeof(m.version), "v");
    EXPECT_EQ(manifest_format(&m, buf, sizeof(buf)), MANIFEST_ERR_FORMAT);
}

TEST(Manifest, SignatureFileRows)
{
    const std::string sig = "signature " + std::string(128, 'e') + "\n";
    const std::vector<text_row> rows = {
        {"sound", kManifest + sig, true},
        {"no signature line", kManifest, false},
        {"signature only", sig, false},
        {"127 hex digits", kManifest + "signature " + std::string(127, 'e') + "\n", false},
        {"129 hex digits", kManifest + "signature " + std::string(129, 'e') + "\n", false},
        {"upper-case signature", kManifest + "signature " + std::string(128, 'E') + "\n", false},
        {"signature line unended", kManifest + sig.substr(0, sig.size() - 1), false},
        {"line after the signature", kManifest + sig + "x\n", false},
        {"signature before the key id", replace(kManifest, "key-id", sig + "key-id") + sig, false},
        {"manifest broken", replace(kManifest, "TS-X", "TS-X ") + sig, false},
        {"signature key misspelt", kManifest + "Signature " + std::string(128, 'e') + "\n", false},
        {"signature key without its space", kManifest + "signature:" + std::string(128, 'e') + "\n",
         false},
        {"over 1024 bytes", std::string(1024 - sig.size() + 1, 'x') + sig, false},
    };
    for (const text_row &r : rows) {
        fw_sig_file s;
        EXPECT_EQ(sig_file_parse(r.text.data(), r.text.size(), &s),
                  r.good ? 0 : MANIFEST_ERR_FORMAT)
            << r.name;
        if (r.good) {
            EXPECT_EQ(s.signed_len, kManifest.size());
            EXPECT_EQ(s.signature[63], 0xee);
        }
    }
}

// Every field the manifest vouches for is compared: one that differs alone is a mismatch.
TEST(Manifest, MatchRows)
{
    fw_manifest m;
    ASSERT_EQ(manifest_parse(kManifest.data(), kManifest.size(), &m), 0);
    uint8_t d[3][SHA256_LEN];
    memcpy(d[0], m.image_sha256, SHA256_LEN);
    memcpy(d[1], m.kernel_sha256, SHA256_LEN);
    memcpy(d[2], m.root_sha256, SHA256_LEN);
    EXPECT_EQ(manifest_match(&m, d[0], d[1], d[2], "TS-X"), 0);
    EXPECT_EQ(manifest_match(&m, d[0], d[1], d[2], "TS-Y"), SIG_ERR_MISMATCH);
    EXPECT_EQ(manifest_match(&m, d[0], d[1], d[2], "TS-X2"), SIG_ERR_MISMATCH);
    EXPECT_EQ(manifest_match(&m, d[0], d[1], d[2], ""), SIG_ERR_MISMATCH);
    for (int i = 0; i < 3; i++) {
        d[i][SHA256_LEN - 1] ^= 1;
        EXPECT_EQ(manifest_match(&m, d[0], d[1], d[2], "TS-X"), SIG_ERR_MISMATCH) << i;
        d[i][SHA256_LEN - 1] ^= 1;
    }
}

// RFC 8410, section 10.1: an Ed25519 public key and its raw bytes.
const char kRfcPem[] = "-----BEGIN PUBLIC KEY-----\n"
                       "MCowBQYDK2VwAyEAGb9ECWmEzf6FQbrBZ9w7lshQhqowtrbLDFw4rXAxZuE=\n"
                       "-----END PUBLIC KEY-----\n";
const char kRfcRaw[] = "19bf44096984cdfe8541bac167dc3b96c85086aa30b6b6cb0c5c38ad703166e1";
const std::string kRfcBody = "MCowBQYDK2VwAyEAGb9ECWmEzf6FQbrBZ9w7lshQhqowtrbLDFw4rXAxZuE=";

TEST(Keyring, PemRows)
{
    const std::string pem = kRfcPem;
    const std::string split =
        replace(pem, kRfcBody, kRfcBody.substr(0, 20) + "\n" + kRfcBody.substr(20));
    std::string lines;
    for (int i = 0; i < 4; i++)
        lines += std::string(76, 'A') + "\n";
    const std::vector<text_row> rows = {
        {"as openssl writes it", pem, true},
        {"last line unended", pem.substr(0, pem.size() - 1), true},
        {"body over two lines", split, true},
        {"empty", "", false},
        {"CR LF", replace(pem, "KEY-----\n", "KEY-----\r\n"), false},
        {"private key label",
         replace(replace(pem, "BEGIN PUBLIC", "BEGIN PRIVATE"), "END PUBLIC", "END PRIVATE"),
         false},
        {"X25519 key (OID 1.3.101.110)", replace(pem, "K2VwAyEA", "K2VuAyEA"), false},
        {"no END line", replace(pem, "-----END PUBLIC KEY-----\n", ""), false},
        {"text after END", pem + "x\n", false},
        {"two keys", pem + pem, false},
        {"blank line first", "\n" + pem, false},
        {"empty line in the body", replace(pem, kRfcBody, kRfcBody + "\n"), false},
        {"base64 outside the alphabet", replace(pem, "MCow", "MC*w"), false},
        {"padding missing", replace(pem, "ZuE=", "ZuE"), false},
        {"padding bits set", replace(pem, "ZuE=", "ZuF="), false},
        {"padding inside", replace(pem, "MCow", "MC=w"), false},
        {"key one byte short", replace(pem, "MCow", "MCkw"), false},
        {"END of another label", replace(pem, "END PUBLIC", "END PRIVATE"), false},
        {"BIT STRING with unused bits", replace(pem, "AyEA", "AyEB"), false},
        {"body over 256 base64 characters", replace(pem, "KEY-----\n", "KEY-----\n" + lines),
         false},
        {"body on a 77-character line", replace(pem, kRfcBody, kRfcBody + "AAAAAAAAAAAAAAAA"),
         false},
    };
    for (const text_row &r : rows) {
        uint8_t pub[ED25519_PUBLIC_LEN] = {};
        EXPECT_EQ(pem_public_key_decode(r.text.data(), r.text.size(), pub),
                  r.good ? 0 : KEYRING_ERR_FORMAT)
            << r.name;
        if (r.good) {
            EXPECT_EQ(fwtest::hex(pub, sizeof(pub)), kRfcRaw) << r.name;
        }
    }
}

// The base64 of a DER blob, for key files made in the test.
std::string base64(const std::string &der)
{
    static const char d[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < der.size(); i += 3) {
        const size_t n = std::min<size_t>(3, der.size() - i);
        uint32_t w = (uint32_t)(uint8_t)der[i] << 16;
        if (n > 1)
            w |= (uint32_t)(uint8_t)der[i + 1] << 8;
        if (n > 2)
            w |= (uint8_t)der[i + 2];
        for (size_t j = 0; j < 4; j++)
            out += j <= n ? d[(w >> (18 - 6 * j)) & 0x3f] : '=';
    }
    return out;
}

std::string pem_of(const std::string &raw)
{
    const std::string spki = std::string((const char *)g_ed25519_spki_prefix, 12) + raw;
    return "-----BEGIN PUBLIC KEY-----\n" + base64(spki) + "\n-----END PUBLIC KEY-----\n";
}

void put(const std::string &path, const std::string &data)
{
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
}

TEST(Keyring, DirectoryRows)
{
    struct row {
        const char *name;
        void (*make)(const std::string &dir);
        int expect; // key count, or the error code
    };
    const std::vector<row> rows = {
        {"no directory", [](const std::string &) {}, 0},
        {"empty directory", [](const std::string &d) { mkdir(d.c_str(), 0755); }, 0},
        {"other files are not keys",
         [](const std::string &d) {
             mkdir(d.c_str(), 0755);
             put(d + "/README", "x");
             put(d + "/a.pem.off", "x");
             put(d + "/.hidden.pem", "x");
             put(d + "/a.PEM", "x");
         },
         0},
        {"two keys and a copy",
         [](const std::string &d) {
             mkdir(d.c_str(), 0755);
             put(d + "/a.pem", kRfcPem);
             put(d + "/b.pem", pem_of(std::string(32, 'b')));
             put(d + "/copy.pem", kRfcPem);
         },
         2},
        {"16 keys",
         [](const std::string &d) {
             mkdir(d.c_str(), 0755);
             for (int i = 0; i < 16; i++)
                 put(d + "/" + std::to_string(i) + ".pem", pem_of(std::string(32, (char)i)));
         },
         16},
        {"16 keys and a copy: a copy is no 17th key",
         [](const std::string &d) {
             mkdir(d.c_str(), 0755);
             for (int i = 0; i < 16; i++)
                 put(d + "/" + std::to_string(i) + ".pem", pem_of(std::string(32, (char)i)));
             put(d + "/copy.pem", pem_of(std::string(32, (char)7)));
         },
         16},
        {"17 keys",
         [](const std::string &d) {
             mkdir(d.c_str(), 0755);
             for (int i = 0; i < 17; i++)
                 put(d + "/" + std::to_string(i) + ".pem", pem_of(std::string(32, (char)i)));
         },
         KEYRING_ERR_FULL},
        {"a key through a link",
         [](const std::string &d) {
             mkdir(d.c_str(), 0755);
             put(d + "/real", kRfcPem);
             ASSERT_EQ(symlink("real", (d + "/a.pem").c_str()), 0);
         },
         KEYRING_ERR_KEY},
        {"a directory named like a key",
         [](const std::string &d) {
             mkdir(d.c_str(), 0755);
             mkdir((d + "/a.pem").c_str(), 0755);
         },
         KEYRING_ERR_KEY},
        {"a key file over 1024 bytes",
         [](const std::string &d) {
             mkdir(d.c_str(), 0755);
             put(d + "/a.pem", std::string(KEY_FILE_MAX + 1, '\n'));
         },
         KEYRING_ERR_KEY},
        {"a file that holds no key",
         [](const std::string &d) {
             mkdir(d.c_str(), 0755);
             put(d + "/a.pem", kRfcPem);
             put(d + "/b.pem", "not a key\n");
         },
         KEYRING_ERR_KEY},
        {"not a directory", [](const std::string &d) { put(d, kRfcPem); }, KEYRING_ERR_READ},
    };
    for (const row &r : rows) {
        TempDir tmp;
        const std::string dir = tmp / "keys";
        r.make(dir);
        fw_keyring ring;
        ring.count = -7;
        EXPECT_EQ(keyring_load(dir.c_str(), &ring), r.expect) << r.name;
        EXPECT_EQ(ring.count, r.expect >= 0 ? r.expect : -7) << r.name;
    }
}

int sh(const std::string &cmd)
{
    return system(("(set -e; " + cmd + "\n) >/dev/null 2>&1").c_str());
}

std::string read_all(const std::string &path)
{
    std::string data;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return data;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        data.append(buf, n);
    fclose(f);
    return data;
}

std::string sha_hex(const uint8_t *digest)
{
    char out[2 * SHA256_LEN + 1];
    hex_encode(digest, SHA256_LEN, out);
    return out;
}

// The host build hashes through one library and the device through another: both must give
// FIPS 180-2's answers, fed whole or in uneven pieces, and one read of an image file must give
// each payload's digest wherever the payloads lie (out of order, a gap, bytes after them).
TEST(Sha256, KnownAnswersAndImageDigests)
{
    const struct {
        std::string text;
        const char *want;
    } kats[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto &k : kats) {
        uint8_t whole[SHA256_LEN], pieces[SHA256_LEN];
        sha256_digest(k.text.data(), k.text.size(), whole);
        EXPECT_EQ(k.want, sha_hex(whole)) << k.text.size() << " bytes";
        sha256_context ctx;
        sha256_init(&ctx);
        for (size_t at = 0, step = 1; at < k.text.size(); at += step, step = step * 3 % 257 + 1)
            sha256_update(&ctx, k.text.data() + at, std::min(step, k.text.size() - at));
        sha256_final(&ctx, pieces);
        EXPECT_EQ(k.want, sha_hex(pieces)) << k.text.size() << " bytes in pieces";
    }

    TempDir dir;
    std::string file(200000, '\0');
    for (size_t i = 0; i < file.size(); i++)
        file[i] = (char)(i * 131 % 251);
    const std::string path = dir.path() + "/img";
    put(path, file);
    const struct {
        const char *name;
        uint32_t koff, ksize, roff, rsize;
    } layouts[] = {
        {"in order, no gap", 76, 70000, 70076, 129924},
        {"root first, a gap, bytes after", 150000, 40000, 100, 99000},
        {"payloads overlapping", 76, 100000, 50000, 100000},
    };
    for (const auto &l : layouts) {
        SCOPED_TRACE(l.name);
        fw_image_header hdr = {};
        hdr.kernel = {l.koff, l.ksize, {}};
        hdr.root = {l.roff, l.rsize, {}};
        FILE *f = fopen(path.c_str(), "rb");
        ASSERT_NE(nullptr, f);
        fw_image_digests got;
        ASSERT_EQ(0, image_stream_digests(f, file.size(), &hdr, &got));
        fclose(f);
        uint8_t want[SHA256_LEN];
        sha256_digest(file.data(), file.size(), want);
        EXPECT_EQ(sha_hex(want), sha_hex(got.image));
        sha256_digest(file.data() + l.koff, l.ksize, want);
        EXPECT_EQ(sha_hex(want), sha_hex(got.payload[PAYLOAD_KERNEL]));
        sha256_digest(file.data() + l.roff, l.rsize, want);
        EXPECT_EQ(sha_hex(want), sha_hex(got.payload[PAYLOAD_ROOT]));
    }
}

// The device's whole check of an image and its signature file against a keyring directory.
int device_check(const std::string &keys, const std::string &image, const std::string &sig)
{
    fw_keyring ring;
    fw_sig_file s;
    uint8_t bytes[FW_HEADER_LEN];
    fw_image_header hdr;
    char name[FW_NAME_LEN];

    if (keyring_load(keys.c_str(), &ring) <= 0)
        return -100;
    const int rc = sig_verify_file(sig.c_str(), &ring, &s);
    if (rc != 0)
        return rc;
    FILE *f = fopen(image.c_str(), "rb");
    if (f == nullptr || fread(bytes, 1, sizeof(bytes), f) != sizeof(bytes))
        return -101;
    image_header_decode(bytes, &hdr);
    image_header_name(&hdr, name);
    rewind(f);
    struct stat st;
    fstat(fileno(f), &st);
    fw_image_digests sha;
    const int drc = image_stream_digests(f, (uint64_t)st.st_size, &hdr, &sha);
    fclose(f);
    if (drc != 0)
        return -102;
    return manifest_match(&s.manifest, sha.image, sha.payload[PAYLOAD_KERNEL],
                          sha.payload[PAYLOAD_ROOT], name);
}

void flip_byte(const std::string &path, long at)
{
    std::string data = read_all(path);
    ASSERT_LT((size_t)at, data.size());
    data[(size_t)at] ^= 0x01;
    put(path, data);
}

// Keys, manifest and signature from the openssl command line and the shell only, as the
// documentation tells a signer without fwtool to make them.
TEST(Signing, OpensslMadeSignatureVerifiesOnTheDevice)
{
    TempDir tmp;
    const std::string d = tmp.path();
    const std::string kernel = fwtest::random_bytes(5000, 1), root = fwtest::random_bytes(9000, 2);
    put(d + "/fw.bin", fwtest::image_file("TS-X", kernel, root));
    const std::string make =
        "cd '" + d +
        "'; mkdir keys other;"
        "openssl genpkey -algorithm ed25519 -out k.pem;"
        "openssl pkey -in k.pem -pubout -out keys/k.pub.pem;"
        "openssl genpkey -algorithm ed25519 -out o.pem;"
        "openssl pkey -in o.pem -pubout -out other/o.pub.pem;"
        "sha() { openssl dgst -sha256 -r | cut -c1-64; };"
        "id=$(openssl pkey -pubin -in keys/k.pub.pem -outform DER | tail -c 32 | sha | cut -c1-16);"
        "{ echo 'fwupgrade-manifest 1';"
        "  echo \"image-sha256 $(sha < fw.bin)\";"
        "  echo \"kernel-sha256 $(dd if=fw.bin bs=1 skip=76 count=5000 2>/dev/null | sha)\";"
        "  echo \"root-sha256 $(dd if=fw.bin bs=1 skip=5076 count=9000 2>/dev/null | sha)\";"
        "  echo 'model TS-X'; echo 'version 7.1'; echo \"key-id $id\"; } > manifest;"
        "openssl pkeyutl -sign -inkey k.pem -rawin -in manifest -out sig.bin;"
        "{ cat manifest; printf 'signature %s\\n' \"$(xxd -p -c 64 sig.bin)\"; } > fw.sig";
    ASSERT_EQ(sh(make), 0) << make;
    const std::string image = d + "/fw.bin", sig = d + "/fw.sig";
    const long manifest_len = (long)read_all(d + "/manifest").size();
    EXPECT_EQ(device_check(d + "/keys", image, sig), 0);
    EXPECT_EQ(device_check(d + "/other", image, sig), SIG_ERR_UNKNOWN_KEY);
    EXPECT_EQ(device_check(d + "/keys", image, d + "/none.sig"), SIG_ERR_MISSING);

    // A digit of the signature file is changed to another hex digit (it stays well-formed), a
    // byte of the image is flipped.
    struct flip {
        const char *name;
        bool in_sig;
        long at;
        int expect;
    };
    const long sig_digits = manifest_len + (long)strlen("signature ");
    const std::vector<flip> flips = {
        {"the signature's first digit", true, sig_digits, SIG_ERR_BAD},
        {"the signature's last digit", true, sig_digits + 127, SIG_ERR_BAD},
        {"the image digest's first digit", true, 21 + 13, SIG_ERR_BAD},
        {"the version", true, manifest_len - 26, SIG_ERR_BAD},
        {"a header byte", false, 10, SIG_ERR_MISMATCH},
        {"a kernel byte", false, 100, SIG_ERR_MISMATCH},
        {"the root's last byte", false, 76 + 5000 + 8999, SIG_ERR_MISMATCH},
    };
    const std::string good_sig = read_all(sig), good_image = read_all(image);
    for (const flip &f : flips) {
        if (f.in_sig) {
            std::string bad = good_sig;
            char &c = bad[(size_t)f.at];
            ASSERT_NE(strchr("0123456789abcdef", c), nullptr) << f.name;
            c = c == '0' ? '1' : '0';
            put(sig, bad);
        } else {
            flip_byte(image, f.at);
        }
        EXPECT_EQ(device_check(d + "/keys", image, sig), f.expect) << f.name;
        put(sig, good_sig);
        put(image, good_image);
    }
    EXPECT_EQ(device_check(d + "/keys", image, sig), 0);
}

// fwtool's keys and signature files are OpenSSL's: its signature verifies with pkeyutl, its
// public key is what `openssl pkey -pubout` derives, and `fwtool image verify` agrees.
TEST(Signing, FwtoolSignatureVerifiesWithOpenssl)
{
    TempDir tmp;
    const std::string d = tmp.path();
    put(d + "/fw.bin", fwtest::image_file("TS-X", "kernel bytes", "root bytes"));
    auto r = run_program(fwtest::fwtool_binary(), "fwtool", {"key", "create", "-o", d + "/k"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run_program(fwtest::fwtool_binary(), "fwtool", {"key", "create", "-o", d + "/k"});
    EXPECT_EQ(r.status, 1) << "an existing key is never replaced";
    struct stat st;
    ASSERT_EQ(stat((d + "/k.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    r = run_program(fwtest::fwtool_binary(), "fwtool",
                    {"image", "sign", "--key", d + "/k.pem", d + "/fw.bin", "--version", "9"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string check =
        "cd '" + d +
        "'; openssl pkey -in k.pem -pubout | cmp - k.pub.pem;"
        "head -n -1 fw.bin.sig > m; sed -n 's/^signature //p' fw.bin.sig | xxd -r -p > s;"
        "openssl pkeyutl -verify -pubin -inkey k.pub.pem -rawin -in m -sigfile s";
    EXPECT_EQ(sh(check), 0) << check;
    mkdir((d + "/keys").c_str(), 0755);
    put(d + "/keys/k.pem", read_all(d + "/k.pub.pem"));
    EXPECT_EQ(device_check(d + "/keys", d + "/fw.bin", d + "/fw.bin.sig"), 0);
    // The signer's key is found among others, wherever the directory lists it.
    for (char c : {'x', 'y', 'z'})
        put(d + "/keys/" + c + ".pem", pem_of(std::string(32, c)));
    EXPECT_EQ(device_check(d + "/keys", d + "/fw.bin", d + "/fw.bin.sig"), 0);
    r = run_program(fwtest::fwtool_binary(), "fwtool",
                    {"image", "verify", "--keyring", d + "/keys", d + "/fw.bin"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    // The manifest command prints exactly the signed bytes.
    r = run_program(
        fwtest::fwtool_binary(), "fwtool",
        {"image", "manifest", d + "/fw.bin", "--key", d + "/k.pub.pem", "--version", "9"});
    EXPECT_EQ(r.out, read_all(d + "/m"));
    flip_byte(d + "/fw.bin", 80);
    r = run_program(fwtest::fwtool_binary(), "fwtool",
                    {"image", "verify", "--keyring", d + "/keys", d + "/fw.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("manifest does not match the image"), std::string::npos) << r.out;
}

} // namespace
