// A pass-through file system over a folder whose lookups can be made to hang, as those of a network
// share that stopped answering. Used by tests of the windows and by the end-to-end scenarios.
//
//   larkhold-test-hangfs BACKING MOUNTPOINT
//
// Reads commands from standard input, one per line:
//   hang     from now on every look at anything below the top folder waits
//   hangopen from now on every open and read below the top folder waits; lookups still answer
//   answer   the waiting looks go on, and new ones answer at once
// On end of input it answers, unmounts and ends. Writes "ready" once mounted, "hanging" once a
// hang command holds, and "stalled PATH" for each look that starts waiting, to standard output.
#define FUSE_USE_VERSION 31

#include <dirent.h>
#include <errno.h>
#include <fuse.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static char backing[PATH_MAX];
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t answered = PTHREAD_COND_INITIALIZER;
static int hanging = 0;
static int hanging_opens = 0;
static struct fuse* fs = NULL;

static void say(const char* word, const char* path) {
    flockfile(stdout);
    if (path)
        printf("%s %s\n", word, path);
    else
        printf("%s\n", word);
    fflush(stdout);
    funlockfile(stdout);
}

static void wait_while(const int* flag, const char* path) {
    if (strcmp(path, "/") == 0)
        return;
    pthread_mutex_lock(&lock);
    if (*flag) {
        say("stalled", path);
        while (*flag)
            pthread_cond_wait(&answered, &lock);
    }
    pthread_mutex_unlock(&lock);
}

static void wait_while_hanging(const char* path) {
    wait_while(&hanging, path);
}

// Opens and reads wait for either command.
static void wait_while_opens_hang(const char* path) {
    wait_while(&hanging, path);
    wait_while(&hanging_opens, path);
}

static void real_path(char out[PATH_MAX], const char* path) {
    snprintf(out, PATH_MAX, "%s%s", backing, path);
}

static void* hang_init(struct fuse_conn_info* conn, struct fuse_config* config) {
    (void)conn;
    // Every look reaches us: nothing is answered from the kernel's caches.
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    config->use_ino = 0;
    return NULL;
}

static int hang_getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
    (void)fi;
    wait_while_hanging(path);
    char real[PATH_MAX];
    real_path(real, path);
    return lstat(real, st) == 0 ? 0 : -errno;
}

static int hang_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset, struct fuse_file_info* fi,
                        enum fuse_readdir_flags flags) {
    (void)offset;
    (void)fi;
    (void)flags;
    wait_while_hanging(path);
    char real[PATH_MAX];
    real_path(real, path);
    DIR* dir = opendir(real);
    if (!dir)
        return -errno;
    struct dirent* entry;
    while ((entry = readdir(dir)) != NULL)
        fill(buffer, entry->d_name, NULL, 0, 0);
    closedir(dir);
    return 0;
}

static int hang_open(const char* path, struct fuse_file_info* fi) {
    wait_while_opens_hang(path);
    char real[PATH_MAX];
    real_path(real, path);
    const int fd = open(real, fi->flags & ~O_CREAT);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}

static int hang_read(const char* path, char* buffer, size_t size, off_t offset, struct fuse_file_info* fi) {
    wait_while_opens_hang(path);
    const ssize_t got = pread((int)fi->fh, buffer, size, offset);
    return got < 0 ? -errno : (int)got;
}

static int hang_release(const char* path, struct fuse_file_info* fi) {
    (void)path;
    close((int)fi->fh);
    return 0;
}

static const struct fuse_operations operations = {
    .init = hang_init,
    .getattr = hang_getattr,
    .readdir = hang_readdir,
    .open = hang_open,
    .read = hang_read,
    .release = hang_release,
};

// Says "hanging" before any look can say it stalled under the new hang.
static void set_hanging(int* flag, int value) {
    pthread_mutex_lock(&lock);
    *flag = value;
    if (value)
        say("hanging", NULL);
    pthread_cond_broadcast(&answered);
    pthread_mutex_unlock(&lock);
}

static void* control(void* unused) {
    (void)unused;
    char line[64];
    while (fgets(line, sizeof line, stdin)) {
        if (strncmp(line, "hangopen", 8) == 0) {
            set_hanging(&hanging_opens, 1);
        } else if (strncmp(line, "hang", 4) == 0) {
            set_hanging(&hanging, 1);
        } else if (strncmp(line, "answer", 6) == 0) {
            set_hanging(&hanging, 0);
            set_hanging(&hanging_opens, 0);
        }
    }
    // The test is gone or done: nothing may stay stuck on this mount.
    set_hanging(&hanging, 0);
    set_hanging(&hanging_opens, 0);
    fuse_exit(fs);
    fuse_unmount(fs);
    return NULL;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s BACKING MOUNTPOINT\n", argv[0]);
        return 2;
    }
    if (!realpath(argv[1], backing)) {
        perror(argv[1]);
        return 2;
    }
    char* fuse_argv[] = {argv[0], "-o", "fsname=larkhold-test-hangfs,default_permissions", NULL};
    struct fuse_args args = FUSE_ARGS_INIT(3, fuse_argv);
    fs = fuse_new(&args, &operations, sizeof operations, NULL);
    if (!fs)
        return 1;
    if (fuse_mount(fs, argv[2]) != 0)
        return 1;
    pthread_t controller;
    pthread_create(&controller, NULL, control, NULL);
    say("ready", NULL);
    // Many threads: a look that waits must not keep the others from being answered.
    const int status = fuse_loop_mt(fs, 0);
    fuse_destroy(fs);
    return status == 0 ? 0 : 1;
}
