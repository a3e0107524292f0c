// SPDX-License-Identifier: MIT
// The signing texts on arbitrary bytes: the signature file (and the manifest in it), a PEM public
// key and a bank record, each in a buffer of exactly its length. The grammars are strict, so
// whatever parses must format back to the very bytes it came from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bank_record.h"
#include "keyring.h"
#include "manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char *buf = static_cast<char *>(malloc(size > 0 ? size : 1));
    char out[BANK_RECORD_TEXT_MAX > MANIFEST_TEXT_MAX ? BANK_RECORD_TEXT_MAX : MANIFEST_TEXT_MAX];
    fw_sig_file sig;
    fw_keyring ring = {};
    bank_record rec;
    uint8_t pub[ED25519_PUBLIC_LEN];

    if (buf == nullptr)
        return 0;
    if (size > 0)
        memcpy(buf, data, size);
    if (sig_file_parse(buf, size, &sig) == 0) {
        const int n = manifest_format(&sig.manifest, out, sizeof(out));
        if (n < 0 || (size_t)n != sig.signed_len || memcmp(out, buf, (size_t)n) != 0)
            abort();
    }
    // A keyring whose one key has the manifest's id, so that the signature check runs.
    ring.count = 1;
    memset(ring.keys[0].pub, 0x42, ED25519_PUBLIC_LEN);
    if (sig_file_parse(buf, size, &sig) == 0)
        memcpy(ring.keys[0].id, sig.manifest.key_id, KEY_ID_LEN);
    // No input carries a signature by that made-up key.
    if (sig_verify(buf, size, &ring, &sig) == 0)
        abort();
    (void)pem_public_key_decode(buf, size, pub);
    if (bank_record_parse(buf, size, &rec) == 0) {
        const int n = bank_record_format(&rec, out, sizeof(out));
        if (n < 0 || (size_t)n != size || memcmp(out, buf, size) != 0)
            abort();
    }
    free(buf);
    return 0;
}
