/* upload.h - placeholder: periodic sampling and feed upload. */
#ifndef OMBRELLE_UPLOAD_H
#define OMBRELLE_UPLOAD_H

#include <signal.h>

void xively_timer_proc(union sigval value);

#endif
