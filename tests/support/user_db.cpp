#include "support/user_db.h"

#include "support/test_support.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <vector>

namespace qpm::test {
namespace {

constexpr const char *PASSWD = "/etc/passwd";
constexpr const char *GROUP = "/etc/group";
// New ids are taken downwards from here, clear of ordinary users.
constexpr unsigned FIRST_FREE_ID = 60999;

struct PrivateDb {
    ScratchDir dir;
    std::string passwd;
    std::string group;
    std::string error;
};

std::unique_ptr<PrivateDb> &db()
{
    static std::unique_ptr<PrivateDb> instance;
    return instance;
}

std::string system_error(const std::string &what) { return what + ": " + std::strerror(errno); }

// Rewrites the copy in place (same inode: the bind mount keeps showing it).
bool rewrite(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return !out.fail();
}

std::vector<std::string> lines_of(const std::string &path)
{
    std::vector<std::string> lines;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string joined(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &line : lines)
        text += line + "\n";
    return text;
}

template <class Taken> unsigned free_id(Taken taken)
{
    unsigned id = FIRST_FREE_ID;
    while (id > 1000 && taken(id))
        --id;
    return id;
}

} // namespace

bool private_user_db(std::string &error)
{
    if (db()) {
        error = db()->error;
        return error.empty();
    }
    db() = std::make_unique<PrivateDb>();
    PrivateDb &d = *db();
    d.passwd = d.dir / "passwd";
    d.group = d.dir / "group";
    if (unshare(CLONE_NEWNS) != 0)
        d.error = system_error("unshare(CLONE_NEWNS)");
    else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        d.error = system_error("making / private");
    else if (!rewrite(d.passwd, read_file(PASSWD)) || !rewrite(d.group, read_file(GROUP)))
        d.error = "cannot copy the user database";
    else if (mount(d.passwd.c_str(), PASSWD, nullptr, MS_BIND, nullptr) != 0)
        d.error = system_error("bind-mounting /etc/passwd");
    else if (mount(d.group.c_str(), GROUP, nullptr, MS_BIND, nullptr) != 0)
        d.error = system_error("bind-mounting /etc/group");
    error = d.error;
    return error.empty();
}

std::optional<uid_t> private_user_add(const std::string &name, gid_t gid)
{
    if (!db() || !db()->error.empty())
        return std::nullopt;
    if (const passwd *pw = getpwnam(name.c_str()))
        return pw->pw_uid;
    const uid_t uid = free_id([](unsigned id) { return getpwuid(id) != nullptr; });
    std::vector<std::string> lines = lines_of(db()->passwd);
    lines.push_back(name + ":x:" + std::to_string(uid) + ":" + std::to_string(gid) + "::/nonexistent:/usr/sbin/nologin");
    if (!rewrite(db()->passwd, joined(lines)))
        return std::nullopt;
    return uid;
}

std::optional<gid_t> private_group_member(const std::string &group_name, const std::string &user)
{
    if (!db() || !db()->error.empty())
        return std::nullopt;
    std::vector<std::string> lines = lines_of(db()->group);
    std::optional<gid_t> gid;
    for (std::string &line : lines) {
        if (!line.starts_with(group_name + ":"))
            continue;
        const group *gr = getgrnam(group_name.c_str());
        if (!gr)
            return std::nullopt;
        gid = gr->gr_gid;
        for (char **member = gr->gr_mem; *member; ++member) {
            if (user == *member)
                return gid;
        }
        line += line.back() == ':' ? user : "," + user;
    }
    if (!gid) {
        gid = free_id([](unsigned id) { return getgrgid(id) != nullptr; });
        lines.push_back(group_name + ":x:" + std::to_string(*gid) + ":" + user);
    }
    if (!rewrite(db()->group, joined(lines)))
        return std::nullopt;
    return gid;
}

} // namespace qpm::test
