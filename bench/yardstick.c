/* The yardstick of the whole-run benchmark: the least an installer of a package from standard
 * input must do, written as plainly as possible. It reads the package once in 64 KiB blocks,
 * hashes it with SHA-256, inflates its file container in 64 KiB blocks, writes each file to a
 * temporary name beside its target below ROOT/flash (making directories as they are needed),
 * makes the files durable (syncfs), renames them all into place and makes the names durable
 * (syncfs): the durability of the installer's commit, without its checks, journal or database.
 *
 *   yardstick ROOT < PACKAGE
 *
 * Exit status 0 when every file was placed, 1 otherwise. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

enum { kBlock = 65536, kOuterHeader = 8, kPartHeader = 6, kEntryHeader = 30, kFilesPart = 4 };

static unsigned char input[kBlock];
static unsigned char inflated[kBlock];

struct Staged {
    char* temporary;
    char* target;
};
static struct Staged* staged;
static size_t stagedCount, stagedRoom;
static char lastDirectory[8192];

static uint32_t little(const unsigned char* at, int bytes) {
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | at[i];
    return value;
}

static int fail(const char* what) {
    perror(what);
    return 0;
}

/* Makes the directories above `path`, each once while the files come in directory order. */
static void makeParents(char* path) {
    char* slash = strrchr(path, '/');
    *slash = '\0';
    if (strcmp(path, lastDirectory) != 0) {
        for (char* at = strchr(path + 1, '/');; at = strchr(at + 1, '/')) {
            if (at) *at = '\0';
            mkdir(path, 0755);
            if (!at) break;
            *at = '/';
        }
        snprintf(lastDirectory, sizeof lastDirectory, "%s", path);
    }
    *slash = '/';
}

/* The entry being unpacked: its header, then its name, then its data. */
static unsigned char header[kEntryHeader];
static size_t headerHave, nameLeft, dataLeft;
static char name[4096];
static size_t nameHave;
static int target = -1;

static int openEntry(const char* flash) {
    char path[8192], temporary[8300];
    name[nameHave] = '\0';
    snprintf(path, sizeof path, "%s%s%s", flash, name[0] == '/' ? "" : "/", name);
    makeParents(path);
    snprintf(temporary, sizeof temporary, "%s.tmp", path);
    target = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                  little(header, 2) & 07777);
    if (target < 0) return fail(temporary);
    if (stagedCount == stagedRoom) {
        stagedRoom = stagedRoom ? 2 * stagedRoom : 256;
        staged = realloc(staged, stagedRoom * sizeof *staged);
    }
    staged[stagedCount].temporary = strdup(temporary);
    staged[stagedCount].target = strdup(path);
    ++stagedCount;
    return 1;
}

static int closeEntry(void) {
    int closed = close(target) == 0;
    target = -1;
    headerHave = 0;
    return closed || fail("close");
}

/* Takes inflated bytes of the container. */
static int unpack(const char* flash, const unsigned char* at, size_t left) {
    while (left > 0) {
        if (headerHave < kEntryHeader) {
            size_t step = kEntryHeader - headerHave < left ? kEntryHeader - headerHave : left;
            memcpy(header + headerHave, at, step);
            headerHave += step;
            at += step;
            left -= step;
            if (headerHave == kEntryHeader) {
                nameLeft = little(header + 28, 2);
                dataLeft = little(header + 24, 4);
                nameHave = 0;
                if (nameLeft == 0 || nameLeft >= sizeof name) return fail("entry name");
            }
        } else if (nameLeft > 0) {
            size_t step = nameLeft < left ? nameLeft : left;
            memcpy(name + nameHave, at, step);
            nameHave += step;
            nameLeft -= step;
            at += step;
            left -= step;
            if (nameLeft == 0) {
                /* Only regular files for every board; the benchmark's packages hold no others. */
                if (!openEntry(flash)) return 0;
                if (dataLeft == 0 && !closeEntry()) return 0;
            }
        } else {
            size_t step = dataLeft < left ? dataLeft : left;
            if (write(target, at, step) != (ssize_t)step) return fail("write");
            dataLeft -= step;
            at += step;
            left -= step;
            if (dataLeft == 0 && !closeEntry()) return 0;
        }
    }
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: yardstick ROOT < PACKAGE\n");
        return 2;
    }
    char flash[4096];
    snprintf(flash, sizeof flash, "%s/flash", argv[1]);
    EVP_MD_CTX* hash = EVP_MD_CTX_new();
    EVP_DigestInit_ex(hash, EVP_sha256(), NULL);
    z_stream inflater;
    memset(&inflater, 0, sizeof inflater);
    if (inflateInit(&inflater) != Z_OK) return 1;

    unsigned char partHeader[kPartHeader];
    size_t outerLeft = kOuterHeader, partHeaderHave = 0;
    uint32_t type = 0, payloadLeft = 0;
    int streamEnded = 0;
    for (ssize_t got; (got = read(0, input, sizeof input)) != 0;) {
        if (got < 0) {
            if (errno == EINTR) continue;
            return fail("read"), 1;
        }
        EVP_DigestUpdate(hash, input, (size_t)got);
        const unsigned char* at = input;
        size_t left = (size_t)got;
        while (left > 0) {
            if (outerLeft > 0) {
                size_t step = outerLeft < left ? outerLeft : left;
                outerLeft -= step;
                at += step;
                left -= step;
            } else if (payloadLeft == 0 && partHeaderHave < kPartHeader) {
                size_t step = kPartHeader - partHeaderHave < left ? kPartHeader - partHeaderHave
                                                                  : left;
                memcpy(partHeader + partHeaderHave, at, step);
                partHeaderHave += step;
                at += step;
                left -= step;
                if (partHeaderHave == kPartHeader) {
                    type = little(partHeader, 2);
                    payloadLeft = little(partHeader + 2, 4);
                    partHeaderHave = 0;
                }
            } else {
                size_t step = payloadLeft < left ? payloadLeft : left;
                if (type == kFilesPart && !streamEnded) {
                    inflater.next_in = (unsigned char*)at;
                    inflater.avail_in = (unsigned)step;
                    while (inflater.avail_in > 0 && !streamEnded) {
                        inflater.next_out = inflated;
                        inflater.avail_out = sizeof inflated;
                        int result = inflate(&inflater, Z_NO_FLUSH);
                        if (result != Z_OK && result != Z_STREAM_END) return fail("inflate"), 1;
                        streamEnded = result == Z_STREAM_END;
                        if (!unpack(flash, inflated, sizeof inflated - inflater.avail_out))
                            return 1;
                    }
                }
                payloadLeft -= (uint32_t)step;
                at += step;
                left -= step;
            }
        }
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_DigestFinal_ex(hash, digest, &length);
    EVP_MD_CTX_free(hash);
    inflateEnd(&inflater);
    if (!streamEnded || target >= 0) return fprintf(stderr, "yardstick: package cut short\n"), 1;

    /* Every file's data on flash before any name changes, every name before success. */
    int root = open(flash, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0 || syncfs(root) != 0) return fail("syncfs"), 1;
    for (size_t i = 0; i < stagedCount; ++i) {
        if (rename(staged[i].temporary, staged[i].target) != 0) return fail("rename"), 1;
    }
    if (syncfs(root) != 0) return fail("syncfs"), 1;
    close(root);
    return 0;
}
