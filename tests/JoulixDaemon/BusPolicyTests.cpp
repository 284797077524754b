// The packaged bus policy, loaded into a private bus shaped like the system bus: anyone may
// ping, only root and the group "joulix" may call the privileged methods (and the daemon then
// decides whose processes they may end).
#include "PrivateBus.h"

#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>

namespace joulix {
namespace {

using testing::runCommand;

// An account or group created by the test, removed when it goes out of scope; nothing is removed
// unless `create` succeeded.
class CreatedAccount {
  public:
    explicit CreatedAccount(std::string removeCommand) : removeCommand_(std::move(removeCommand)) {}
    ~CreatedAccount() {
        if (created_) runCommand(removeCommand_);
    }
    int create(const std::string& command) {
        const int status = runCommand(command).status;
        created_ = status == 0;
        return status;
    }

  private:
    std::string removeCommand_;
    bool created_ = false;
};

TEST(BusPolicyTests, OutsiderMayPingButNotCallThePrivilegedMethods) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to own the name and to add users";
    // The group must exist before the bus reads the policy. Whatever this test creates it
    // removes (users first, then the group); a group that existed before is left as it was.
    CreatedAccount group("groupdel joulix");
    if (runCommand("getent group joulix").status != 0) {
        ASSERT_EQ(group.create("groupadd --system joulix"), 0);
    }
    const std::string suffix = std::to_string(::getpid());
    const std::string outsider = "jlx-outsider-" + suffix, member = "jlx-member-" + suffix;
    const std::string addUser = "useradd --system --no-create-home --shell /usr/sbin/nologin ";
    CreatedAccount outsiderAccount("userdel " + outsider);
    CreatedAccount memberAccount("userdel " + member);
    ASSERT_EQ(outsiderAccount.create(addUser + outsider), 0);
    ASSERT_EQ(memberAccount.create(addUser + "-G joulix " + member), 0);
    testing::PrivateBus bus(JOULIX_FIXTURES "/../../packaging/com.joulix.metricsd.conf");
    testing::RunningDaemon daemon(bus);
    ASSERT_TRUE(daemon.serving);
    const auto as = [&](const std::string& user, const std::string& call) {
        return runCommand("setpriv --reuid=" + user + " --regid=" + user + " --init-groups " +
                          testing::busctl(bus.address, call));
    };

    testing::ChildProcess target({"sleep", "300"});
    const auto terminate = "TerminateProcess i " + std::to_string(target.pid());
    EXPECT_EQ(as(outsider, "Ping").output, "b true\n");
    for (const auto& call : {terminate, std::string("SetLowPowerMode b true")}) {
        const auto result = as(outsider, call);
        EXPECT_NE(result.status, 0) << call;
        EXPECT_NE(result.output.find("Access denied"), std::string::npos) << result.output;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(target.exited());
    // A member passes the bus policy; the daemon itself then refuses root's process (no polkit
    // on this bus), and the member's own process it ends.
    EXPECT_EQ(as(member, terminate).output, "bs false \"Not authorised to end process " +
                                                std::to_string(target.pid()) + " of user root\"\n");
    testing::ChildProcess own(
        {"setpriv", "--reuid=" + member, "--regid=" + member, "--init-groups", "sleep", "300"});
    const auto memberUid = static_cast<uid_t>(std::stoul(runCommand("id -u " + member).output));
    ASSERT_TRUE(testing::waitUntilRunsAs(own.pid(), memberUid));
    EXPECT_EQ(as(member, "TerminateProcess i " + std::to_string(own.pid())).output,
              "bs true \"\"\n");
}

}  // namespace
}  // namespace joulix
