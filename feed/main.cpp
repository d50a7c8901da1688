// feed_update: sends one reading or trigger message to the feed; see `feed_update --help`.
#include "feedrun.h"

int main(int argc, char **argv)
{
    return feed_run(argc, argv);
}
