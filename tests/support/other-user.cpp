#include "support/other-user.h"

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace
{

const uid_t kFallbackNobody = 65534;

void nobodyIds(uid_t &uid, gid_t &gid)
{
    const struct passwd *pw = ::getpwnam("nobody");
    uid = pw != nullptr ? pw->pw_uid : kFallbackNobody;
    gid = pw != nullptr ? pw->pw_gid : kFallbackNobody;
}

} // namespace

std::string otherUserUnavailable()
{
    return ::geteuid() == 0 ? std::string()
                            : std::string("switching to another user needs root; running as uid ") +
                                  std::to_string(::geteuid());
}

int runAsNobody(const std::function<int()> &body)
{
    uid_t uid;
    gid_t gid;
    nobodyIds(uid, gid);
    pid_t pid = ::fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
            ::setresuid(uid, uid, uid) != 0) {
            _exit(99);
        }
        _exit(body());
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
