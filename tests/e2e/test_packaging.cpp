// The operator kit as an administrator meets it: what `make install` lays down, the manual
// page, the systemd units and the Debian package with its maintainer scripts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// Every file an installation holds, relative to its prefix.
const std::set<std::string> kInstalledFiles = {
    "bin/nf5stat",
    "lib/systemd/system/nf5d-rotate.service",
    "lib/systemd/system/nf5d-rotate.timer",
    "lib/systemd/system/nf5d.service",
    "sbin/nf5d",
    "share/man/man8/nf5d.8.gz",
    "share/nf5d/mysql-flows.sql",
};
const char* const kUnits[] = {"nf5d.service", "nf5d-rotate.service", "nf5d-rotate.timer"};
const char* const kSourceManPage = NF5D_SOURCE_DIR "/man/nf5d.8";

RunResult Shell(const std::string& command, const std::string& cwd,
                const std::vector<std::string>& env = {}) {
    return testsupport::Run({"/bin/sh", "-c", command}, cwd, env, 120s);
}

// Runs a program found on PATH.
RunResult RunTool(std::vector<std::string> argv, const std::string& cwd,
                  const std::vector<std::string>& env = {}) {
    argv.insert(argv.begin(), "/usr/bin/env");
    return testsupport::Run(argv, cwd, env, 120s);
}

bool HaveProgram(const std::string& name) {
    return Shell("command -v " + name, "/").status == 0;
}

// The sanitizer builds run this file too; they skip the parts that cost a package build.
bool IsPlainBuild() {
    std::ifstream cache(NF5D_BUILD_DIR "/CMakeCache.txt");
    std::string line;
    while (std::getline(cache, line)) {
        if (line.rfind("NF5D_SANITIZE:", 0) == 0) return line.substr(line.find('=') + 1).empty();
    }
    return true;
}

std::set<std::string> FilesBelow(const std::string& root) {
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_directory()) files.insert(fs::relative(entry.path(), root).string());
    }
    return files;
}

std::set<std::string> WithPrefix(const std::string& prefix, const std::set<std::string>& names) {
    std::set<std::string> prefixed;
    for (const std::string& name : names) prefixed.insert(prefix + name);
    return prefixed;
}

unsigned ModeOf(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777U) : 0U;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Home and shell of the account nf5d in a passwd file, or "" if it has none.
std::string ServiceAccount(const std::string& passwd) {
    for (const std::string& line : Lines(passwd)) {
        if (line.rfind("nf5d:", 0) != 0) continue;
        size_t home = 0;
        for (int field = 0; field < 5 && home != std::string::npos; ++field) {
            home = line.find(':', home + 1);
        }
        return home == std::string::npos ? line : line.substr(home + 1);
    }
    return "";
}

bool HasLine(const std::string& text, const std::string& wanted) {
    const std::vector<std::string> lines = Lines(text);
    return std::find(lines.begin(), lines.end(), wanted) != lines.end();
}

class Packaging : public testing::Test {
protected:
    void SetUp() override { dir_ = MakeTempDir(); }
    void TearDown() override { RemoveTree(dir_); }

    // Installs the build into dir_/<stage>, with DESTDIR when destdir is set.
    void Install(const std::string& stage, const std::string& prefix, bool destdir) {
        const std::string root = dir_ + "/" + stage;
        const std::vector<std::string> env = {"DESTDIR=" + (destdir ? root : std::string())};
        const RunResult result = RunTool(
            {"cmake", "--install", NF5D_BUILD_DIR, "--prefix", destdir ? prefix : root + prefix},
            dir_, env);
        ASSERT_EQ(result.status, 0) << result.out << result.err;
    }

    std::string dir_;
};

// --- make install -----------------------------------------------------------------------------

TEST_F(Packaging, InstallWithDestdirLaysDownExactlyTheKitUnderThePrefix) {
    ASSERT_NO_FATAL_FAILURE(Install("stage", "/opt/nf5d", true));
    const std::string root = dir_ + "/stage/opt/nf5d/";
    EXPECT_EQ(FilesBelow(dir_ + "/stage"), WithPrefix("opt/nf5d/", kInstalledFiles));

    EXPECT_EQ(ModeOf(root + "sbin/nf5d"), 0755U);
    EXPECT_EQ(ModeOf(root + "bin/nf5stat"), 0755U);
    for (const char* unit : kUnits) {
        EXPECT_EQ(ModeOf(root + "lib/systemd/system/" + unit), 0644U) << unit;
    }
    // The unit names the daemon where this installation put it, not where the build was
    // configured to go.
    const std::string service = ReadFile(root + "lib/systemd/system/nf5d.service");
    EXPECT_TRUE(HasLine(service, "ExecStart=/opt/nf5d/sbin/nf5d $NF5D_OPTS")) << service;
    EXPECT_EQ(ReadFile(root + "share/nf5d/mysql-flows.sql"),
              ReadFile(NF5D_SOURCE_DIR "/sql/mysql-flows.sql"));
    const RunResult unzipped = Shell("gzip -dc " + root + "share/man/man8/nf5d.8.gz", dir_);
    EXPECT_TRUE(unzipped.out == ReadFile(kSourceManPage))
        << "the installed page is not man/nf5d.8 as it stands: is the build current?";
}

TEST_F(Packaging, InstalledDaemonAndReportToolRun) {
    ASSERT_NO_FATAL_FAILURE(Install("stage", "/usr", true));
    const RunResult help = testsupport::Run({dir_ + "/stage/usr/sbin/nf5d", "-h"}, dir_);
    EXPECT_EQ(help.status, 1);
    EXPECT_EQ(help.out.rfind("NetFlow Traffic Collector 1.0.1\n", 0), 0U) << help.out;
    // The report tool's own switches are its business; here it only has to start and end.
    const RunResult stat = testsupport::Run({dir_ + "/stage/usr/bin/nf5stat", "--help"}, dir_);
    EXPECT_GE(stat.status, 0);
    EXPECT_LT(stat.status, 127) << stat.err;
}

TEST_F(Packaging, MakeTargetsPassPrefixAndDestdirThrough) {
    const std::string source = NF5D_SOURCE_DIR;
    const RunResult install = Shell("make -n install PREFIX=/opt/x DESTDIR=/stage", source);
    ASSERT_EQ(install.status, 0) << install.err;
    EXPECT_NE(install.out.find("DESTDIR=\"/stage\" cmake --install build --prefix \"/opt/x\""),
              std::string::npos) << install.out;
    const RunResult plain = Shell("make -n install", source);
    EXPECT_NE(plain.out.find("--prefix \"/usr/local\""), std::string::npos) << plain.out;
    const RunResult deb = Shell("make -n deb", source);
    ASSERT_EQ(deb.status, 0) << deb.err;
    EXPECT_NE(deb.out.find("cpack -G DEB"), std::string::npos) << deb.out;
}

// --- the manual page ---------------------------------------------------------------------------

TEST_F(Packaging, ManPageRendersWithoutWarnings) {
    ASSERT_TRUE(HaveProgram("man")) << "no man: scripts/install-deps.sh test installs man-db";
    const std::vector<std::string> env = {"LC_ALL=C.UTF-8", "MANWIDTH=80", "MAN_DISABLE_SECCOMP=1"};
    const RunResult page = RunTool({"man", "--warnings", "-l", kSourceManPage}, dir_, env);
    EXPECT_EQ(page.status, 0);
    EXPECT_EQ(page.err, "");
    EXPECT_NE(page.out.find("nf5d - NetFlow v5 collector daemon"), std::string::npos) << page.out;
    if (HaveProgram("groff")) {
        // groff -ww also reports lines it cannot break or adjust.
        const RunResult strict = RunTool({"groff", "-ww", "-z", "-man", kSourceManPage}, dir_, env);
        EXPECT_EQ(strict.status, 0);
        EXPECT_EQ(strict.err, "");
    }
}

// The page must keep up with the daemon: every switch and signal its help names, and every
// exit status, has an entry of its own.
TEST_F(Packaging, ManPageDocumentsEverySwitchSignalAndExitStatus) {
    const std::string page = ReadFile(kSourceManPage);
    const RunResult help = testsupport::Run({NF5D_BINARY, "-h"}, dir_);
    ASSERT_EQ(help.status, 1);
    int switches = 0;
    int signals = 0;
    for (const std::string& line : Lines(help.out)) {
        if (line.size() > 3 && line[0] == '-' && line[2] == ' ') {  // "-p UDP Port on which ..."
            ++switches;
            const std::string name = std::string("\\-") + line[1];
            const bool entry = page.find("\n.TP\n.B " + name + "\n") != std::string::npos ||
                               page.find("\n.TP\n.BI " + name + " \"") != std::string::npos;
            EXPECT_TRUE(entry) << "no entry for -" << line[1];
        } else if (line.rfind("SIG", 0) == 0 && line.find(" - ") != std::string::npos) {
            ++signals;
            const std::string name = line.substr(0, line.find(" - "));
            EXPECT_NE(page.find("\n.TP\n.B " + name + "\n"), std::string::npos)
                << "no entry for " << name;
        }
    }
    EXPECT_EQ(switches, 13);
    EXPECT_EQ(signals, 5);
    const std::string statuses = page.substr(page.find(".SH \"EXIT STATUS\""));
    for (int status = 0; status <= 14; ++status) {
        EXPECT_NE(statuses.find("\n.TP\n.B " + std::to_string(status) + "\n"), std::string::npos)
            << "no entry for exit status " << status;
    }
}

// --- systemd ---------------------------------------------------------------------------------

TEST_F(Packaging, UnitsPassSystemdVerification) {
    if (!HaveProgram("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
    // Installed under a prefix in dir_, so that ExecStart= and the manual page exist.
    ASSERT_NO_FATAL_FAILURE(Install("root", "/usr", false));
    const std::string units = dir_ + "/root/usr/lib/systemd/system";
    const std::vector<std::string> env = {"MANPATH=" + dir_ + "/root/usr/share/man",
                                          "SYSTEMD_LOG_COLOR=0"};
    const RunResult verify = Shell(
        "systemd-analyze verify ./nf5d.service ./nf5d-rotate.service ./nf5d-rotate.timer 2>&1",
        units, env);
    EXPECT_EQ(verify.status, 0);
    EXPECT_EQ(verify.out, "");
}

TEST_F(Packaging, ServiceRunsInTheForegroundAsItsOwnUserAndStopsInOrder) {
    ASSERT_NO_FATAL_FAILURE(Install("stage", "/usr", true));
    const std::string units = dir_ + "/stage/usr/lib/systemd/system/";
    const std::string service = ReadFile(units + "nf5d.service");
    for (const char* line : {"User=nf5d", "Group=nf5d", "StateDirectory=nf5d",
                             "WorkingDirectory=/var/lib/nf5d", "KillSignal=SIGTERM",
                             "TimeoutStopSec=60"}) {
        EXPECT_TRUE(HasLine(service, line)) << line;
    }
    // -d would detach from systemd; SIGHUP toggles the trash log, so no reload may send it.
    const size_t exec_start = service.find("\nExecStart=");
    ASSERT_NE(exec_start, std::string::npos);
    const size_t end = service.find('\n', exec_start + 1);
    const std::string command = service.substr(exec_start + 1, end - exec_start - 1);
    EXPECT_EQ(command.find(" -d"), std::string::npos) << command;
    EXPECT_EQ(service.find("\nExecReload="), std::string::npos);
    EXPECT_EQ(service.find("\nDynamicUser="), std::string::npos);
    const std::string rotate = ReadFile(units + "nf5d-rotate.service");
    EXPECT_NE(rotate.find("kill --signal=SIGWINCH nf5d.service"), std::string::npos) << rotate;
    EXPECT_TRUE(HasLine(ReadFile(units + "nf5d-rotate.timer"), "OnCalendar=daily"));
}

// --- the Debian package ------------------------------------------------------------------------

class DebianPackage : public Packaging {
protected:
    void SetUp() override {
        if (!IsPlainBuild()) GTEST_SKIP() << "the package is built and checked in the plain build";
        Packaging::SetUp();
        BuildPackage();
    }

    // What `make deb` runs, with the output in dir_ so that builds do not share files.
    void BuildPackage() {
        const RunResult cpack = RunTool({"cpack", "-G", "DEB", "--config",
                                         NF5D_BUILD_DIR "/CPackConfig.cmake", "-B", dir_ + "/out"},
                                        dir_);
        ASSERT_EQ(cpack.status, 0) << cpack.out << cpack.err;
        for (const auto& entry : fs::directory_iterator(dir_ + "/out")) {
            if (entry.path().extension() == ".deb") deb_ = entry.path().string();
        }
        ASSERT_NE(deb_, "") << cpack.out;
    }

    RunResult Dpkg(const std::string& arguments) {
        return Shell("dpkg --root=" + root_ + " --log=/dev/null --force-script-chrootless "
                     "--force-not-root --force-depends " + arguments, dir_);
    }

    // A throwaway root with an empty package database and account files of its own: the
    // maintainer scripts run without chroot and work on the files under DPKG_ROOT.
    void MakeRoot() {
        root_ = dir_ + "/root";
        for (const char* sub : {"/var/lib/dpkg/info", "/var/lib/dpkg/updates",
                                "/var/lib/dpkg/triggers", "/etc"}) {
            fs::create_directories(root_ + sub);
        }
        std::ofstream(root_ + "/var/lib/dpkg/status");
        std::ofstream(root_ + "/etc/passwd") << "root:x:0:0:root:/root:/bin/sh\n";
        std::ofstream(root_ + "/etc/group") << "root:x:0:\n";
    }

    std::string deb_;
    std::string root_;
};

TEST_F(DebianPackage, ListsTheKitUnderUsrAndDeclaresItsDependencies) {
    const RunResult contents = Shell("dpkg-deb --fsys-tarfile " + deb_ + " | tar -t", dir_);
    ASSERT_EQ(contents.status, 0) << contents.err;
    std::set<std::string> files;
    for (const std::string& line : Lines(contents.out)) {
        if (!line.empty() && line.back() != '/') files.insert(line);
    }
    EXPECT_EQ(files, WithPrefix("./usr/", kInstalledFiles));
    EXPECT_NE(Shell("dpkg -c " + deb_, dir_).out.find("-rwxr-xr-x root/root"), std::string::npos);

    const RunResult info = Shell("dpkg -I " + deb_, dir_);
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("Package: nf5d\n"), std::string::npos) << info.out;
    for (const char* script : {" postinst ", " prerm ", " postrm "}) {
        EXPECT_NE(info.out.find(script), std::string::npos) << script;
    }
    const std::string depends = Shell("dpkg-deb -f " + deb_ + " Depends", dir_).out;
    std::set<std::string> packages;  // "libc6 (>= 2.34), passwd" -> libc6, passwd
    std::istringstream entries(depends);
    for (std::string entry; std::getline(entries, entry, ',');) {
        std::istringstream words(entry);
        std::string name;
        words >> name;
        packages.insert(name);
    }
    for (const char* package : {"libsqlite3-0", "libmariadb3", "passwd", "libc6"}) {
        EXPECT_EQ(packages.count(package), 1U) << package << " missing in: " << depends;
    }
}

TEST_F(DebianPackage, InstallsIntoAThrowawayRootCreatingTheServiceUser) {
    if (geteuid() != 0) {
        // dpkg --root needs root to own what it unpacks; unpack only.
        ASSERT_EQ(Shell("dpkg -x " + deb_ + " " + dir_ + "/x", dir_).status, 0);
        EXPECT_EQ(ModeOf(dir_ + "/x/usr/sbin/nf5d"), 0755U);
        GTEST_SKIP() << "not root: maintainer scripts not run";
    }
    MakeRoot();
    RunResult install = Dpkg("-i " + deb_);
    ASSERT_EQ(install.status, 0) << install.out << install.err;
    // An upgrade runs postinst again: still one account, not a second.
    install = Dpkg("-i " + deb_);
    ASSERT_EQ(install.status, 0) << install.out << install.err;

    const std::string passwd = ReadFile(root_ + "/etc/passwd");
    EXPECT_EQ(ServiceAccount(passwd), "/var/lib/nf5d:/usr/sbin/nologin") << passwd;
    EXPECT_EQ(std::count(passwd.begin(), passwd.end(), '\n'), 2) << passwd;
    EXPECT_NE(ReadFile(root_ + "/etc/group").find("\nnf5d:"), std::string::npos);
    // The service is enabled inside the root, and nothing is started.
    EXPECT_TRUE(fs::is_symlink(root_ + "/etc/systemd/system/multi-user.target.wants/nf5d.service"));

    const RunResult help = testsupport::Run({root_ + "/usr/sbin/nf5d", "-h"}, dir_);
    EXPECT_EQ(help.status, 1);
    EXPECT_EQ(help.out.rfind("NetFlow Traffic Collector 1.0.1\n", 0), 0U) << help.out;
    EXPECT_TRUE(HasLine(ReadFile(root_ + "/usr/lib/systemd/system/nf5d.service"),
                        "ExecStart=/usr/sbin/nf5d $NF5D_OPTS"));

    const RunResult purge = Dpkg("--purge nf5d");
    ASSERT_EQ(purge.status, 0) << purge.out << purge.err;
    EXPECT_FALSE(fs::exists(root_ + "/usr/sbin/nf5d"));
    EXPECT_FALSE(fs::exists(root_ + "/etc/systemd/system/multi-user.target.wants/nf5d.service"));
    // The account stays: files it owns (the collected flows) outlive the package.
    EXPECT_NE(ServiceAccount(ReadFile(root_ + "/etc/passwd")), "");
}

}  // namespace
