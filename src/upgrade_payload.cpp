// The upgrade's payloads: the staged image loaded and checked against the running model, written
// to the target bank's partitions and compared back.
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "platform.h"
#include "upgrade.h"
#include "upgrade_run.h"

namespace
{

const char g_fw_image_path[] = "/tmpfs/upgrading/fw.bin";
const char g_model_tag_first[] = "ZEPH";
const char g_model_tag_second[] = "KOVAX";

enum : int {
    RELEASE_LEN = 65,     // a kernel release name, NUL included
    LOAD_ERR_MODEL = -12, // load code of a model mismatch
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

// Writes a payload to the block device at the unresolved `dev`; 0 or the transfer's code.
int write_payload(const datablk *blk, const char *dev, upgrade_progress *progress)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(dev, buf, sizeof(buf));

    if (path == nullptr)
        return DATA_ERR_OPEN;
    return dump_datablk_to_file(blk, path, 0, progress);
}

int verify_payload(const datablk *blk, const char *dev, upgrade_progress *progress)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(dev, buf, sizeof(buf));

    if (path == nullptr)
        return DATA_ERR_OPEN;
    return verify_datablk_with_file(blk, path, progress);
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
    if (path == nullptr)
        return UPGRADE_ERR_RESOURCE;
    code = load_image_from_file(run->image_model, run->blocks, path);
    if (code == 0 && running_model != nullptr && run->image_model[0] != '\0') {
        // The loader leaves a NUL within the 16 bytes; keep the buffer terminated regardless.
        run->image_model[FW_NAME_LEN - 1] = '\0';
        cut_model_tag(running_model);
        cut_model_tag(run->image_model);
        if (strcasecmp(running_model, run->image_model) != 0)
            code = LOAD_ERR_MODEL;
    }
    return code == 0 ? UPGRADE_OK : map_load_code(code);
}

// Both payloads are written even when the first fails. 0 or UPGRADE_ERR_WRITE.
int write_payloads(upgrade_run *run)
{
    int kernel_rc;
    int root_rc;

    progress_begin_write(run->progress, run->blocks[PAYLOAD_KERNEL].size,
                         run->blocks[PAYLOAD_ROOT].size);
    kernel_rc = write_payload(&run->blocks[PAYLOAD_KERNEL], run->kernel_dev, run->progress);
    progress_stage(run->progress, UPGRADE_STAGE_WRITE_ROOT);
    root_rc = write_payload(&run->blocks[PAYLOAD_ROOT], run->root_dev, run->progress);
    return kernel_rc != 0 || root_rc != 0 ? UPGRADE_ERR_WRITE : UPGRADE_OK;
}

// Both partitions are compared even when the first differs. 0 or UPGRADE_ERR_VERIFY.
int verify_payloads(upgrade_run *run)
{
    int kernel_rc;
    int root_rc;

    progress_begin_verify(run->progress);
    kernel_rc = verify_payload(&run->blocks[PAYLOAD_KERNEL], run->kernel_dev, run->progress);
    progress_stage(run->progress, UPGRADE_STAGE_VERIFY_ROOT);
    root_rc = verify_payload(&run->blocks[PAYLOAD_ROOT], run->root_dev, run->progress);
    return kernel_rc != 0 || root_rc != 0 ? UPGRADE_ERR_VERIFY : UPGRADE_OK;
}

void release_payloads(upgrade_run *run)
{
    cleanup_datablk(&run->blocks[PAYLOAD_KERNEL]);
    cleanup_datablk(&run->blocks[PAYLOAD_ROOT]);
}
