#include "upload.h"

void xively_timer_proc(union sigval)
{
}
