/*
 * reading.h - the file in which coreprobe leaves its reading for the caller.
 *
 * The value goes into a fresh file beside the target, created exclusively
 * (so nothing planted under that name is followed), and the fresh file is
 * then renamed over the target. Whatever the target's entry was, a symbolic
 * link or a hard link to some other file included, it is replaced and never
 * written through; and the caller never reads half a value.
 *
 * The file system is reached only through the table that g_readingFs
 * points to: reading_fs_system, or a test's table with faults.
 */
#ifndef OMBRELLE_READING_H
#define OMBRELLE_READING_H

#include <sys/types.h>

struct reading_fs_ops {
    int (*mkstemp)(char *templ);
    int (*fchmod)(int fd, mode_t mode);
    ssize_t (*write)(int fd, const void *buf, size_t count);
    int (*close)(int fd);
    int (*rename)(const char *from, const char *to);
    int (*unlink)(const char *path);
};

extern const struct reading_fs_ops reading_fs_system;

/* The table in use. Owner: the process's single thread; no lock. */
extern const struct reading_fs_ops *g_readingFs;

/* Readable by a caller that runs as another user. */
#define READING_FILE_MODE 0644

/*
 * Leaves celsius as "%8.2f", and nothing else, in the file at path.
 * Returns 0 when the value is in place, and also when writing it failed but
 * no file is left behind (neither a partial new one nor an old one). Returns
 * -1 when the file cannot be created, or when a partial or old file cannot
 * be removed.
 */
int reading_store(const char *path, float celsius);

/*
 * Removes an old reading, which would otherwise pass for a fresh one.
 * Returns 0 when none is left, -1 when one exists and cannot be removed.
 */
int reading_withdraw(const char *path);

#endif
