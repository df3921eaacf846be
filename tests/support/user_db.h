#pragma once
// Users and groups for tests without touching the host's user database.
// The first call moves this process into a mount namespace of its own (mount
// propagation private, so nothing reaches the host) and bind-mounts copies of
// /etc/passwd and /etc/group over the originals. Entries added later go into
// the copies only: they exist for this process and the programs it starts,
// and a test run killed at any point leaves the host's files as they were.
#include <optional>
#include <string>
#include <sys/types.h>

namespace qpm::test {

// Enters the private user database once per process. Needs root
// (CAP_SYS_ADMIN); on failure returns false with the reason in `error`.
bool private_user_db(std::string &error);

// Adds a user (no home, no login shell) with primary group `gid` to the
// private passwd; returns its uid, the existing one when the name is taken.
// Nothing without the private database.
std::optional<uid_t> private_user_add(const std::string &name, gid_t gid);

// Makes `user` a member of `group` in the private group file, adding the
// group when there is none; returns the group's id.
std::optional<gid_t> private_group_member(const std::string &group, const std::string &user);

} // namespace qpm::test
