// The operator kit as an administrator meets it: install, manual page, systemd units, package.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "daemon.h"

using namespace testsupport;

namespace {

RunResult Shell(const std::string& command, const std::string& cwd,
                const std::vector<std::string>& env = {}) {
    return Run({"/bin/sh", "-c", command}, cwd, env, 120s);
}

// The files under dir as sorted "path mode" lines.
std::string Listing(const std::string& dir) {
    return Shell("find . ! -type d -printf '%P %m\\n' | LC_ALL=C sort", dir).out;
}

class Packaging : public DaemonTest {
protected:
    // Installs the build under dir_/stage, staged with DESTDIR or straight into the prefix.
    std::string Install(const std::string& prefix, bool destdir) {
        const std::string stage = dir_ + "/stage";
        const RunResult result = Shell("cmake --install " NF5D_BUILD_DIR " --prefix " +
                                       (destdir ? prefix : stage + prefix),
                                       dir_, {"DESTDIR=" + (destdir ? stage : std::string())});
        EXPECT_EQ(result.status, 0) << result.out << result.err;
        return stage + prefix + "/";
    }
};

// The units name the daemon where the installation put it, so systemd finds it, and its page.
TEST_F(Packaging, InstallWithOrWithoutDestdirLaysDownTheSameKitWhoseUnitsVerify) {
    const std::string direct = Install("/opt/nf5d", false);
    const std::string listing = Listing(direct);
    // Every file of the kit is there; programs are executable, the rest is not.
    for (const std::string name :
         {"bin/nf5stat", "sbin/nf5d", "share/man/man8/nf5d.8.gz", "share/man/man1/nf5stat.1.gz",
          "share/nf5d/mysql-flows.sql", "share/nf5d/prometheus/nf5d-alerts.yml",
          "lib/systemd/system/nf5d.service", "etc/default/nf5d"}) {
        EXPECT_NE(listing.find(name + " "), std::string::npos) << name << " missing:\n" << listing;
    }
    std::istringstream lines(listing);
    for (std::string path, mode; lines >> path >> mode;) {
        EXPECT_EQ(mode, path.find("bin/") != std::string::npos ? "755" : "644") << path;
    }
    if (Shell("command -v systemd-analyze", dir_).status == 0) {
        const RunResult verify =
            Shell("systemd-analyze verify ./* 2>&1", direct + "lib/systemd/system",
                  {"MANPATH=" + direct + "share/man", "SYSTEMD_LOG_COLOR=0"});
        EXPECT_EQ(verify.status, 0);
        EXPECT_EQ(verify.out, "");
        // An exposure of at most 2.0 (the tool counts in tenths).
        const RunResult security =
            Shell("systemd-analyze security --offline=true --threshold=20 ./nf5d.service 2>&1",
                  direct + "lib/systemd/system");
        EXPECT_EQ(security.status, 0) << security.out;
    }
    RemoveTree(dir_ + "/stage");
    const std::string root = Install("/opt/nf5d", true);
    EXPECT_EQ(Listing(root), listing);  // a rule that ignores DESTDIR installs elsewhere
    EXPECT_EQ(Shell("gzip -dc " + root + "share/man/man8/nf5d.8.gz", dir_).out,
              ReadFile(NF5D_SOURCE_DIR "/man/nf5d.8"))
        << "the installed page is not man/nf5d.8: is the build current?";
    // In the foreground (-d would detach from systemd), as the package's user, in its home, where
    // the logs go.
    const std::string service = ReadFile(root + "lib/systemd/system/nf5d.service");
    for (const std::string line :
         {"ExecStart=/opt/nf5d/sbin/nf5d $NF5D_OPTS", "User=nf5d", "WorkingDirectory=/var/lib/nf5d",
          "EnvironmentFile=-/opt/nf5d/etc/default/nf5d"}) {
        EXPECT_NE(service.find("\n" + line + "\n"), std::string::npos) << line;
    }
    EXPECT_NE(ReadFile(root + "lib/systemd/system/nf5d-rotate.service")
                  .find("kill --signal=SIGWINCH nf5d.service"), std::string::npos);
}

// The words of a help text that are switches: "-p", "--metrics", "[--by", "-b, --database".
std::vector<std::string> Switches(std::string help) {
    std::replace_if(help.begin(), help.end(), [](char c) { return c == '[' || c == '('; }, ' ');
    std::istringstream words(help);
    std::vector<std::string> names;
    for (std::string word; words >> word;) {
        word.resize(std::min(word.size(), word.find_first_not_of("abcdefghijklmnopqrstuvwxyz-")));
        if (word.starts_with('-') && (word.size() == 2 || word.starts_with("--")) &&
            std::isalpha(word.back()))
            names.push_back(word);
    }
    return names;
}

// Whether the page has an entry (.TP, then a bold line holding the name as a word) for name.
bool HasEntry(const std::string& page, const std::string& name) {
    std::string word = " ";  // as roff writes it: "\-" for each dash
    for (char c : name) word += c == '-' ? std::string("\\-") : std::string(1, c);
    for (size_t at = 0; (at = page.find("\n.TP\n.B", at)) != std::string::npos; ++at) {
        const size_t line = at + 5;
        if ((page.substr(line, page.find('\n', line) - line) + " ").find(word + " ") != page.npos)
            return true;
    }
    return false;
}

// Each page renders cleanly and documents every switch its program's help shows, and every
// signal and exit status.
TEST_F(Packaging, ManPagesRenderWithoutWarningsAndHaveAnEntryForEverySwitchSignalAndStatus) {
    const struct {
        const char* page;
        const char* program;
        int statuses;
    } kPages[] = {{"nf5d.8", NF5D_BINARY, 17}, {"nf5stat.1", NF5STAT_BINARY, 3}};
    for (const auto& [page, program, statuses] : kPages) {
        const std::string path = NF5D_SOURCE_DIR "/man/" + std::string(page);
        const RunResult groff = Shell("groff -ww -z -man " + path, dir_);
        EXPECT_EQ(groff.status, 0);
        EXPECT_EQ(groff.err, "") << page;  // -ww also reports lines groff cannot break or adjust

        const std::string help = Shell(std::string(program) + " -h", dir_).out;
        std::vector<std::string> names = Switches(help);
        EXPECT_GE(names.size(), 5U) << help;
        std::istringstream lines(help);
        for (std::string line; std::getline(lines, line);) {  // "SIGHUP - Enables ..."
            const size_t dash = line.find(" - ");
            if (line.starts_with("SIG") && dash != std::string::npos)
                names.push_back(line.substr(0, dash));
        }
        for (int status = 0; status <= statuses; ++status) names.push_back(std::to_string(status));
        const std::string source = ReadFile(path);
        for (const std::string& name : names)
            EXPECT_TRUE(HasEntry(source, name)) << page << ": " << name;
    }
}

// What `make deb` runs, into dir_; only the plain build pays for it, not the sanitizer ones.
TEST_F(Packaging, DebIsLintianCleanDeclaresItsDependenciesAndCreatesTheUser) {
    if (Shell("grep -q 'NF5D_SANITIZE:.*=.' " NF5D_BUILD_DIR "/CMakeCache.txt", dir_).status == 0) {
        GTEST_SKIP();
    }
    const RunResult cpack = Shell("cpack -G DEB --config " NF5D_BUILD_DIR "/CPackConfig.cmake -B "
                                  "out >&2 && ls $PWD/out/*.deb", dir_);
    ASSERT_EQ(cpack.status, 0) << cpack.err;
    const std::string deb = cpack.out.substr(0, cpack.out.find('\n'));
    // Errors and warnings fail; an override needs its reason in packaging/debian/lintian-overrides.
    // Binaries built without the hardening flags are only noted (-I shows the notes).
    const RunResult lintian = Shell("lintian -I --fail-on error,warning " + deb, dir_);
    EXPECT_EQ(lintian.status, 0) << lintian.out << lintian.err;
    EXPECT_EQ(lintian.out.find("hardening-"), std::string::npos) << lintian.out;
    // What it holds is owned by root (that it holds the kit: the installed root below runs nf5d).
    EXPECT_EQ(Shell("dpkg -c " + deb + " | awk '!/^d/{print $2}' | sort -u", dir_).out, "root/root\n");
    // " Depends: a, b (>= 1)" becomes ", a, b,".
    const std::string depends = Shell("dpkg -I " + deb + " | sed -n 's/ ([^)]*)//g; "
                                      "s/^ Depends: \\(.*\\)/, \\1,/p'", dir_).out;
    for (const std::string package : {"libsqlite3-0", "libmariadb3", "passwd", "libc6"}) {
        EXPECT_NE(depends.find(", " + package + ","), std::string::npos) << depends;
    }
    if (geteuid() != 0) GTEST_SKIP() << "not root: dpkg --root cannot own what it unpacks";

    // A throwaway root whose maintainer scripts work on its own account files, chrootless.
    const std::string root = dir_ + "/root";
    ASSERT_EQ(Shell("mkdir -p root/var/lib/dpkg/info root/var/lib/dpkg/updates root/etc && "
                    "touch root/var/lib/dpkg/status && echo root:x:0: >root/etc/group && "
                    "echo root:x:0:0:root:/root:/bin/sh >root/etc/passwd", dir_).status, 0);
    const std::string dpkg = "dpkg --root=" + root + " --log=/dev/null --force-script-chrootless "
                             "--force-not-root --force-depends ";
    const RunResult install = Shell(dpkg + "-i " + deb + " && " + dpkg + "-i " + deb, dir_);
    ASSERT_EQ(install.status, 0) << install.out << install.err;  // the second is an upgrade
    const std::string account = "awk -F: '$1 == \"nf5d\" {print $6, $7}' root/etc/passwd";
    EXPECT_EQ(Shell(account, dir_).out, "/var/lib/nf5d /usr/sbin/nologin\n");
    const std::string wants = root + "/etc/systemd/system/multi-user.target.wants/nf5d.service";
    EXPECT_TRUE(std::filesystem::is_symlink(wants));
    EXPECT_EQ(Shell(root + "/usr/sbin/nf5d -h", dir_).out.rfind("NetFlow Traffic", 0), 0U);

    ASSERT_EQ(Shell(dpkg + "--purge nf5d", dir_).status, 0);  // the account outlives the package
    EXPECT_FALSE(std::filesystem::is_symlink(wants));
    EXPECT_EQ(Shell(account, dir_).out, "/var/lib/nf5d /usr/sbin/nologin\n");
}

}  // namespace
