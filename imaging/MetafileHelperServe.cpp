// The helper process's side: limits, then one request served.
#include "MetafilePlayers.h"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

// Moves all size bytes through read or write, whatever comes in pieces.
template <typename Buffer, typename Io>
bool Transfer(int fd, Buffer* data, size_t size, Io io)
{
    while (size > 0) {
        const ssize_t n = io(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

bool ReadAll(int fd, void* data, size_t size) { return Transfer(fd, static_cast<char*>(data), size, read); }
bool WriteAll(int fd, const void* data, size_t size)
{
    return Transfer(fd, static_cast<const char*>(data), size, write);
}

void Limit(int resource, rlim_t value)
{
    const rlimit limit{value, value};
    setrlimit(resource, &limit);
}

} // namespace

void ApplyMetafileHelperLimits()
{
    // The sanitizers reserve terabytes of address space for their shadow
    // memory; their builds go without the memory limit.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    Limit(RLIMIT_AS, MetafileHelperMemoryBytes);
#endif
    Limit(RLIMIT_CPU, MetafileHelperCpuSeconds);
    Limit(RLIMIT_CORE, 0);
    Limit(RLIMIT_FSIZE, 0);
    // A helper blocked (not spinning) outlives no one: it ends with the
    // program that started it, and on its own after a while.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    alarm(MetafileHelperWallSeconds);
}

int ServeMetafileRequest(int in, int out)
{
    MetafileRequest request;
    if (!ReadAll(in, &request, sizeof request) || request.magic != MetafileRequest{}.magic ||
        request.size > MaxMetafileRequestBytes || request.width < 0 || request.height < 0 || request.width > 32767 ||
        request.height > 32767)
        return 2;
    std::vector<uint8_t> bytes(request.size);
    if (!ReadAll(in, bytes.data(), bytes.size()))
        return 2;
    MetafileReply reply;
    std::vector<uint32_t> argb;
    std::vector<uint8_t> png;
    const void* payload = nullptr;
    switch (request.op) {
    case MetafileOp::PlayEnhanced:
        reply.ok = PlayEnhancedMetafile(bytes, request.width, request.height, argb);
        payload = argb.data();
        reply.size = argb.size() * sizeof(uint32_t);
        break;
    case MetafileOp::PlayWindows:
        reply.ok = PlayWindowsMetafile(bytes, request.width, request.height, png);
        payload = png.data();
        reply.size = png.size();
        break;
    case MetafileOp::MeasureWindows:
        reply.ok = MeasureWindowsMetafile(bytes, reply.width, reply.height);
        break;
    default:
        return 2;
    }
    if (!reply.ok)
        reply.size = 0;
    if (!WriteAll(out, &reply, sizeof reply) || !WriteAll(out, payload, reply.size))
        return 3;
    return 0;
}
