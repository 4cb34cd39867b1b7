// The emulator's device root on disk: the root folder, the interfaces and
// interface class folders below it, the lock, and the names its sockets take.
// They are made and checked the way ssh, tmux and systemd treat their runtime
// folders: a folder is opened without following a symbolic link and judged on
// its descriptor (a folder of this user that nobody else may write to), and
// everything below the root is made and looked at relative to a checked
// folder's descriptor. Whatever another user planted on the way (a symbolic
// link, a folder of theirs, a folder anyone may write to, a link in place of
// the lock or a socket) is refused with a message that names it.
#ifndef FERVSIM_ROOTDIR_H
#define FERVSIM_ROOTDIR_H

#include <sys/types.h>
#include <sys/un.h>

#include <string>
#include <vector>

struct SimRootDir {
    std::string root;       // the root as given (trailing slashes dropped)
    std::string interfaces; // root/FERV_INTERFACES_DIR
    std::string classDir;   // root/FERV_INTERFACE_CLASS_DIR
    int parentFd = -1;      // the folder that holds the root
    int rootFd = -1;
    int interfacesFd = -1;
    int classFd = -1;
    int lockFd = -1;
    std::string rootName, lockName;
    std::vector<std::string> madeAbove; // folders above the root made for it, outermost first
    bool madeRoot = false, madeInterfaces = false, madeClass = false;
};

// Makes the root (mode 0700) and the folders above it that are missing, checks
// the folders above it (each belongs to root or this user; one that others
// may write to has the sticky bit, as /tmp has), makes or opens the root, its
// interfaces folder and the interface class folder in that (each a folder of this user
// that neither group nor others may write to, and no symbolic link), and takes
// the lock root/lockName (a plain file of this user with one link, opened
// without following a link). Returns false with the reason in *error; what
// was made so far stays recorded for SimRootClose.
bool SimRootOpen(SimRootDir *d, const std::string &root, const char *lockName, std::string *error);

// Clears the way for a socket named name in the folder dirFd (dirPath for
// messages): nothing there, or a socket nobody listens on (removed). Returns
// false with the reason in *error for a live socket, a symbolic link or
// anything else that is not a socket.
bool SimRootClearName(int dirFd, const std::string &dirPath, const std::string &name, std::string *error);

// SimRootClearName for every entry of the folder dirFd.
bool SimRootClearFolder(int dirFd, const std::string &dirPath, std::string *error);

// A listening, non-blocking stream socket at path, born with mode 0600: it is
// made under a umask that leaves no other bits, so there is no moment in
// which another user could connect. Returns the descriptor, or -1 with the
// reason in *error.
int SimRootListen(const std::string &path, int backlog, std::string *error);

// Removes the lock and the folders SimRootOpen made (only while empty) and
// closes every descriptor.
void SimRootClose(SimRootDir *d);

// The client's view of a root it is about to use: refuses (false, the reason
// in *error) a root that is a symbolic link, not a folder, belongs to a user
// other than this one and root, or that group or others may write to. A
// missing root is not refused here: connecting then finds nothing.
bool SimRootCheckForClient(const std::string &root, std::string *error);

// Fills a Unix socket address for path. Returns false when path is too long
// for one.
bool SimSocketAddress(const std::string &path, struct sockaddr_un *a);

// True when the peer of a connected Unix socket runs as this user or as root.
bool SimPeerMayServe(int fd);

#endif
