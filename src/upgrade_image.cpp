// SPDX-License-Identifier: MIT
// The upgrade's payloads: the staged image loaded and checked against the running model, written
// to the target bank's partitions and compared back.
#include "upgrade_image.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "data.h"
#include "keyring.h"
#include "paths.h"
#include "platform.h"
#include "report.h"
#include "sha256.h"

namespace
{

const char g_model_tag_first[] = "ZEPH";
const char g_model_tag_second[] = "KOVAX";

enum : int {
    RELEASE_LEN = 65,           // a kernel release name, NUL included
    LOAD_ERR_MODEL = -12,       // load code of a model mismatch
    LOAD_ERR_NOT_REGULAR = -14, // the staged image is not a regular file: unreadable
};

// Points `*model` at the running model inside `release`: the text after the first '-', up to
// the next one. Null when the release has no '-' or cannot be read.
void find_running_model(char *release, size_t size, char **model)
{
    char *start;
    char *end;

    *model = nullptr;
    if (platform_release(release, size) != 0)
        return;
    start = strchr(release, '-');
    if (start == nullptr)
        return;
    start++;
    end = strchr(start, '-');
    if (end != nullptr)
        *end = '\0';
    *model = start;
}

// Model families share firmware: the text from the first family tag on does not count.
void cut_model_tag(char *model)
{
    char *tag = strstr(model, g_model_tag_first);

    if (tag == nullptr)
        tag = strstr(model, g_model_tag_second);
    if (tag != nullptr)
        *tag = '\0';
}

int map_load_code(int code)
{
    switch (code) {
    case LOAD_ERR_MODEL:
        return UPGRADE_ERR_MODEL;
    case IMAGE_ERR_CHECKSUM:
        return UPGRADE_ERR_CHECKSUM;
    case IMAGE_ERR_MAGIC:
        return UPGRADE_ERR_MAGIC;
    case DATA_ERR_READ:
    case DATA_ERR_OPEN:
    case DATA_ERR_NOMEM:
        return UPGRADE_ERR_RESOURCE;
    default:
        return UPGRADE_ERR_IMAGE;
    }
}

const char *const g_payload_name[PAYLOAD_COUNT] = {"kernel", "root"};

void hex_digest(const uint8_t *md5, char *out)
{
    for (int i = 0; i < MD5_DIGEST_LEN; i++)
        snprintf(out + 2 * i, 3, "%02x", md5[i]);
}

// What stands at the staged path instead of a regular file.
const char *file_kind(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISLNK(mode))
        return "a symbolic link";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    return "not a regular file";
}

int staged_open_failed(const char *path, int err)
{
    printf("fopen failed on %s!\n", path);
    return upgrade_fail(DATA_ERR_OPEN, "cannot open the staged image %s: %s", path, strerror(err));
}

int staged_not_regular(const char *path, mode_t mode)
{
    return upgrade_fail(LOAD_ERR_NOT_REGULAR, "the staged image %s is %s, not a regular file", path,
                        file_kind(mode));
}

// Opens the staged image for reading in place. Only a regular file will do: a FIFO would hang
// the run, a device would read as anything, a link could lead anywhere. The kind is taken before
// opening, the open neither blocks nor follows a link, and the kind is confirmed on what opened.
int open_staged_image(const char *path, upgrade_run *run, uint64_t *len)
{
    struct stat st;
    int fd;

    if (lstat(path, &st) != 0)
        return staged_open_failed(path, errno);
    if (!S_ISREG(st.st_mode))
        return staged_not_regular(path, st.st_mode);
    fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return staged_open_failed(path, errno);
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        return staged_open_failed(path, err);
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        return staged_not_regular(path, st.st_mode);
    }
    // O_NONBLOCK means nothing to a regular file's reads; it only kept the open from waiting.
    run->image = fdopen(fd, "rb");
    if (run->image == nullptr) {
        int err = errno;
        close(fd);
        return staged_open_failed(path, err);
    }
    *len = (uint64_t)st.st_size;
    return DATA_OK;
}

// The line a payload read that runs past the end of the image has always printed on standard
// output: the one request for the whole payload, and what a read from its offset would get. The
// ranges are checked before anything is read, so the line is made from them. A payload the
// device cannot address at all never gets as far as a read.
void print_short_read(const fw_payload_desc &d, uint64_t len)
{
    uint64_t got = 0;

    if (d.size == 0 || d.offset > (uint32_t)DATA_LEN_MAX || d.size > (uint32_t)DATA_LEN_MAX)
        return;
    if (d.offset < len)
        got = len - d.offset < d.size ? len - d.offset : d.size;
    // One request of the whole payload: its size is the unit.
    data_print_short_read((int32_t)d.size, (int32_t)d.size, (int32_t)got);
}

// One line on standard error for each way the staged image can fail its checks; returns `code`.
int report_image(int code, uint64_t len, const fw_image_header &hdr, const fw_image_fault &f)
{
    const char *name = f.payload >= 0 ? g_payload_name[f.payload] : "";
    const fw_payload_desc &d = f.payload == PAYLOAD_ROOT ? hdr.root : hdr.kernel;
    char want[2 * MD5_DIGEST_LEN + 1];
    char got[2 * MD5_DIGEST_LEN + 1];

    if (f.call != nullptr)
        return upgrade_fail(code, "reading the %s payload of the staged image failed: %s: %s", name,
                            f.call, f.err != 0 ? strerror(f.err) : "end of file");
    if (code == DATA_ERR_READ && f.payload < 0)
        return upgrade_fail(code, "the staged image is shorter than its header: %llu of %d bytes",
                            (unsigned long long)len, FW_HEADER_LEN);
    if (code == DATA_ERR_READ) {
        print_short_read(d, len);
        return upgrade_fail(code,
                            "the %s payload lies past the end of the staged image: offset %lu + "
                            "size %lu > %llu bytes",
                            name, (unsigned long)d.offset, (unsigned long)d.size,
                            (unsigned long long)len);
    }
    if (code == IMAGE_ERR_MAGIC)
        return upgrade_fail(code, "wrong magic in the image header: 0x%08lx, not 0x%08lx",
                            (unsigned long)hdr.magic, (unsigned long)FW_IMAGE_MAGIC);
    if (code == IMAGE_ERR_CHECKSUM && f.payload < 0)
        return upgrade_fail(code,
                            "image header CRC mismatch: the header holds 0x%08lx, its bytes give "
                            "0x%08lx",
                            (unsigned long)hdr.header_crc, (unsigned long)f.crc);
    if (code == IMAGE_ERR_CHECKSUM) {
        hex_digest(d.md5, want);
        hex_digest(f.md5, got);
        return upgrade_fail(code,
                            "%s payload digest mismatch: the header holds %s, the payload gives %s",
                            name, want, got);
    }
    return upgrade_fail(code, "the %s payload of the image is empty: nothing to boot", name);
}

// Opens and checks the staged image at the resolved `path`, and leaves it open in the run.
int load_payloads(upgrade_run *run, const char *path)
{
    fw_image_header hdr;
    fw_image_fault fault;
    uint64_t len = 0;

    int code = open_staged_image(path, run, &len);
    if (code != DATA_OK)
        return code;
    // The SHA-256 digests a signature vouches for, and the read-back compares with, come from the
    // same read as the MD5 check: from here on the bytes must not change.
    fw_image_digests sha;
    code = check_image_stream(run->image, len, &hdr, &fault, &sha);
    if (code != DATA_OK)
        return report_image(code, len, hdr, fault);
    memcpy(run->image_sha256, sha.image, SHA256_LEN);
    const fw_payload_desc *desc[PAYLOAD_COUNT] = {&hdr.kernel, &hdr.root};
    for (int i = 0; i < PAYLOAD_COUNT; i++) {
        run->payloads[i].stream = run->image;
        run->payloads[i].offset = (long)desc[i]->offset;
        run->payloads[i].size = desc[i]->size;
        memcpy(run->payloads[i].md5, desc[i]->md5, MD5_DIGEST_LEN);
        memcpy(run->payloads[i].sha256, sha.payload[i], SHA256_LEN);
        run->payloads[i].has_sha256 = true;
    }
    image_header_name(&hdr, run->image_model);
    return DATA_OK;
}

// One line on standard error for a payload that failed to be written or compared.
void report_transfer(const char *what, const char *prep, int payload, const char *dev,
                     const data_fault &f)
{
    const char *why = "the bytes differ";

    if (f.err != 0)
        why = strerror(f.err);
    else if (strcmp(f.call, "fread") == 0)
        why = "end of file";
    else if (strcmp(f.call, "digest") == 0)
        why = "differs from the image header's: the staged image changed during the run";
    else if (strcmp(f.call, "sha256") == 0)
        why = "differs from the one taken when the run began: the staged image changed during the "
              "run";
    (void)upgrade_fail(0, "%s the %s payload %s %s failed at byte %ld: %s%s: %s", what,
                       g_payload_name[payload], prep, dev, (long)f.at, f.call,
                       f.source != 0 ? " of the staged image" : "", why);
}

// Writes a payload to the block device at the unresolved `dev`; 0 or the transfer's code.
int write_payload(upgrade_run *run, int payload, const char *dev, uint32_t erase_size)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(dev, buf, sizeof(buf));
    data_fault fault = {"fopen", 0, 0, ENAMETOOLONG};
    data_progress sink = progress_sink(run->progress);
    int rc = DATA_ERR_OPEN;

    if (path != nullptr)
        rc = dump_datasrc_to_file(&run->payloads[payload], path, erase_size, &sink, &fault);
    if (rc != DATA_OK)
        report_transfer("writing", "to", payload, dev, fault);
    return rc;
}

int verify_payload(upgrade_run *run, int payload, const char *dev)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(dev, buf, sizeof(buf));
    data_fault fault = {"fopen", 0, 0, ENAMETOOLONG};
    data_progress sink = progress_sink(run->progress);
    int rc = DATA_ERR_OPEN;

    if (path != nullptr)
        rc = verify_datasrc_with_file(&run->payloads[payload], path, &sink, &fault);
    if (rc != DATA_OK)
        report_transfer("comparing", "with", payload, dev, fault);
    return rc;
}

} // namespace

// Loads the staged image and checks it against the running model. 0 or an UPGRADE_ERR_* code.
int load_staged_image(upgrade_run *run)
{
    char release[RELEASE_LEN];
    char path_buf[PLATFORM_PATH_MAX];
    char *running_model = nullptr;
    const char *path;
    int code;

    find_running_model(release, sizeof(release), &running_model);
    path = platform_path(g_fw_image_path, path_buf, sizeof(path_buf));
    code = path != nullptr ? load_payloads(run, path)
                           : staged_open_failed(g_fw_image_path, ENAMETOOLONG);
    if (code == 0 && running_model != nullptr && run->image_model[0] != '\0') {
        // Both names whole, for the message: the comparison cuts them. The run keeps the
        // header's name whole, as a manifest names it.
        char names[RELEASE_LEN + FW_NAME_LEN];
        char image_model[FW_NAME_LEN];
        snprintf(names, sizeof(names), "%s, the running kernel for %s", run->image_model,
                 running_model);
        memcpy(image_model, run->image_model, sizeof(image_model));
        cut_model_tag(running_model);
        cut_model_tag(image_model);
        if (strcasecmp(running_model, image_model) != 0) {
            code = upgrade_fail(LOAD_ERR_MODEL, "the image is for model %s", names);
        }
    }
    return code == 0 ? UPGRADE_OK : map_load_code(code);
}

int check_image_signature(upgrade_run *run)
{
    fw_keyring ring;
    fw_sig_file sig;
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_keyring_dir, buf, sizeof(buf));
    int keys;
    int rc;

    if (path == nullptr)
        return upgrade_fail(UPGRADE_ERR_SIGNATURE, "the keyring path %s is too long",
                            g_keyring_dir);
    keys = keyring_load(path, &ring);
    if (keys < 0)
        return UPGRADE_ERR_SIGNATURE; // told by keyring_load
    if (keys == 0)
        return UPGRADE_OK;
    path = platform_path(g_fw_sig_path, buf, sizeof(buf));
    rc = path != nullptr ? sig_verify_file(path, &ring, &sig) : SIG_ERR_READ;
    if (rc == SIG_ERR_UNKNOWN_KEY) {
        char id[2 * KEY_ID_LEN + 1];
        hex_encode(sig.manifest.key_id, KEY_ID_LEN, id);
        return upgrade_fail(UPGRADE_ERR_SIGNATURE, "signature check failed: %s %s (%s)",
                            sig_error_text(rc), id, g_fw_sig_path);
    }
    if (rc != 0)
        return upgrade_fail(UPGRADE_ERR_SIGNATURE, "signature check failed: %s (%s)",
                            sig_error_text(rc), g_fw_sig_path);
    const fw_manifest &m = sig.manifest;
    const char *field = nullptr;
    if (memcmp(m.image_sha256, run->image_sha256, SHA256_LEN) != 0)
        field = "image-sha256";
    else if (memcmp(m.kernel_sha256, run->payloads[PAYLOAD_KERNEL].sha256, SHA256_LEN) != 0)
        field = "kernel-sha256";
    else if (memcmp(m.root_sha256, run->payloads[PAYLOAD_ROOT].sha256, SHA256_LEN) != 0)
        field = "root-sha256";
    else if (manifest_match(&m, run->image_sha256, run->payloads[PAYLOAD_KERNEL].sha256,
                            run->payloads[PAYLOAD_ROOT].sha256, run->image_model) != 0)
        field = "model";
    if (field != nullptr)
        return upgrade_fail(UPGRADE_ERR_SIGNATURE, "signature check failed: %s: %s differs (%s)",
                            sig_error_text(SIG_ERR_MISMATCH), field, g_fw_sig_path);
    run->is_signed = true;
    memcpy(run->signer, m.key_id, KEY_ID_LEN);
    memcpy(run->version, m.version, sizeof(run->version));
    return UPGRADE_OK;
}

// Both payloads are written even when the first fails. 0 or UPGRADE_ERR_WRITE.
int write_payloads(upgrade_run *run)
{
    int kernel_rc;
    int root_rc;

    progress_begin_write(run->progress, run->payloads[PAYLOAD_KERNEL].size,
                         run->payloads[PAYLOAD_ROOT].size);
    kernel_rc = write_payload(run, PAYLOAD_KERNEL, run->kernel_dev, run->kernel_erase_size);
    progress_stage(run->progress, UPGRADE_STAGE_WRITE_ROOT);
    root_rc = write_payload(run, PAYLOAD_ROOT, run->root_dev, run->root_erase_size);
    return kernel_rc != 0 || root_rc != 0 ? UPGRADE_ERR_WRITE : UPGRADE_OK;
}

// Both partitions are compared even when the first differs. 0 or UPGRADE_ERR_VERIFY.
int verify_payloads(upgrade_run *run)
{
    int kernel_rc;
    int root_rc;

    progress_begin_verify(run->progress);
    kernel_rc = verify_payload(run, PAYLOAD_KERNEL, run->kernel_dev);
    progress_stage(run->progress, UPGRADE_STAGE_VERIFY_ROOT);
    root_rc = verify_payload(run, PAYLOAD_ROOT, run->root_dev);
    return kernel_rc != 0 || root_rc != 0 ? UPGRADE_ERR_VERIFY : UPGRADE_OK;
}

void release_payloads(upgrade_run *run)
{
    if (run->image != nullptr) {
        fclose(run->image);
        run->image = nullptr;
    }
}
