// Stands in for glimmerbox-metafile in tests: takes a request under the
// same limits, then misbehaves as its first argument says.
#include "imaging/MetafilePlayers.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool ReadAll(void* data, size_t size)
{
    auto* p = static_cast<char*>(data);
    for (ssize_t n = 0; size > 0; p += n, size -= size_t(n))
        if ((n = read(STDIN_FILENO, p, size)) <= 0)
            return false;
    return true;
}

void Reply(bool full)
{
    MetafileReply reply;
    reply.ok = 1;
    reply.size = 4 * 3 * 4; // a 4 x 3 picture
    std::vector<uint32_t> pixels(12, 0xFF336699u);
    const size_t header = full ? sizeof reply : sizeof reply / 2;
    (void)!write(STDOUT_FILENO, &reply, header);
    if (full)
        (void)!write(STDOUT_FILENO, pixels.data(), reply.size);
}

} // namespace

int main(int argc, char** argv)
{
    ApplyMetafileHelperLimits();
    const std::string mode = argc > 1 ? argv[1] : "";
    MetafileRequest request;
    if (!ReadAll(&request, sizeof request))
        return 2;
    std::vector<char> bytes(request.size);
    if (!ReadAll(bytes.data(), bytes.size()))
        return 2;
    if (mode == "crash")
        std::abort();
    if (mode == "hang")
        for (;;)
            pause();
    if (mode == "out-of-cpu")
        raise(SIGXCPU); // as its processor-time limit ends it
    if (mode == "huge") {
        // Asks for 2.5 GB of address space, unless the limits stop it first.
        for (int i = 0; i < 40; ++i) {
            auto* volatile block = static_cast<char*>(std::malloc(size_t(64) << 20));
            if (!block)
                std::abort();
            block[0] = char(i);
        }
    }
    if (mode == "short") {
        Reply(false);
        _exit(0);
    }
    Reply(true);
    _exit(mode == "fail-after-answer" ? 1 : 0);
}
