// The emulator's device root as another user could have prepared it: every
// planted link, foreign or open folder and foreign lock is refused with a
// message that names it, nothing is made through it, and the sockets are
// born private. The plants lie in folders the test owns, so the refusals
// show whatever fs.protected_symlinks says.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/raw_client.h"

using namespace ferv_e2e;
using ferv_test::BackgroundProgram;
using ferv_test::ProgramOptions;
using ferv_test::ProgramResult;
using ferv_test::RunProgram;

namespace {

// The interface class folder below a root, "interfaces/{guid}", as the raw
// client spells it out.
const std::string kClassDir = std::string(raw_client::kClass).substr(1, sizeof raw_client::kClass - 3);
const int kOther = 12345; // users the tests stand in for when they run as root
const int kThird = 12346;

// A scratch folder of the test's own (0700 unless a case opens it), and the
// path of name in it.
typedef TempDir Scratch;
std::string operator/(const Scratch &s, const std::string &name)
{
    return s.Path() + "/" + name;
}

// The device root is a POSIX matter: behind the relay there is none.
class EmulatorRoot : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (UnderWine())
            GTEST_SKIP() << "POSIX device root only";
    }
};

std::vector<std::string> g_sockets;

int NoteSocket(const char *path, const struct stat *st, int, struct FTW *)
{
    if (S_ISSOCK(st->st_mode))
        g_sockets.push_back(path);
    return 0;
}

// Every socket below dir (without following links).
std::vector<std::string> SocketsBelow(const std::string &dir)
{
    g_sockets.clear();
    nftw(dir.c_str(), NoteSocket, 16, FTW_PHYS);
    return g_sockets;
}

// Starts fervsim on root; it must refuse at once.
ProgramResult Serve(const std::string &root, int uid = -1)
{
    ProgramOptions o;
    o.timeoutMs = 5000;
    o.uid = uid;
    return RunProgram(SimPath(), {"--root", root, "--quiet", "--no-io"}, o);
}

void MakeFolder(const std::string &path, mode_t mode = 0700)
{
    ASSERT_EQ(mkdir(path.c_str(), mode), 0) << path;
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path; // past the umask
}

// A socket file nobody listens on, as an emulator that died leaves it.
void MakeDeadSocket(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(fd, (struct sockaddr *)&a, sizeof a), 0) << path;
    close(fd);
}

struct Plant {
    const char *what;
    std::string root;    // below the scratch folder
    std::string culprit; // what the message must name, below the scratch folder
    std::string why;
    std::function<void(const Scratch &)> setUp;
};

TEST_F(EmulatorRoot, RefusesPlantedFoldersLinksAndFilesNamingThem)
{
    const std::string cls = "r/" + kClassDir;
    auto base = [](const Scratch &s) {
        MakeFolder(s / "r");
        MakeFolder(s / "r/interfaces");
        MakeFolder(s / ("r/" + kClassDir));
    };
    const std::vector<Plant> plants = {
        {"root is a link to a folder", "r", "r", "it is a symbolic link",
         [](const Scratch &s) {
             MakeFolder(s / "elsewhere");
             ASSERT_EQ(symlink((s / "elsewhere").c_str(), (s / "r").c_str()), 0);
         }},
        {"root others may write to", "r", "r", "group or others may write to it (mode 0777)",
         [](const Scratch &s) { MakeFolder(s / "r", 0777); }},
        {"root its group may write to", "r", "r", "group or others may write to it (mode 0770)",
         [](const Scratch &s) { MakeFolder(s / "r", 0770); }},
        {"root open to all, even with the sticky bit", "r", "r", "group or others may write to it (mode 1777)",
         [](const Scratch &s) { MakeFolder(s / "r", 01777); }},
        {"root is a plain file", "r", "r", "it is not a folder",
         [](const Scratch &s) { ASSERT_EQ(close(creat((s / "r").c_str(), 0600)), 0); }},
        {"a folder above the root others may write to", "open/r", "open",
         "group or others may write to it without the sticky bit (mode 0777)",
         [](const Scratch &s) { MakeFolder(s / "open", 0777); }},
        {"interfaces is a link", "r", "r/interfaces", "it is a symbolic link",
         [](const Scratch &s) {
             MakeFolder(s / "r");
             MakeFolder(s / "elsewhere");
             ASSERT_EQ(symlink((s / "elsewhere").c_str(), (s / "r/interfaces").c_str()), 0);
         }},
        {"interfaces others may write to", "r", "r/interfaces", "group or others may write to it (mode 0757)",
         [](const Scratch &s) {
             MakeFolder(s / "r");
             MakeFolder(s / "r/interfaces", 0757);
         }},
        {"class folder is a link", "r", cls, "it is a symbolic link",
         [](const Scratch &s) {
             MakeFolder(s / "r");
             MakeFolder(s / "r/interfaces");
             MakeFolder(s / "elsewhere");
             ASSERT_EQ(symlink((s / "elsewhere").c_str(), (s / ("r/" + kClassDir)).c_str()), 0);
         }},
        {"class folder others may write to", "r", cls, "group or others may write to it (mode 0777)",
         [](const Scratch &s) {
             MakeFolder(s / "r");
             MakeFolder(s / "r/interfaces");
             MakeFolder(s / ("r/" + kClassDir), 0777);
         }},
        {"lock is a link", "r", "r/fervsim.lock", "it is a symbolic link",
         [](const Scratch &s) {
             MakeFolder(s / "r");
             ASSERT_EQ(symlink((s / "victim").c_str(), (s / "r/fervsim.lock").c_str()), 0);
         }},
        {"lock has a second name", "r", "r/fervsim.lock", "it has 2 names (hard links)",
         [](const Scratch &s) {
             MakeFolder(s / "r");
             ASSERT_EQ(close(creat((s / "victim").c_str(), 0600)), 0);
             ASSERT_EQ(link((s / "victim").c_str(), (s / "r/fervsim.lock").c_str()), 0);
         }},
        {"control device is a link", "r", "r/ZEL_HA_CONTROL", "it is a symbolic link",
         [&](const Scratch &s) {
             base(s);
             ASSERT_EQ(symlink((s / "victim").c_str(), (s / "r/ZEL_HA_CONTROL").c_str()), 0);
         }},
        {"admin socket is a plain file", "r", "r/fervsim.ctl", "it is not a socket",
         [&](const Scratch &s) {
             base(s);
             ASSERT_EQ(close(creat((s / "r/fervsim.ctl").c_str(), 0600)), 0);
         }},
        {"a link among the interfaces", "r", cls + "/ferv0009", "it is a symbolic link",
         [&](const Scratch &s) {
             base(s);
             ASSERT_EQ(symlink((s / "victim").c_str(), (s / (cls + "/ferv0009")).c_str()), 0);
         }},
    };
    for (const Plant &p : plants) {
        SCOPED_TRACE(p.what);
        Scratch s;
        p.setUp(s);
        if (HasFatalFailure())
            return;
        ProgramResult r = Serve(s / p.root);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_NE(r.err.find("fervsim: refusing " + (s / p.culprit) + ": " + p.why), std::string::npos) << r.err;
        EXPECT_EQ(SocketsBelow(s.Path()), std::vector<std::string>()) << "nothing served";
        struct stat st;
        if (lstat((s / "victim").c_str(), &st) == 0)
            EXPECT_EQ(st.st_size, 0) << "nothing written through the plant";
        else
            EXPECT_EQ(errno, ENOENT) << "nothing made through the plant";
    }
}

// What an emulator that died leaves behind, in folders that are ours, is
// taken over; so is a root below a sticky folder open to all, as /tmp is.
TEST_F(EmulatorRoot, TakesOverItsOwnRootWithStaleSocketsAndLock)
{
    Scratch s;
    MakeFolder(s / "shared", 01777);
    std::string root = s / "shared/r";
    std::string cls = root + "/" + kClassDir;
    MakeFolder(root);
    MakeFolder(root + "/interfaces");
    MakeFolder(cls);
    MakeDeadSocket(root + "/ZEL_HA_CONTROL");
    MakeDeadSocket(cls + "/ferv0005");
    ASSERT_EQ(close(creat((root + "/fervsim.lock").c_str(), 0600)), 0);

    BackgroundProgram sim(SimPath(), {"--root", root, "--quiet", "--no-io"});
    ASSERT_TRUE(ferv_test::WaitForPath(root + "/fervsim.ctl")) << sim.Errors();
    ProgramResult show = RunProgram(SimPath(), {"ctl", "--root", root, "show"});
    EXPECT_EQ(show.exitCode, 0) << show.err;
    struct stat st;
    EXPECT_NE(lstat((cls + "/ferv0005").c_str(), &st), 0) << "the stale interface is gone";
    ProgramResult r = sim.Stop(SIGTERM);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(SocketsBelow(s.Path()), std::vector<std::string>());
}

// Made with chmod after bind, a socket would exist for a moment with the
// mode the umask gives (0777 here); made under a tight umask it never
// changes after birth, which inotify would see.
TEST_F(EmulatorRoot, SocketsAreBornPrivate)
{
    Scratch s;
    std::string root = s / "r", cls = root + "/" + kClassDir;
    MakeFolder(root);
    MakeFolder(root + "/interfaces");
    MakeFolder(cls);
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, root.c_str(), IN_ATTRIB), 0);
    ASSERT_GE(inotify_add_watch(watch, cls.c_str(), IN_ATTRIB), 0);

    mode_t old = umask(0);
    BackgroundProgram sim(SimPath(), {"--root", root, "--quiet", "--no-io"});
    umask(old);
    ASSERT_TRUE(ferv_test::WaitForPath(root + "/fervsim.ctl")) << sim.Errors();
    EXPECT_EQ(RunProgram(SimPath(), {"ctl", "--root", root, "show"}).exitCode, 0) << "every socket listens";

    std::vector<std::string> changed;
    alignas(struct inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = read(watch, buffer, sizeof buffer)) > 0) {
        for (char *p = buffer; p < buffer + n;) {
            struct inotify_event *e = (struct inotify_event *)p;
            changed.push_back(e->len ? e->name : "(the folder)");
            p += sizeof *e + e->len;
        }
    }
    close(watch);
    EXPECT_EQ(changed, std::vector<std::string>()) << "no mode changed after the sockets were made";
    for (const std::string &path : {root + "/ZEL_HA_CONTROL", root + "/fervsim.ctl", cls + "/ferv0000"}) {
        struct stat st;
        ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode & 07777, 0600u) << path;
    }
    EXPECT_EQ(sim.Stop(SIGTERM).exitCode, 0);
}

TEST_F(EmulatorRoot, CtlRefusesARootThatIsALink)
{
    Scratch s;
    std::string root = s / "r";
    BackgroundProgram sim(SimPath(), {"--root", root, "--quiet", "--no-io"});
    ASSERT_TRUE(ferv_test::WaitForPath(root + "/fervsim.ctl")) << sim.Errors();
    ASSERT_EQ(symlink(root.c_str(), (s / "link").c_str()), 0);
    ProgramResult r = RunProgram(SimPath(), {"ctl", "--root", s / "link", "show"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "fervsim ctl: refusing " + (s / "link") + ": it is a symbolic link\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(RunProgram(SimPath(), {"ctl", "--root", root, "poll"}).exitCode, 0);
    EXPECT_EQ(sim.Stop(SIGTERM).exitCode, 0);
}

// ---- with other users: the test runs as root and plays them ---------------------------

// Needs root, to give folders to another user and to run fervsim as one.
class EmulatorRootUsers : public EmulatorRoot {
protected:
    void SetUp() override
    {
        EmulatorRoot::SetUp();
        if (!IsSkipped() && geteuid() != 0)
            GTEST_SKIP() << "needs root to give folders to another user and to run fervsim as one; run the suite "
                            "as root to cover it";
    }
};

TEST_F(EmulatorRootUsers, RefusesFoldersAndLockOfAnotherUser)
{
    const std::string owner = "it belongs to user " + std::to_string(kOther) + ", not to this user (0)";
    const std::vector<Plant> plants = {
        {"root", "r", "r", owner,
         [](const Scratch &s) {
             MakeFolder(s / "r");
             ASSERT_EQ(chown((s / "r").c_str(), kOther, kOther), 0);
         }},
        {"interfaces", "r", "r/interfaces", owner,
         [](const Scratch &s) {
             MakeFolder(s / "r");
             MakeFolder(s / "r/interfaces");
             ASSERT_EQ(chown((s / "r/interfaces").c_str(), kOther, kOther), 0);
         }},
        {"lock", "r", "r/fervsim.lock", owner,
         [](const Scratch &s) {
             MakeFolder(s / "r");
             ASSERT_EQ(close(creat((s / "r/fervsim.lock").c_str(), 0600)), 0);
             ASSERT_EQ(chown((s / "r/fervsim.lock").c_str(), kOther, kOther), 0);
         }},
        {"a folder above the root", "theirs/r", "theirs", owner + ", who could replace the root below it",
         [](const Scratch &s) {
             MakeFolder(s / "theirs", 0755);
             ASSERT_EQ(chown((s / "theirs").c_str(), kOther, kOther), 0);
         }},
    };
    for (const Plant &p : plants) {
        SCOPED_TRACE(p.what);
        Scratch s;
        p.setUp(s);
        ProgramResult r = Serve(s / p.root);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_NE(r.err.find("fervsim: refusing " + (s / p.culprit) + ": " + p.why), std::string::npos) << r.err;
        EXPECT_EQ(SocketsBelow(s.Path()), std::vector<std::string>());
    }
}

// Two ordinary users and a shared sticky folder, as /tmp: what one plants
// where the other's default root would be is refused by the other's
// emulator, and the emulator run by an ordinary user refuses root's folder.
TEST_F(EmulatorRootUsers, OrdinaryUsersRefuseWhatOthersPlanted)
{
    Scratch s;
    ASSERT_EQ(chmod(s.Path().c_str(), 01777), 0);
    ProgramOptions asOther;
    asOther.uid = kOther;
    std::string theirs = s / "theirs", planted = s / "ferv-12346";
    ProgramResult made = RunProgram("/bin/mkdir", {"-m", "0700", theirs}, asOther);
    if (made.exitCode == 127)
        GTEST_SKIP() << "user " << kOther << " cannot run programs here: " << made.err;
    ASSERT_EQ(made.exitCode, 0) << made.err;
    ASSERT_EQ(RunProgram("/bin/ln", {"-s", theirs, planted}, asOther).exitCode, 0);

    ProgramResult r = Serve(planted, kThird);
    if (r.exitCode == 127)
        GTEST_SKIP() << "user " << kThird << " cannot run " << SimPath() << ": " << r.err;
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.err, "fervsim: refusing " + planted + ": it is a symbolic link\n");

    ASSERT_EQ(unlink(planted.c_str()), 0);
    ASSERT_EQ(RunProgram("/bin/mkdir", {"-m", "0777", planted}, asOther).exitCode, 0);
    r = Serve(planted, kThird);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.err, "fervsim: refusing " + planted + ": it belongs to user " + std::to_string(kOther) +
                         ", not to this user (" + std::to_string(kThird) + ")\n");

    MakeFolder(s / "roots", 0755);
    r = Serve(s / "roots", kThird);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("it belongs to user 0, not to this user (" + std::to_string(kThird) + ")"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(SocketsBelow(s.Path()), std::vector<std::string>());
}

} // namespace
