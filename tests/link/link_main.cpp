// The link tests run the service's modules in this process, inside a private network and
// mount namespace of their own: the service's NIC is this namespace's loopback, and the
// test plays the unit on the same interface. Nothing reaches the machine's interfaces,
// device nodes or record directories.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "cfg_check_dir.h"
#include "nlk_tty_info.h"

namespace {

bool Fail(const char* what) {
    fprintf(stderr, "link tests: %s: %s\n", what, strerror(errno));
    return false;
}

bool PrivateWorld() {
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) return Fail("unshare (needs root)");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return Fail("make / private");
    // Record directories and device nodes land in private tmpfs mounts.
    if (mount("tmpfs", "/usr/share", "tmpfs", 0, "mode=0755") != 0) return Fail("tmpfs /usr/share");
    if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0) return Fail("tmpfs /dev");
    // One test runs the service's own start-up and shutdown, which open its log file.
    if (mount("tmpfs", "/var/log", "tmpfs", 0, "mode=0755") != 0) return Fail("tmpfs /var/log");
    if (mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) != 0) return Fail("mknod /dev/null");
    if (!CfgDirCheck()) return Fail("record directories");
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq ifr {};
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "lo");
    const bool up =
        s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0 &&
        (ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP), ioctl(s, SIOCSIFFLAGS, &ifr) == 0);
    if (s >= 0) close(s);
    return up || Fail("bring lo up");
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!PrivateWorld()) return 1;
    NlkTtyInfoRegister();  // the mapping's minors and nodes, as the daemon's start-up does
    return RUN_ALL_TESTS();
}
