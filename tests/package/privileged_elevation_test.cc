// The privileged path with real elevation: an unprivileged user installs
// through the real pkexec, which runs the install helper, into a folder only
// root may write. A polkitd on a
// private system bus answers, allowed by a rule of the test's own; both sit
// in a private mount namespace (the test's bus socket over
// /run/dbus/system_bus_socket, its rules over /etc/polkit-1/rules.d), so the
// host's bus and rules are never touched.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "package/tool_runner.h"
#include "support/package_fixtures.h"

namespace installer {
namespace {

namespace fs = std::filesystem;
using testing::writeFile;

constexpr char kBusConfig[] = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
  </policy>
</busconfig>
)";

// Runs inside the namespace: $1 the test's folder, $2 the user's uid, $3 its gid.
constexpr char kNamespaceScript[] = R"SH(set -u
T=$1
mount --bind "$T/run" /run/dbus || exit 90
mount --bind "$T/rules" /etc/polkit-1/rules.d || exit 91
bus= pk=
trap 'kill $pk $bus 2>/dev/null; wait' EXIT
dbus-daemon --config-file="$T/bus.conf" --nofork --nopidfile 2>/dev/null & bus=$!
i=0
until gdbus call --system --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
      --method org.freedesktop.DBus.NameHasOwner org.freedesktop.PolicyKit1 2>/dev/null | grep -q true; do
  [ -n "$pk" ] || { [ -S /run/dbus/system_bus_socket ] && { /usr/lib/polkit-1/polkitd --no-debug & pk=$!; }; }
  i=$((i + 1)); [ $i -lt 600 ] || exit 92
  sleep 0.05
done
SHELL=/bin/sh TMPDIR="$T/tmp" setpriv --reuid="$2" --regid="$3" --clear-groups -- \
  "$T/probe" install "$T/helper" "$T/src/Demo.app" "$T/system/Apps" "$T" "$T/share"
SHELL=/bin/sh TMPDIR="$T/tmp" setpriv --reuid="$2" --regid="$3" --clear-groups -- \
  "$T/probe" helper "$T/helper" "$T/src/Evil.app" "$T/system/Apps/Evil.app"
)SH";

void chownTree(const fs::path& root, uid_t uid, gid_t gid) {
  ASSERT_EQ(lchown(root.c_str(), uid, gid), 0);
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    ASSERT_EQ(lchown(e.path().c_str(), uid, gid), 0) << e.path();
  }
}

struct stat statOf(const fs::path& p) {
  struct stat st = {};
  EXPECT_EQ(lstat(p.c_str(), &st), 0) << p;
  return st;
}

TEST(RealElevationTest, AnUnprivilegedUserInstallsThroughPkexec) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to start polkitd in a private mount namespace and to become another user";
  }
  for (const char* tool : {"/usr/bin/pkexec", "/usr/lib/polkit-1/polkitd", "/usr/bin/dbus-daemon",
                           "/usr/bin/gdbus", "/usr/bin/unshare", "/usr/bin/setpriv", "/usr/bin/timeout"}) {
    if (access(tool, X_OK) != 0) {
      GTEST_SKIP() << tool << " is missing (Debian packages pkexec, polkitd, dbus-daemon, libglib2.0-bin)";
    }
  }
  struct passwd* nobody = getpwnam("nobody");
  if (!nobody) GTEST_SKIP() << "no user \"nobody\" to install as";
  if (runTool("/usr/bin/unshare", {"-m", "--propagation", "private", "/bin/true"}).status != 0) {
    GTEST_SKIP() << "no private mount namespace can be made here";
  }
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;

  testing::TempDir dir("elevation");
  const fs::path t = dir.path();
  fs::permissions(t, fs::perms(0755));
  fs::create_directories(t / "run");
  writeFile(t / "bus.conf", kBusConfig);
  writeFile(t / "ns.sh", kNamespaceScript);
  writeFile(t / "rules/50-installer-test.rules",
            "polkit.addRule(function(action, subject) {\n"
            "  if (action.id == \"org.freedesktop.policykit.exec\" && subject.user == \"" +
                std::string(nobody->pw_name) + "\") return polkit.Result.YES;\n});\n");
  fs::permissions(t / "rules", fs::perms(0755));
  fs::copy_file(PRIVILEGED_INSTALL_PROBE, t / "probe");
  fs::permissions(t / "probe", fs::perms(0755));
  fs::copy_file(INSTALL_HELPER, t / "helper");
  fs::permissions(t / "helper", fs::perms(0755));
  fs::create_directories(t / "system");  // root's, 0755: the user cannot write it
  fs::create_directories(t / "tmp");
  chownTree(t / "tmp", uid, gid);

  // The user's unpacked bundle, with a setuid program; and a link that
  // would lead root to a private folder.
  testing::writeAppBundle(t / "src", "Demo.app");
  writeFile(t / "src/Demo.app/Contents/MacOS/suid", "#!/bin/sh\n", 04755);
  writeFile(t / "outside/secret", "s", 0600);
  fs::permissions(t / "outside", fs::perms(0700));
  fs::create_symlink(t / "outside", t / "src/Evil.app");
  chownTree(t / "src", uid, gid);

  auto run = runTool("/usr/bin/timeout", {"180", "/usr/bin/unshare", "-m", "--propagation", "private",
                                          "/bin/sh", (t / "ns.sh").string(), t.string(),
                                          std::to_string(uid), std::to_string(gid)});
  const fs::path installed = t / "system/Apps/Demo.app";
  EXPECT_NE(run.output.find("installed " + installed.string() + "\n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("status 2\n"), std::string::npos) << run.output;

  for (const fs::path& p : {installed, installed / "Contents/MacOS/suid", installed / "Contents/Info.plist"}) {
    auto st = statOf(p);
    EXPECT_EQ(st.st_uid, 0u) << p;
    EXPECT_EQ(st.st_gid, 0u) << p;
  }
  EXPECT_EQ(statOf(installed / "Contents/MacOS/suid").st_mode & 07777, 0755u);
  EXPECT_EQ(statOf(t / "share/applications/com.example.demo.desktop").st_mode & 07777, 0644u);
  EXPECT_EQ(statOf(t / "outside").st_mode & 07777, 0700u);
  EXPECT_EQ(statOf(t / "outside/secret").st_mode & 07777, 0600u);
  EXPECT_FALSE(fs::exists(fs::symlink_status(t / "system/Apps/Evil.app")));
}

}  // namespace
}  // namespace installer
