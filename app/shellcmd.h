/*
 * shellcmd.h - the shared command buffer syscmd.
 *
 * syscmd (SYSCMD_SIZE bytes) lives from shellcmd_init() at start-up to
 * shellcmd_release() at shutdown.
 */
#ifndef OMBRELLE_SHELLCMD_H
#define OMBRELLE_SHELLCMD_H

#include <stddef.h>

enum { SYSCMD_SIZE = 256 };

extern char *syscmd;

/* Allocates and zeroes syscmd: 0, or -1 when there is no memory. */
int shellcmd_init(void);
void shellcmd_release(void);

#endif
