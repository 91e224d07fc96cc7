/* Creates the one UBI volume of the emulated device's UBIFS storage, as
 * ubimkvol would (BusyBox has no UBI tools): a dynamic volume NAME of
 * BYTES bytes on the UBI device DEV.
 *
 * Usage: ubivol DEV NAME BYTES */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <mtd/ubi-user.h>

int main(int argc, char** argv) {
    if (argc != 4 || strlen(argv[2]) > UBI_MAX_VOLUME_NAME) {
        fprintf(stderr, "usage: ubivol DEV NAME BYTES\n");
        return 2;
    }
    struct ubi_mkvol_req req;
    memset(&req, 0, sizeof(req));
    req.vol_id = UBI_VOL_NUM_AUTO;
    req.alignment = 1;
    req.bytes = atoll(argv[3]);
    req.vol_type = UBI_DYNAMIC_VOLUME;
    req.name_len = (short)strlen(argv[2]);
    strcpy(req.name, argv[2]);
    int fd = open(argv[1], O_RDONLY);
    if (fd < 0 || ioctl(fd, UBI_IOCMKVOL, &req) != 0) {
        perror(argv[1]);
        return 1;
    }
    close(fd);
    return 0;
}
