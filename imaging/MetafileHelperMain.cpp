// glimmerbox-metafile: plays one metafile for the program, under limits, and
// hands the pixels back on its standard output.
#include "MetafilePlayers.h"

#include <unistd.h>

int main()
{
    ApplyMetafileHelperLimits();
    const int rc = ServeMetafileRequest(STDIN_FILENO, STDOUT_FILENO);
    // The libraries keep caches to the end; the process ends here without
    // unwinding them (nor a leak report of them).
    _exit(rc);
}
