// The emulator's device root, made and checked folder by folder.
#include "sim/rootdir.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "proto/ferv_proto.h"

static std::string Refusing(const std::string &path, const std::string &why)
{
    return "refusing " + path + ": " + why;
}

static std::string ModeText(mode_t mode)
{
    char text[8];
    snprintf(text, sizeof text, "%04o", (unsigned)(mode & 07777));
    return text;
}

static std::string OwnerText(uid_t owner)
{
    return "it belongs to user " + std::to_string((unsigned long)owner) + ", not to this user (" +
           std::to_string((unsigned long)geteuid()) + ")";
}

// What is wrong with a folder to serve in, or "" when nothing is: it must be
// a folder of this user (or of root, where rootMayOwn) that neither group nor
// others may write to.
static std::string FolderProblem(const struct stat &st, bool rootMayOwn)
{
    if (S_ISLNK(st.st_mode))
        return "it is a symbolic link";
    if (!S_ISDIR(st.st_mode))
        return "it is not a folder";
    if (st.st_uid != geteuid() && !(rootMayOwn && st.st_uid == 0))
        return OwnerText(st.st_uid);
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return "group or others may write to it (mode " + ModeText(st.st_mode) + ")";
    return "";
}

// The root with its trailing slashes dropped, split into the folder that
// holds it and its own name.
static bool SplitRoot(const std::string &given, std::string *root, std::string *parent, std::string *name)
{
    std::string r = given;
    while (r.size() > 1 && r.back() == '/')
        r.pop_back();
    size_t slash = r.rfind('/');
    *root = r;
    if (slash == std::string::npos) {
        *parent = ".";
        *name = r;
    } else {
        *parent = slash == 0 ? "/" : r.substr(0, slash);
        *name = r.substr(slash + 1);
    }
    return !name->empty() && *name != "." && *name != "..";
}

// Makes the folders of path that are missing (mode 0700), outermost first.
static bool MakeAbove(SimRootDir *d, const std::string &path, std::string *error)
{
    for (size_t i = 1; i <= path.size(); i++) {
        if (i < path.size() && path[i] != '/')
            continue;
        std::string prefix = path.substr(0, i);
        if (mkdir(prefix.c_str(), 0700) == 0) {
            d->madeAbove.push_back(prefix);
        } else if (errno != EEXIST) {
            *error = "cannot create " + prefix + ": " + strerror(errno);
            return false;
        }
    }
    return true;
}

// Every folder from / down to the one that holds the root, as the path
// resolves: each must belong to root or this user, and one that others may
// write to must have the sticky bit, or they could rename the root away
// and put one of their own in its place.
static bool CheckAbove(const std::string &parent, std::string *error)
{
    char *real = realpath(parent.c_str(), nullptr);
    if (!real) {
        *error = "cannot resolve " + parent + ": " + strerror(errno);
        return false;
    }
    std::string resolved = real;
    free(real);
    for (size_t i = 1; i <= resolved.size(); i++) {
        if (i < resolved.size() && resolved[i] != '/')
            continue;
        std::string prefix = i == 1 ? "/" : resolved.substr(0, i);
        struct stat st;
        if (lstat(prefix.c_str(), &st) != 0) {
            *error = "cannot examine " + prefix + ": " + strerror(errno);
            return false;
        }
        if (st.st_uid != 0 && st.st_uid != geteuid()) {
            *error = Refusing(prefix, OwnerText(st.st_uid) + ", who could replace the root below it");
            return false;
        }
        if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX)) {
            *error = Refusing(prefix, "group or others may write to it without the sticky bit (mode " +
                                          ModeText(st.st_mode) + "), so they could replace the root below it");
            return false;
        }
    }
    return true;
}

// Makes (0700) or opens the folder name in dirFd and checks it on its
// descriptor. Returns the descriptor or -1 with the reason in *error.
static int OpenFolderAt(int dirFd, const std::string &path, const std::string &name, bool *made, std::string *error)
{
    *made = false;
    if (mkdirat(dirFd, name.c_str(), 0700) == 0) {
        *made = true;
    } else if (errno != EEXIST) {
        *error = "cannot create " + path + ": " + strerror(errno);
        return -1;
    }
    int fd = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        int saved = errno;
        struct stat st;
        if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && FolderProblem(st, false) != "")
            *error = Refusing(path, FolderProblem(st, false));
        else
            *error = "cannot open " + path + ": " + strerror(saved);
        return -1;
    }
    struct stat st;
    std::string problem = fstat(fd, &st) != 0 ? std::string(strerror(errno)) : FolderProblem(st, false);
    if (!problem.empty()) {
        close(fd);
        *error = Refusing(path, problem);
        return -1;
    }
    return fd;
}

// Opens the lock without following a link and takes it. The lock may be
// left from an emulator that died, so an existing one is reused, but only
// when it is a plain file of this user with no other name (a hard link could
// make the emulator write to another user's file) that only we may write.
static bool TakeLock(SimRootDir *d, const char *lockName, std::string *error)
{
    std::string path = d->root + "/" + lockName;
    int fd = openat(d->rootFd, lockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        int saved = errno;
        struct stat st;
        if (fstatat(d->rootFd, lockName, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
            *error = Refusing(path, "it is a symbolic link");
        else
            *error = "cannot open " + path + ": " + strerror(saved);
        return false;
    }
    struct stat st;
    std::string problem;
    if (fstat(fd, &st) != 0)
        problem = strerror(errno);
    else if (!S_ISREG(st.st_mode))
        problem = "it is not a plain file";
    else if (st.st_uid != geteuid())
        problem = OwnerText(st.st_uid);
    else if (st.st_nlink != 1)
        problem = "it has " + std::to_string((unsigned long)st.st_nlink) + " names (hard links)";
    else if (st.st_mode & (S_IWGRP | S_IWOTH))
        problem = "group or others may write to it (mode " + ModeText(st.st_mode) + ")";
    if (!problem.empty()) {
        close(fd);
        *error = Refusing(path, problem);
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        *error = "another emulator already serves " + d->root;
        return false;
    }
    d->lockFd = fd;
    return true;
}

bool SimRootOpen(SimRootDir *d, const std::string &given, const char *lockName, std::string *error)
{
    std::string parent;
    if (given.empty()) {
        *error = "no root directory";
        return false;
    }
    if (!SplitRoot(given, &d->root, &parent, &d->rootName)) {
        *error = Refusing(given, "the root must be a folder of its own, below /");
        return false;
    }
    d->interfaces = d->root + "/" FERV_INTERFACES_DIR;
    d->lockName = lockName;
    d->classDir = d->root + "/" FERV_INTERFACE_CLASS_DIR;
    if (!MakeAbove(d, parent, error) || !CheckAbove(parent, error))
        return false;
    d->parentFd = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d->parentFd < 0) {
        *error = "cannot open " + parent + ": " + strerror(errno);
        return false;
    }
    d->rootFd = OpenFolderAt(d->parentFd, d->root, d->rootName, &d->madeRoot, error);
    if (d->rootFd < 0 || !TakeLock(d, lockName, error))
        return false;
    d->interfacesFd = OpenFolderAt(d->rootFd, d->interfaces, FERV_INTERFACES_DIR, &d->madeInterfaces, error);
    if (d->interfacesFd < 0)
        return false;
    d->classFd = OpenFolderAt(d->interfacesFd, d->classDir, FERV_INTERFACE_CLASS_TEXT, &d->madeClass, error);
    return d->classFd >= 0;
}

bool SimSocketAddress(const std::string &path, struct sockaddr_un *a)
{
    memset(a, 0, sizeof *a);
    a->sun_family = AF_UNIX;
    if (path.size() >= sizeof a->sun_path)
        return false;
    memcpy(a->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// True when something listens on the socket at path.
static bool SocketLive(const std::string &path)
{
    struct sockaddr_un a;
    if (!SimSocketAddress(path, &a))
        return false;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool live = connect(fd, (struct sockaddr *)&a, sizeof a) == 0;
    close(fd);
    return live;
}

bool SimRootClearName(int dirFd, const std::string &dirPath, const std::string &name, std::string *error)
{
    std::string path = dirPath + "/" + name;
    struct stat st;
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return true; // nothing there
    if (S_ISLNK(st.st_mode)) {
        *error = Refusing(path, "it is a symbolic link");
        return false;
    }
    if (!S_ISSOCK(st.st_mode)) {
        *error = Refusing(path, "it is not a socket");
        return false;
    }
    if (SocketLive(path)) {
        *error = path + " is already served by another process";
        return false;
    }
    if (unlinkat(dirFd, name.c_str(), 0) != 0 && errno != ENOENT) {
        *error = "cannot remove the stale socket " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

bool SimRootClearFolder(int dirFd, const std::string &dirPath, std::string *error)
{
    int listFd = dup(dirFd);
    DIR *dir = listFd >= 0 ? fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            close(listFd);
        *error = "cannot list " + dirPath + ": " + strerror(errno);
        return false;
    }
    rewinddir(dir);
    std::vector<std::string> names;
    while (struct dirent *e = readdir(dir)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    }
    closedir(dir);
    for (const std::string &name : names)
        if (!SimRootClearName(dirFd, dirPath, name, error))
            return false;
    return true;
}

int SimRootListen(const std::string &path, int backlog, std::string *error)
{
    struct sockaddr_un a;
    if (!SimSocketAddress(path, &a)) {
        *error = "socket path too long: " + path;
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = "cannot make a socket for " + path + ": " + strerror(errno);
        return -1;
    }
    // The emulator runs one thread, so the umask changes for this call alone.
    mode_t old = umask(0177);
    int rc = bind(fd, (struct sockaddr *)&a, sizeof a);
    int saved = errno;
    umask(old);
    if (rc != 0 || listen(fd, backlog) != 0) {
        *error = "cannot listen on " + path + ": " + strerror(rc != 0 ? saved : errno);
        close(fd);
        return -1;
    }
    return fd;
}

static void CloseFd(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

void SimRootClose(SimRootDir *d)
{
    if (d->lockFd >= 0 && d->rootFd >= 0)
        unlinkat(d->rootFd, d->lockName.c_str(), 0);
    CloseFd(&d->lockFd);
    // Only empty folders go.
    if (d->madeClass && d->interfacesFd >= 0)
        unlinkat(d->interfacesFd, FERV_INTERFACE_CLASS_TEXT, AT_REMOVEDIR);
    if (d->madeInterfaces && d->rootFd >= 0)
        unlinkat(d->rootFd, FERV_INTERFACES_DIR, AT_REMOVEDIR);
    if (d->madeRoot && d->parentFd >= 0)
        unlinkat(d->parentFd, d->rootName.c_str(), AT_REMOVEDIR);
    for (size_t i = d->madeAbove.size(); i-- > 0;)
        rmdir(d->madeAbove[i].c_str());
    CloseFd(&d->classFd);
    CloseFd(&d->interfacesFd);
    CloseFd(&d->rootFd);
    CloseFd(&d->parentFd);
    d->madeClass = d->madeInterfaces = d->madeRoot = false;
    d->madeAbove.clear();
}

bool SimRootCheckForClient(const std::string &root, std::string *error)
{
    std::string r = root;
    while (r.size() > 1 && r.back() == '/')
        r.pop_back();
    struct stat st;
    if (lstat(r.c_str(), &st) != 0)
        return true;
    std::string problem = FolderProblem(st, true);
    if (!problem.empty()) {
        *error = Refusing(r, problem);
        return false;
    }
    return true;
}

bool SimPeerMayServe(int fd)
{
    struct ucred cred;
    socklen_t length = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0)
        return false;
    return cred.uid == 0 || cred.uid == geteuid();
}
