// Fuzzes hct-sim layout and rewrite on any report descriptor, through the command line as a user
// runs it: the whole session (PnP manager, bus driver, class driver, the driver's walk), the layout
// line, the diagram, the JSON and the rewrite outlook. A descriptor may declare reports of any
// length; the run's memory limit (-rss_limit_mb, -malloc_limit_mb) and time limit (-timeout) catch
// any allocation or loop that follows what it declares. The tool may refuse a descriptor (exit 2)
// but may not break a kernel rule (exit 1), leave anything in the kernel, or crash.
//
// Input: [0] flags (bit 0: rewrite instead of layout; bit 1: --diagram; bit 2: --json), then the
// descriptor's bytes.
#include "fuzz_check.h"

#include "platform/host/hostkernel.h"
#include "tools/hct-sim/cli.h"
#include "tools/hct-sim/session.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The descriptor file: one per process, rewritten for each input, removed at exit. Its name is
// kept in plain storage: the removal runs after static objects are destroyed.
char gFileName[64];

void RemoveFile()
{
    std::remove(gFileName);
}

const char *DescriptorFile()
{
    static const bool made = [] {
        const std::string name = (std::filesystem::temp_directory_path() / "hct-sim-layout-fuzz-XXXXXX").string();
        FUZZ_CHECK(name.size() < sizeof gFileName);
        name.copy(gFileName, name.size());
        const int fd = mkstemp(gFileName);
        FUZZ_CHECK(fd >= 0);
        close(fd);
        std::atexit(RemoveFile);
        return true;
    }();
    (void)made;
    return gFileName;
}

}  // namespace

// ASan keeps up to 256 MB of freed blocks in quarantine, all of it resident: with the class
// driver's reads of up to 4 MB freed after every session, that alone would pass the run's 256 MB
// limit. A smaller quarantine still catches a use after free of the last few sessions' blocks.
extern "C" const char *__asan_default_options()
{
    return "quarantine_size_mb=16";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // One kernel for the whole run (a reset keeps the old kernel's memory on purpose, which a
    // million sessions would pile up); each session must leave it clean, checked below.
    static const bool kernelReady = [] {
        hk::Reset();
        hct_sim::SetFreshKernelPerSession(false);
        return true;
    }();
    (void)kernelReady;
    const uint8_t flags = data[0];
    const char *path = DescriptorFile();
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char *>(data + 1), std::streamsize(size - 1));

    std::vector<std::string> args;
    if (flags & 1) {
        // The built-in mouse's reports, and one of the descriptor's own first bytes.
        args = {"rewrite", path, "--binary", "0005fb0001", "000300ff7f"};
        std::string own;
        for (size_t i = 1; i < size && i <= 8; ++i) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02x", data[i]);
            own += pair;
        }
        if (!own.empty())
            args.push_back(own);
    } else {
        args = {"layout", path, "--binary"};
        if (flags & 2)
            args.push_back("--diagram");
        if (flags & 4)
            args.push_back("--json");
    }
    std::ostringstream out, err;
    std::istringstream in;
    const int code = hct_sim::RunCli(args, out, err, in);
    if (code == 1)
        std::fprintf(stderr, "%s", err.str().c_str());
    FUZZ_CHECK(code == 0 || code == 2);
    if (code == 2)
        FUZZ_CHECK(!err.str().empty());
    else
        FUZZ_CHECK(!out.str().empty());
    FUZZ_CHECK(hk::CheckClean());
    return 0;
}
