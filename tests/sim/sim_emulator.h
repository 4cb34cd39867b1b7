// A fervsim program serving under a fresh root for the length of one test,
// with fervadm and `fervsim ctl` run against it.
#ifndef FERVSIM_SIM_EMULATOR_H
#define FERVSIM_SIM_EMULATOR_H

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/run_program.h"

namespace sim_test {

const std::string kSim = FERV_BUILD_DIR "/fervsim";
const std::string kAdm = FERV_BUILD_DIR "/fervadm";
const char kClass[] = "/interfaces/{a8987d25-df6e-4a51-9727-49fb6f1479a2}/";

// Serves the built-in topology (or what extra asks for) without simulated
// I/O, so that every figure is fixed, logging to Log(). wrapper, when given,
// starts the emulator (a resource limit, say): wrapper..., fervsim, args.
struct Emulator {
    std::string dir;
    std::string root;
    std::unique_ptr<ferv_test::BackgroundProgram> sim;

    explicit Emulator(std::vector<std::string> extra = {}, std::vector<std::string> wrapper = {})
    {
        char tmpl[] = "/tmp/fervsim-test-XXXXXX";
        dir = mkdtemp(tmpl);
        root = dir + "/r";
        std::vector<std::string> args = {"--root", root, "--no-io", "--quiet", "--log", dir + "/fervsim.log"};
        args.insert(args.end(), extra.begin(), extra.end());
        if (wrapper.empty()) {
            sim.reset(new ferv_test::BackgroundProgram(kSim, args));
        } else {
            std::string program = wrapper[0];
            wrapper.erase(wrapper.begin());
            wrapper.push_back(kSim);
            wrapper.insert(wrapper.end(), args.begin(), args.end());
            sim.reset(new ferv_test::BackgroundProgram(program, wrapper));
        }
        EXPECT_TRUE(ferv_test::WaitForPath(root + "/fervsim.ctl")) << sim->Errors();
    }

    ~Emulator()
    {
        ferv_test::ProgramResult r = sim->Stop(SIGTERM);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        struct stat st;
        EXPECT_NE(stat((root + "/ZEL_HA_CONTROL").c_str(), &st), 0) << "sockets are removed on SIGTERM";
        std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }

    ferv_test::ProgramOptions Env() const
    {
        ferv_test::ProgramOptions o;
        o.env.push_back({"FERV_DEVICE_ROOT", root});
        o.timeoutMs = 20000;
        return o;
    }

    ferv_test::ProgramResult Adm(const std::vector<std::string> &args) const
    {
        return ferv_test::RunProgram(kAdm, args, Env());
    }

    ferv_test::ProgramResult Ctl(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {"ctl", "--root", root});
        return ferv_test::RunProgram(kSim, args, Env());
    }

    std::string Interface(int i = 0) const { return root + kClass + "ferv000" + std::to_string(i); }

    std::string Log() const
    {
        std::ifstream in(dir + "/fervsim.log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    // Waits until the emulator holds n requests.
    bool WaitHeld(int n) const
    {
        for (int i = 0; i < 200; i++) {
            if (Ctl({"show"}).out.find("held requests: " + std::to_string(n) + "\n") != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return false;
    }
};

} // namespace sim_test

#endif
