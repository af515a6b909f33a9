// The password type: one owner, characters overwritten, and the process's state while one is held.

#include "wmi/secret.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/resource.h>

#include <cstdlib>

namespace qelto::test {
namespace {

TEST(Secret, WhileOneIsHeldTheProcessCannotBeDumped) {
    ASSERT_EQ(::prctl(PR_GET_DUMPABLE), 1);
    {
        wmi::Secret first = wmi::Secret::copyOf(u"pw-1");
        EXPECT_EQ(::prctl(PR_GET_DUMPABLE), 0);
        rlimit core{};
        ASSERT_EQ(::getrlimit(RLIMIT_CORE, &core), 0);
        EXPECT_EQ(core.rlim_cur, 0u);
        EXPECT_EQ(core.rlim_max, 0u);
        const wmi::Secret owner = std::move(first);
        EXPECT_TRUE(first.isEmpty());  // NOLINT(bugprone-use-after-move): the move empties it
        EXPECT_EQ(owner.text(), u"pw-1");
        EXPECT_STREQ(owner.utf8(), "pw-1");
        EXPECT_EQ(::prctl(PR_GET_DUMPABLE), 0);
    }
    EXPECT_EQ(::prctl(PR_GET_DUMPABLE), 1);
}

TEST(Secret, ATextSharedWithItsSourceIsOverwrittenThereToo) {
    QString box = QString::fromLatin1("hunter2-box");  // a line edit's own text
    QString typed = box;
    const wmi::Secret secret(std::move(typed));
    EXPECT_EQ(secret.text(), u"hunter2-box");
    EXPECT_EQ(box, QString(11, QChar(0)));
}

TEST(Secret, AVariableTakenFromTheEnvironmentIsNotInherited) {
    ASSERT_EQ(::setenv("QELTO_PASSWORD", "env-pw-7", 1), 0);
    const auto taken = wmi::takeFromEnvironment("QELTO_PASSWORD");
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->text(), u"env-pw-7");
    EXPECT_EQ(std::getenv("QELTO_PASSWORD"), nullptr);
    QProcess child;
    child.start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"), QStringLiteral("printf %s \"${QELTO_PASSWORD-unset}\"")});
    ASSERT_TRUE(child.waitForFinished(10000));
    EXPECT_EQ(child.readAllStandardOutput(), "unset");
}

}  // namespace
}  // namespace qelto::test
