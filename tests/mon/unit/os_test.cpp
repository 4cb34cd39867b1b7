// The operating-system pieces fervmon leans on: the time stamp of its log
// lines and the one-step replacement of a metrics file.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mon/mon_os.h"

namespace {

TEST(MonOs, TimestampsAreIso8601UtcToTheMillisecond)
{
    EXPECT_TRUE(
        std::regex_match(MonUtcTimestamp(), std::regex("20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:"
                                                       "[0-6][0-9]\\.[0-9]{3}Z")))
        << MonUtcTimestamp();
}

struct Folder {
    std::string path;
    Folder()
    {
        char pattern[] = "/tmp/ferv-mon-os-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~Folder()
    {
        for (const std::string &name : Names())
            unlink((path + "/" + name).c_str());
        rmdir(path.c_str());
    }
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        DIR *dir = opendir(path.c_str());
        while (struct dirent *entry = dir ? readdir(dir) : nullptr)
            if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
                names.push_back(entry->d_name);
        if (dir)
            closedir(dir);
        return names;
    }
    std::string Read(const std::string &name) const
    {
        std::ifstream in(path + "/" + name);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
};

bool WriteNew(FILE *file, void *)
{
    return fputs("new\n", file) >= 0;
}

bool FailHalfway(FILE *file, void *)
{
    fputs("half", file);
    return false;
}

TEST(MonOs, AReplacedFileIsOldOrWholeNeverHalf)
{
    Folder folder;
    const std::string target = folder.path + "/ferv.prom";
    std::ofstream(target) << "old\n";
    chmod(target.c_str(), 0640);
    std::string error;

    EXPECT_FALSE(MonReplaceFile(target, FailHalfway, nullptr, &error));
    EXPECT_NE(error.find("cannot write " + folder.path + "/.ferv.prom."), std::string::npos) << error;
    EXPECT_EQ(folder.Read("ferv.prom"), "old\n");
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"ferv.prom"}) << "no temporary file is left behind";

    ASSERT_TRUE(MonReplaceFile(target, WriteNew, nullptr, &error)) << error;
    EXPECT_EQ(folder.Read("ferv.prom"), "new\n");
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"ferv.prom"});
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "the collector that could read the old file reads the new one";

    EXPECT_FALSE(MonReplaceFile(folder.path + "/missing/ferv.prom", WriteNew, nullptr, &error));
    EXPECT_NE(error.find("cannot create a temporary file in " + folder.path + "/missing"), std::string::npos)
        << error;
}

} // namespace
