// The product as a user gets it: `cmake --install` into a fresh prefix and the
// Debian package unpacked into a scratch root. Each is checked for its layout
// and run paths, then OpenMAMA's stock programs run from it over a real
// nats-server with nothing of the build tree on the library path; programs of
// the user's own build against the installed libtrxclient.
#include "natsServer.h"
#include "process.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

using namespace testsupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace
{

const std::string kBuild = INSTALL_TEST_BUILD_DIR;
const std::string kSource = INSTALL_TEST_SOURCE_DIR;
const std::string kOpenMama = INSTALL_TEST_OPENMAMA_ROOT;
const std::string kVersion = INSTALL_TEST_VERSION;

struct Shell
{
    int status;
    std::string out;
};

// Runs a shell command line; standard error joins standard output.
Shell sh(const std::string& command)
{
    Shell r{-1, {}};
    FILE* p = ::popen(("(" + command + ") 2>&1").c_str(), "r");
    if (!p)
        return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    const int status = ::pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

std::string quote(const std::string& s)
{
    return "'" + s + "'";
}

std::string firstLine(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}

// The names in a directory (none when it does not exist).
std::set<std::string> entries(const std::string& dir)
{
    std::set<std::string> names;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(dir, ec))
        names.insert(e.path().filename());
    return names;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Every file and symlink under root, as paths relative to it.
std::set<std::string> tree(const std::string& root)
{
    std::set<std::string> files;
    for (auto& e : fs::recursive_directory_iterator(root))
        if (!e.is_directory() || e.is_symlink())
            files.insert(e.path().lexically_relative(root).string());
    return files;
}

bool isElf(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    char magic[4] = {};
    in.read(magic, 4);
    return in && std::string(magic, 4) == "\x7f"
                                          "ELF";
}

// What the product installs under its prefix, whatever the prefix.
std::set<std::string> expectedTree()
{
    const std::string so = "lib/libtrxclient.so";
    std::string config = INSTALL_TEST_BUILD_TYPE;
    std::transform(config.begin(), config.end(), config.begin(), ::tolower);
    return {"bin/trxcache",
            "bin/tarnixdict",
            "bin/tarnixmdpub",
            "lib/libmamatarniximpl.so",
            "lib/libmamatarnixmsgimpl.so",
            so,
            so + ".1",
            so + "." + kVersion,
            "include/trxClient.h",
            "config/tarnix-mama.properties",
            "share/doc/tarnix/README.md",
            "share/doc/tarnix/LICENSE",
            "share/doc/tarnix/CHANGELOG.md",
            "lib/pkgconfig/trxclient.pc",
            "lib/cmake/Tarnix/TarnixConfig.cmake",
            "lib/cmake/Tarnix/TarnixConfigVersion.cmake",
            "lib/cmake/Tarnix/TarnixTargets.cmake",
            "lib/cmake/Tarnix/TarnixTargets-" + (config.empty() ? "noconfig" : config) + ".cmake"};
}

// readelf -d of every ELF file under root: no run path or other entry names
// the build, the source or the OpenMAMA this was built against; libraries
// look beside themselves, programs in ../lib.
void expectRelocatableElfFiles(const std::string& root)
{
    size_t checked = 0;
    for (auto& e : fs::recursive_directory_iterator(root))
    {
        if (!e.is_regular_file() || e.is_symlink() || !isElf(e.path()))
            continue;
        ++checked;
        const std::string file = e.path().string();
        SCOPED_TRACE(file);
        Shell d = sh("readelf -d " + quote(file));
        ASSERT_EQ(d.status, 0) << d.out;
        for (const std::string& path : {kBuild, kSource, kOpenMama})
            EXPECT_EQ(d.out.find(path), std::string::npos) << "names " << path << ":\n" << d.out;
        std::smatch m;
        const bool inBin = e.path().parent_path().filename() == "bin";
        ASSERT_TRUE(std::regex_search(d.out, m, std::regex(R"(\(RUNPATH\)\s+Library runpath: \[([^\]]*)\])"))) << d.out;
        EXPECT_EQ(m[1].str(), inBin ? "$ORIGIN/../lib" : "$ORIGIN");
    }
    EXPECT_EQ(checked, 6u) << "three tools, two plug-ins and libtrxclient";
}

// mamasubscriberc and mamapublisherc (OpenMAMA's own, from its bin/) with
// only libDir and OpenMAMA's lib/ on the library path and the installed
// configuration sample as mama.properties, over a nats-server of our own.
void expectStockProgramsRunFrom(const std::string& libDir, const std::string& propertiesSample)
{
    TempDir dir("install-run");
    auto nats = startNatsServer(dir.path(), "nats");
    ASSERT_TRUE(nats) << "nats-server did not start";
    const std::string sample = readFile(propertiesSample);
    ASSERT_NE(sample.find("mama.tarnix.transport.sub.SESSION_HOST=nats://127.0.0.1:4222"), std::string::npos) << sample;
    std::ofstream(dir.file("mama.properties"))
        << std::regex_replace(sample, std::regex("nats://127\\.0\\.0\\.1:4222"), nats->url());

    auto program = [&](const std::string& name, std::vector<std::string> args)
    {
        ProcessOptions o;
        o.name = name;
        o.argv = {kOpenMama + "/bin/" + name};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.env["LD_LIBRARY_PATH"] = libDir + ":" + kOpenMama + "/lib";
        o.env["WOMBAT_PATH"] = dir.path();
        o.logDir = dir.path();
        return std::make_unique<Process>(o);
    };
    const std::string symbol = "INSTALLED" + std::to_string(::getpid());
    auto sub = program("mamasubscriberc", {"-m", "tarnix", "-tport", "sub", "-s", symbol});
    ASSERT_TRUE(waitUntil([&] { return nats->hasSubscription(symbol); }, 30s))
        << "no subscription reached the broker:\n"
        << sub->tail(Process::Err, 20);

    // The plug-ins in the subscriber come from libDir, and nothing from the build.
    const std::string maps = readFile("/proc/" + std::to_string(sub->pid()) + "/maps");
    EXPECT_NE(maps.find(libDir + "/libmamatarniximpl.so"), std::string::npos);
    EXPECT_NE(maps.find(libDir + "/libmamatarnixmsgimpl.so"), std::string::npos);
    EXPECT_NE(maps.find(libDir + "/libtrxclient.so.1"), std::string::npos);
    EXPECT_EQ(maps.find(kBuild + "/"), std::string::npos);

    auto pub = program("mamapublisherc", {"-m", "tarnix", "-tport", "pub", "-s", symbol, "-c", "20", "-i", "0.01"});
    ASSERT_TRUE(pub->waitExit(60s)) << pub->tail(Process::Err, 20);
    EXPECT_EQ(pub->exitStatus(), 0) << pub->tail(Process::Err, 20);
    EXPECT_TRUE(waitUntil([&] { return sub->countLines(Process::Out, "mamasubscriberc: Recieved msg.") >= 20; }, 30s))
        << sub->tail(Process::Out, 20) << sub->tail(Process::Err, 20);
}

class Installed : public ::testing::Test
{
protected:
    void SetUp() override
    {
        mDir = std::make_unique<TempDir>("install");
        mPrefix = mDir->file("prefix");
        Shell r = sh(quote(INSTALL_TEST_CMAKE) + " --install " + quote(kBuild) + " --prefix " + quote(mPrefix));
        ASSERT_EQ(r.status, 0) << r.out;
    }
    void TearDown() override
    {
        if (HasFailure())
            mDir->keep();
    }
    std::unique_ptr<TempDir> mDir;
    std::string mPrefix;
};

TEST_F(Installed, LayoutVersionAndRunPaths)
{
    EXPECT_EQ(tree(mPrefix), expectedTree());
    EXPECT_EQ(fs::read_symlink(mPrefix + "/lib/libtrxclient.so"), "libtrxclient.so.1");
    EXPECT_EQ(fs::read_symlink(mPrefix + "/lib/libtrxclient.so.1"), "libtrxclient.so." + kVersion);
    EXPECT_NE(sh("readelf -d " + quote(mPrefix + "/lib/libtrxclient.so." + kVersion))
                  .out.find("Library soname: [libtrxclient.so.1]"),
              std::string::npos);
    EXPECT_NE(sh("readelf -d " + quote(mPrefix + "/lib/libmamatarniximpl.so"))
                  .out.find("Shared library: [libtrxclient.so.1]"),
              std::string::npos);
    expectRelocatableElfFiles(mPrefix);

    // Like any OpenMAMA program, the tools find libmama on the library path.
    for (const std::string tool : {"trxcache", "tarnixdict", "tarnixmdpub"})
    {
        Shell v =
            sh("LD_LIBRARY_PATH=" + quote(kOpenMama + "/lib") + " " + quote(mPrefix + "/bin/" + tool) + " --version");
        EXPECT_EQ(v.status, 0) << v.out;
        EXPECT_EQ(v.out, tool + " (Tarnix) " + kVersion + "\n");
    }
}

TEST_F(Installed, StockProgramsRunOverNatsWithoutTheBuildTree)
{
    expectStockProgramsRunFrom(mPrefix + "/lib", mPrefix + "/config/tarnix-mama.properties");
}

// A C program of the user's, built against the installed library once
// through pkg-config and once through find_package(Tarnix); it reports the
// library's version, which is the product's.
TEST_F(Installed, UserProgramsBuildWithPkgConfigAndCMake)
{
    const std::string src = mDir->file("user");
    fs::create_directories(src);
    std::ofstream(src + "/version.c") << "#include <stdio.h>\n"
                                         "#include <trxClient.h>\n"
                                         "int main(void)\n{\n"
                                         "    trxClient_version_info_pt v = NULL;\n"
                                         "    if (trxClient_version_get(&v) != TRXCLIENT_OK)\n        return 1;\n"
                                         "    printf(\"%s\\n\", v->version_p);\n"
                                         "    return 0;\n}\n";
    std::ofstream(src + "/CMakeLists.txt") << "cmake_minimum_required(VERSION 3.20)\n"
                                              "project(user C)\n"
                                              "find_package(Tarnix "
                                           << kVersion
                                           << " REQUIRED)\n"
                                              "add_executable(version version.c)\n"
                                              "target_link_libraries(version PRIVATE Tarnix::trxclient)\n";
    const std::string run = "LD_LIBRARY_PATH=" + quote(mPrefix + "/lib") + " ";

    const std::string pc = "PKG_CONFIG_PATH=" + quote(mPrefix + "/lib/pkgconfig") + " pkg-config";
    Shell modversion = sh(pc + " --modversion trxclient");
    EXPECT_EQ(modversion.out, kVersion + "\n");
    Shell cc =
        sh("cd " + quote(src) + " && cc -Wall -Werror -o pc-version version.c $(" + pc + " --cflags --libs trxclient)");
    ASSERT_EQ(cc.status, 0) << cc.out;
    Shell ran = sh(run + quote(src + "/pc-version"));
    EXPECT_EQ(ran.status, 0) << ran.out;
    EXPECT_EQ(ran.out, kVersion + "\n");

    Shell configure = sh(quote(INSTALL_TEST_CMAKE) + " -S " + quote(src) + " -B " + quote(src + "/build") +
                         " -DCMAKE_PREFIX_PATH=" + quote(mPrefix));
    ASSERT_EQ(configure.status, 0) << configure.out;
    Shell build = sh(quote(INSTALL_TEST_CMAKE) + " --build " + quote(src + "/build"));
    ASSERT_EQ(build.status, 0) << build.out;
    ran = sh(run + quote(src + "/build/version"));
    EXPECT_EQ(ran.status, 0) << ran.out;
    EXPECT_EQ(ran.out, kVersion + "\n");
}

// The CHANGELOG's latest release is the version the build carries.
TEST(Version, ChangelogNamesTheProjectVersion)
{
    const std::string log = readFile(kSource + "/CHANGELOG.md");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(log, m, std::regex(R"(\n## \[(\d+\.\d+\.\d+)\] - \d{4}-\d{2}-\d{2}\n)")));
    EXPECT_EQ(m[1].str(), kVersion);
}

// Configuring against something that is not an OpenMAMA install, or without
// the private headers the tests need, stops at once with what was looked for
// and where; the product alone needs only the install.
TEST(Configure, NamesWhatIsMissingAndWhere)
{
    TempDir dir("install-configure");
    const std::string empty = dir.file("empty");
    fs::create_directories(empty);
    struct Case
    {
        std::string args;
        std::vector<std::string> expected; // in the error; none: configures
    } cases[] = {
        {"-DOPENMAMA_ROOT=" + empty,
         {"OPENMAMA_ROOT=" + empty + " is not an OpenMAMA install",
          "mama/mama.h, mama/version.h, wombat/wConfig.h, wlock.h in " + empty + "/include",
          "mama.h, msg.h, transport.h in " + empty + "/include/mama/integration",
          "libmama.so, libwombatcommon.so in " + empty + "/lib"}},
        {"-DOPENMAMA_ROOT=" + kOpenMama + " -DOPENMAMA_SOURCE_DIR=" + empty,
         {"OpenMAMA's private headers are missing: bridge.h, payloadbridge.h, mamainternal.h, msgimpl.h, "
          "conflation/manager_int.h in " +
              empty + "/mama/c_cpp/src/c",
          "-DOPENMAMA_SOURCE_DIR=/path/to/openmama-"}},
        {"-DOPENMAMA_ROOT=" + kOpenMama + " -DOPENMAMA_SOURCE_DIR=" + empty + " -DBUILD_TESTING=OFF", {}},
    };
    int n = 0;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.args);
        Shell r = sh(quote(INSTALL_TEST_CMAKE) + " -S " + quote(kSource) + " -B " +
                     quote(dir.file("build" + std::to_string(n++))) + " " + c.args);
        EXPECT_EQ(r.status == 0, c.expected.empty()) << r.out;
        // CMake wraps its messages; compare with the line breaks taken out.
        const std::string text = std::regex_replace(r.out, std::regex(R"(\n\s*)"), " ");
        for (const std::string& e : c.expected)
            EXPECT_NE(text.find(e), std::string::npos) << e << "\n----\n" << r.out;
    }
}

// scripts/package.sh: the .deb, what is in it, and the stock programs run
// from it unpacked into a scratch root.
TEST(Package, DebianPackageInstallsBesideOpenMama)
{
    Shell made = sh("BUILD_DIR=" + quote(kBuild) + " " + quote(kSource + "/scripts/package.sh"));
    ASSERT_EQ(made.status, 0) << made.out;
    const std::string arch = firstLine(sh("dpkg --print-architecture").out);
    const std::string deb = kBuild + "/packages/tarnix_" + kVersion + "_" + arch + ".deb";
    ASSERT_TRUE(fs::exists(deb)) << made.out;
    std::printf("package %s: %ju bytes\n", deb.c_str(), static_cast<uintmax_t>(fs::file_size(deb)));

    EXPECT_EQ(sh("dpkg-deb -f " + quote(deb) + " Package").out, "tarnix\n");
    EXPECT_EQ(sh("dpkg-deb -f " + quote(deb) + " Version").out, kVersion + "\n");
    const std::string depends = sh("dpkg-deb -f " + quote(deb) + " Depends").out;
    EXPECT_TRUE(std::regex_search(depends, std::regex(R"((^|, )libnats[0-9.]+ \(>= )"))) << depends;

    // Its contents are the prefix install under /opt/openmama.
    std::set<std::string> listed;
    std::istringstream contents(sh("dpkg-deb --contents " + quote(deb)).out);
    for (std::string line; std::getline(contents, line);)
    {
        std::smatch m;
        if (std::regex_search(line, m, std::regex(R"( \./opt/openmama/(\S+[^/])(?: -> \S+)?$)")))
            listed.insert(m[1].str());
    }
    EXPECT_EQ(listed, expectedTree());

    TempDir root("install-deb");
    Shell x = sh("dpkg -x " + quote(deb) + " " + quote(root.path()));
    ASSERT_EQ(x.status, 0) << x.out;
    const std::string prefix = root.path() + "/opt/openmama";
    expectRelocatableElfFiles(prefix);
    // Stripped of debugging data, no byte of the package names the build
    // machine's folders (log lines carry bare file names).
    for (auto& e : fs::recursive_directory_iterator(prefix))
        if (e.is_regular_file() && !e.is_symlink() && isElf(e.path()))
        {
            const std::string bytes = readFile(e.path());
            for (const std::string& path : {kSource + "/", kBuild + "/"})
                EXPECT_EQ(bytes.find(path), std::string::npos) << e.path() << " holds " << path;
        }
    expectStockProgramsRunFrom(prefix + "/lib", prefix + "/config/tarnix-mama.properties");
}

// setup.sh builds OpenMAMA only in an empty folder or over an unfinished
// build of its own; someone else's folder, or a finished build of another
// OpenMAMA (such as the C-only cache beside the default prefix), is reported
// and left as it is. An unfinished build is cleared, the folder kept.
TEST(Setup, BuildsOnlyWhereItMayClear)
{
    struct Case
    {
        const char* stamp;   // none: no stamp file
        std::string message; // empty: clears and goes on to build
    } cases[] = {
        {nullptr, " exists and was not made by this script"},
        {"6.3.1\n", " holds another OpenMAMA build (6.3.1, not 6.3.1 cpp)"},
        {"building\n", ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.stamp ? c.stamp : "no stamp");
        TempDir dir("install-setup");
        const std::string prefix = dir.file("openmama");
        fs::create_directories(prefix + "/lib");
        std::ofstream(prefix + "/lib/keep.txt") << "mine\n";
        if (c.stamp)
            std::ofstream(prefix + "/.tarnix-stamp") << c.stamp;
        const auto before = entries(prefix);
        // The bogus archive stops a build right after the folder is cleared.
        std::ofstream(dir.file("bogus.tar.gz")) << "not an archive\n";
        Shell r =
            sh("XDG_CACHE_HOME=" + quote(dir.file("cache")) + " OPENMAMA_PREFIX=" + quote(prefix) +
               " OPENMAMA_TARBALL=" + quote(dir.file("bogus.tar.gz")) + " " + quote(kSource + "/scripts/setup.sh"));
        EXPECT_NE(r.status, 0) << r.out;
        if (!c.message.empty())
        {
            EXPECT_NE(r.out.find(prefix + c.message), std::string::npos) << r.out;
            EXPECT_EQ(readFile(prefix + "/lib/keep.txt"), "mine\n");
            EXPECT_EQ(entries(prefix), before);
        }
        else
        {
            EXPECT_NE(r.out.find("building OpenMAMA"), std::string::npos) << r.out;
            EXPECT_TRUE(fs::is_directory(prefix));
            EXPECT_FALSE(fs::exists(prefix + "/lib")) << r.out;
        }
    }
}

// Without dpkg-deb the script says so and leaves nothing behind.
TEST(Package, WithoutDpkgDebNothingIsWritten)
{
    TempDir dir("install-nodpkg");
    const std::string bin = dir.file("bin");
    fs::create_directories(bin);
    // A PATH with the shell and what the script needs before its checks, and no dpkg-deb.
    for (const char* tool : {"bash", "dirname"})
        fs::create_symlink(firstLine(sh(std::string("command -v ") + tool).out), bin + "/" + tool);
    const auto topBefore = entries(kBuild), packagesBefore = entries(kBuild + "/packages");
    Shell r =
        sh("PATH=" + quote(bin) + " BUILD_DIR=" + quote(kBuild) + " bash " + quote(kSource + "/scripts/package.sh"));
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("dpkg-deb not found"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Nothing was written"), std::string::npos) << r.out;
    EXPECT_EQ(entries(kBuild), topBefore);
    EXPECT_EQ(entries(kBuild + "/packages"), packagesBefore);
}

} // namespace
