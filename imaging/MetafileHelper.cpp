#include "MetafileHelper.h"

#include "platform/Exception.h"
#include "platform/Thread.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

extern char** environ;

namespace {

constexpr const char* kHelperName = "glimmerbox-metafile";
constexpr int kPollSliceMs = 50;

std::atomic<MetafilePlayback> gPlayback{MetafilePlayback::Helper};

std::string FindHelper()
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    std::vector<fs::path> candidates;
    if (!ec) {
        candidates.push_back(self.parent_path() / kHelperName);
        candidates.push_back(self.parent_path() / ".." / "libexec" / "glimmerbox" / kHelperName);
    }
#ifdef GMB_METAFILE_HELPER_BUILD_PATH
    candidates.emplace_back(GMB_METAFILE_HELPER_BUILD_PATH);
#endif
    for (const fs::path& p : candidates)
        if (access(p.c_str(), X_OK) == 0 && fs::is_regular_file(p, ec))
            return fs::weakly_canonical(p, ec).string();
    return {};
}

enum class HelperEnd { Clean, Failed, OutOfTime };

// The child ends here whatever happened; its exit status tells how it went.
HelperEnd Reap(pid_t pid, bool kill)
{
    if (kill)
        ::kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return HelperEnd::Clean;
    // Its own limits on processor and wall time end it with these.
    if (WIFSIGNALED(status) && (WTERMSIG(status) == SIGXCPU || WTERMSIG(status) == SIGALRM))
        return HelperEnd::OutOfTime;
    return HelperEnd::Failed;
}

class FdCloser {
public:
    explicit FdCloser(int fd) : fd_(fd) {}
    ~FdCloser() { if (fd_ >= 0) close(fd_); }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;
private:
    int fd_;
};

// Sends the request and collects the answer until the deadline.
bool Exchange(int fd, const std::vector<uint8_t>& request, MetafileReply& reply, std::vector<uint8_t>& payload,
              const std::function<int64_t()>& now, int64_t deadline, uint64_t expectedPayload)
{
    size_t sent = 0, got = 0;
    bool haveHeader = false;
    payload.clear();
    for (;;) {
        const int64_t left = deadline - now();
        if (left <= 0)
            return false;
        pollfd p{fd, short(POLLIN | (sent < request.size() ? POLLOUT : 0)), 0};
        const int r = poll(&p, 1, int(std::min<int64_t>(left, kPollSliceMs)));
        if (r < 0 && errno != EINTR)
            return false;
        if (r <= 0)
            continue;
        if ((p.revents & POLLOUT) && sent < request.size()) {
            const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false; // the helper went away before reading it all
            if (n > 0)
                sent += size_t(n);
        }
        if (!(p.revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        uint8_t* into = haveHeader ? payload.data() + got : reinterpret_cast<uint8_t*>(&reply) + got;
        const size_t want = haveHeader ? payload.size() - got : sizeof reply - got;
        const ssize_t n = recv(fd, into, want, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            return false; // closed before a whole answer
        got += size_t(n);
        if (!haveHeader && got == sizeof reply) {
            if (reply.magic != MetafileReply{}.magic || reply.size > MaxMetafileReplyBytes ||
                (reply.ok && expectedPayload != 0 && reply.size != expectedPayload))
                return false;
            haveHeader = true;
            got = 0;
            payload.resize(reply.size);
        }
        if (haveHeader && got == payload.size())
            return sent == request.size();
    }
}

} // namespace

void SetMetafilePlayback(MetafilePlayback playback) { gPlayback = playback; }
MetafilePlayback CurrentMetafilePlayback() { return gPlayback; }

std::string MetafileHelperPath()
{
    static const std::string path = FindHelper();
    return path;
}

bool RunMetafileHelper(const MetafileHelperRun& run, MetafileOp op, const std::vector<uint8_t>& bytes, int width,
                       int height, MetafileReply& reply, std::vector<uint8_t>& payload)
{
    const std::string path = run.path.empty() ? MetafileHelperPath() : run.path;
    if (path.empty())
        throw Exception(std::string("Cannot find the metafile player \"") + kHelperName + "\"");
    if (bytes.size() > MaxMetafileRequestBytes)
        return false;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        throw Exception(std::string("Cannot start the metafile player: ") + std::strerror(errno));
    FdCloser ours(pair[0]);
    pid_t pid = 0;
    {
        FdCloser theirs(pair[1]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pair[1], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, pair[1], STDOUT_FILENO);
        std::vector<char*> argv{const_cast<char*>(path.c_str())};
        for (const std::string& a : run.arguments)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            throw Exception("Cannot start the metafile player \"" + path + "\": " + std::strerror(rc));
    }
    MetafileRequest request;
    request.op = op;
    request.width = width;
    request.height = height;
    request.size = bytes.size();
    std::vector<uint8_t> message(sizeof request + bytes.size());
    std::memcpy(message.data(), &request, sizeof request);
    if (!bytes.empty())
        std::memcpy(message.data() + sizeof request, bytes.data(), bytes.size());
    const auto now = run.nowMs ? run.nowMs : std::function<int64_t()>(SteadyMs);
    const uint64_t expected = op == MetafileOp::PlayEnhanced ? uint64_t(width) * uint64_t(height) * 4 : 0;
    const int64_t deadline = now() + run.timeoutMs;
    const bool answered = Exchange(pair[0], message, reply, payload, now, deadline, expected);
    // An answer counts only from a helper that then ends cleanly.
    const HelperEnd end = Reap(pid, !answered);
    if (end == HelperEnd::OutOfTime || (!answered && now() >= deadline))
        throw Exception(kMetafileTooSlow);
    return answered && end == HelperEnd::Clean;
}

QImage PlayMetafile(bool enhanced, const std::vector<uint8_t>& bytes, int width, int height)
{
    std::vector<uint8_t> payload;
    if (gPlayback == MetafilePlayback::InProcess) {
        if (enhanced) {
            std::vector<uint32_t> argb;
            if (!PlayEnhancedMetafile(bytes, width, height, argb))
                return {};
            payload.resize(argb.size() * 4);
            std::memcpy(payload.data(), argb.data(), payload.size());
        } else if (!PlayWindowsMetafile(bytes, width, height, payload)) {
            return {};
        }
    } else {
        MetafileReply reply;
        if (!RunMetafileHelper({}, enhanced ? MetafileOp::PlayEnhanced : MetafileOp::PlayWindows, bytes, width, height,
                               reply, payload) ||
            !reply.ok)
            return {};
    }
    QImage image;
    if (enhanced) {
        if (payload.size() != size_t(width) * size_t(height) * 4)
            return {};
        image = QImage(width, height, QImage::Format_ARGB32_Premultiplied);
        if (image.isNull())
            return {};
        for (int y = 0; y < height; ++y)
            std::memcpy(image.scanLine(y), payload.data() + size_t(y) * size_t(width) * 4, size_t(width) * 4);
    } else {
        image = QImage::fromData(payload.data(), static_cast<int>(payload.size()), "PNG")
                    .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    }
    if (image.width() != width || image.height() != height)
        return {};
    return image;
}

bool MeasureMetafile(const std::vector<uint8_t>& bytes, int& width, int& height)
{
    if (gPlayback == MetafilePlayback::InProcess)
        return MeasureWindowsMetafile(bytes, width, height);
    MetafileReply reply;
    std::vector<uint8_t> payload;
    if (!RunMetafileHelper({}, MetafileOp::MeasureWindows, bytes, 0, 0, reply, payload) || !reply.ok)
        return false;
    width = reply.width;
    height = reply.height;
    return true;
}
