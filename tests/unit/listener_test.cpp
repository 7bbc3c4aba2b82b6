#include "fastcgi/listener.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

TEST(AllowedPeers, ReadsTheCommaSeparatedList) {
    const std::pair<const char *, std::vector<std::string>> cases[] = {
        {nullptr, {}},
        {"", {}},
        {"127.0.0.1", {"127.0.0.1"}},
        {" 10.0.0.1 ,\t::1,,", {"10.0.0.1", "::1"}},
        {",", {}},
    };
    for (const auto &[list, expected] : cases)
        EXPECT_EQ(allowed_peers(list), expected) << (list ? list : "(unset)");
}

TEST(ParseListenAddress, SplitsWhatTheCommandLineTakes) {
    struct row {
        const char *address;
        bool valid;
        std::string unix_path, host;
        int port;
    };
    const row cases[] = {
        {"unix:/run/x.sock", true, "/run/x.sock", "", 0},
        {"127.0.0.1:9000", true, "", "127.0.0.1", 9000},
        {"[::1]:65535", true, "", "::1", 65535},
        {"::1:1", true, "", "::1", 1},
        {"[]:9000", true, "", "", 9000}, // every IPv4 address, as it always was
        {"localhost:009000", true, "", "localhost", 9000},
        {"unix:", false, "", "", 0},
        {"unix:run/x.sock", false, "", "", 0},
        {":9000", false, "", "", 0},
        {"127.0.0.1", false, "", "", 0},
        {"127.0.0.1:", false, "", "", 0},
        {"127.0.0.1:0", false, "", "", 0},
        {"127.0.0.1:65536", false, "", "", 0},
        {"127.0.0.1:0009000", false, "", "", 0},
        {"127.0.0.1:+900", false, "", "", 0},
    };
    for (const row &c : cases) {
        const std::optional<listen_address> got = parse_listen_address(c.address);
        ASSERT_EQ(got.has_value(), c.valid) << c.address;
        if (!got) continue;
        EXPECT_EQ(got->unix_path, c.unix_path) << c.address;
        EXPECT_EQ(got->host, c.host) << c.address;
        EXPECT_EQ(got->port, c.port) << c.address;
    }
}

TEST(PeerAllowed, UnixPeersAlwaysAndAnyoneWithoutAList) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    EXPECT_TRUE(peer_allowed(pair[0], {}));
    EXPECT_TRUE(peer_allowed(pair[0], {"10.0.0.1"}));
    close(pair[0]);
    close(pair[1]);
}

struct temp_dir {
    std::string path;
    temp_dir() {
        char name[] = "/tmp/listener_test.XXXXXX";
        path = mkdtemp(name);
    }
    ~temp_dir() { rmdir(path.c_str()); }
};

TEST(OpenListener, UnixSocketIsNotWritableByOthers) {
    // Whatever the umask, others get nothing and the group may connect.
    for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{077}}) {
        const temp_dir dir;
        const std::string path = dir.path + "/sock";
        const mode_t previous = umask(mask);
        std::string made;
        const int fd = open_listener("unix:" + path, made);
        umask(previous);
        ASSERT_GE(fd, 0) << mask;
        EXPECT_EQ(made, path);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, socket_mode) << mask;
        EXPECT_TRUE(is_listening_socket(fd));
        close(fd);
        // A socket left behind is replaced by the next run.
        const int again = open_listener("unix:" + path, made);
        EXPECT_GE(again, 0) << mask;
        close(again);
        EXPECT_NE(access((path + ".new").c_str(), F_OK), 0) << "the temporary name is left";
        unlink(path.c_str());
    }
}

TEST(OpenListener, LeavesAFileThatIsNotASocket) {
    const temp_dir dir;
    const std::string path = dir.path + "/file";
    std::ofstream(path) << "keep";
    std::string made;
    EXPECT_LT(open_listener("unix:" + path, made), 0);
    std::ifstream in(path);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "keep");
    unlink(path.c_str());
}

} // namespace

namespace {

TEST(OpenListener, TakesNumericAddressesOnly) {
    // Refused before any socket is bound: no name service is asked.
    for (const char *address : {"example.invalid:9000", "127.0.0.1:65536", "127.0.0.1:x",
                                "[::1]:", "300.0.0.1:9000", "unix:relative.sock"}) {
        std::string made;
        EXPECT_LT(open_listener(address, made), 0) << address;
        EXPECT_TRUE(made.empty()) << address;
    }
}

} // namespace
