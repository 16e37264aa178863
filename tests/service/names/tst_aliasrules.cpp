// Which alias a user gets, and who else sits on the names port: the two decisions the name
// service takes besides NameHolder's.

#include "service/NameTable.h"
#include "service/names/Aliases.h"
#include "service/names/UdpPortOwners.h"

#include <QTest>

namespace {

QString show(const std::optional<NetbiosName>& name)
{
    return name ? QString::fromStdString(name->trimmedName()) : QStringLiteral("-");
}

QString show(const Aliases& aliases, const std::string& user)
{
    const auto alias = aliases.aliasOf(user);
    return alias ? QString::fromStdString(alias->name) + " " + Aliases::stateText(alias->state)
                 : QStringLiteral("none");
}

} // namespace

class TestAliasRules : public QObject
{
    Q_OBJECT

private slots:
    void followsUsers_data();
    void followsUsers();
    void computerNameInConflict_data();
    void computerNameInConflict();
    void findsOtherSocketsOnThePort_data();
    void findsOtherSocketsOnThePort();
};

// Steps: "+user" (a client connects: the name to register), "-user" (a client leaves),
// "@S" (S seconds after the start: the names released), "NAME=held|conflict|pending" (the
// holder reports: users told), "*user,user" (who is logged in: the names to register), "?user"
// (alias), "!off" / "!on" (another program took the names port, or left it: the users told | the
// names released or to register).
void TestAliasRules::followsUsers_data()
{
    QTest::addColumn<bool>("serviceOn");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("results");
    QTest::newRow("first client registers, second does not; released after the grace")
        << true << QStringList{"+ana", "?ana", "+ana", "@100", "-ana",
                               "-ana", "?ana", "@129", "@130", "?ana"}
        << QStringList{"ANA", "ANA pending", "-", "", "", "", "ANA pending", "", "ANA", "none"};
    QTest::newRow("a user back within the grace keeps the alias")
        << true << QStringList{"+ana", "ANA=held", "@100", "-ana", "@120", "+ana", "?ana", "@500"}
        << QStringList{"ANA", "ana", "", "", "", "-", "ANA held", ""};
    QTest::newRow("connecting in a loop registers once a minute at most")
        << true << QStringList{"+ana", "-ana", "+ana", "-ana", "@59", "+ana",
                               "-ana", "@88",  "@89",  "+ana", "-ana"}
        << QStringList{"ANA", "", "-", "", "", "-", "", "", "ANA", "ANA", ""};
    QTest::newRow("another program takes the port, then leaves it")
        << true << QStringList{"+ana",  "ANA=held", "+bob", "-bob", "+averyverylongname",
                               "+pc",   "!off",     "?ana", "?pc",  "?averyverylongname",
                               "+carl", "?carl",    "!on",  "?ana", "?carl",
                               "?pc",   "!on"}
        << QStringList{"ANA",
                       "ana",
                       "BOB",
                       "",
                       "-",
                       "-",
                       "ana,pc|ANA,BOB",
                       "ANA unavailable",
                       "PC unavailable",
                       "AVERYVERYLONGNAME too-long",
                       "-",
                       "CARL unavailable",
                       "ana,carl,pc|ANA,CARL",
                       "ANA pending",
                       "CARL pending",
                       "PC pending",
                       "|"};
    QTest::newRow("held, then lost: the user is told each time")
        << true << QStringList{"+ana", "ANA=held", "?ana", "ANA=held", "ANA=conflict", "?ana"}
        << QStringList{"ANA", "ana", "ANA held", "", "ana", "ANA conflict"};
    QTest::newRow("longer than 15 bytes: no alias")
        << true << QStringList{"+averyverylongname", "?averyverylongname", "-averyverylongname"}
        << QStringList{"-", "AVERYVERYLONGNAME too-long", "-"};
    QTest::newRow("exactly 15 bytes is an alias")
        << true << QStringList{"+systemd-network", "?systemd-network"}
        << QStringList{"SYSTEMD-NETWORK", "SYSTEMD-NETWORK pending"};
    QTest::newRow("service off: unavailable, nothing registered")
        << false << QStringList{"+ana", "?ana", "-ana"} << QStringList{"-", "ANA unavailable", "-"};
    QTest::newRow("a login equal to the computer name follows the computer name")
        << true << QStringList{"PC=held", "+pc", "?pc", "PC=conflict", "?pc", "-pc"}
        << QStringList{"", "-", "PC held", "pc", "PC conflict", "-"};
    QTest::newRow("logged in without a client: held; logging out releases after the grace")
        << true
        << QStringList{"*ana", "?ana", "+ana", "-ana", "?ana", "@100", "*", "@129", "@130", "?ana"}
        << QStringList{"ANA", "ANA pending", "-", "", "ANA pending", "", "", "", "ANA", "none"};
    QTest::newRow("a client's user logs in: registered once, kept after the last client")
        << true << QStringList{"+ana", "*ana,bob", "-ana", "@1000", "*bob", "@1029", "@1030"}
        << QStringList{"ANA", "BOB", "", "", "", "", "ANA"};
    QTest::newRow("logged in while the service is off: registered when it comes back")
        << false << QStringList{"*ana", "?ana", "!on", "?ana"}
        << QStringList{"", "ANA unavailable", "ana|ANA", "ANA pending"};
    QTest::newRow("other users' names do not concern a user")
        << true << QStringList{"+ana", "+bob", "BOB=held", "?ana", "?bob"}
        << QStringList{"ANA", "BOB", "bob", "ANA pending", "BOB held"};
}

void TestAliasRules::followsUsers()
{
    QFETCH(bool, serviceOn);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, results);
    Aliases aliases(serviceOn, "pc", {});
    Aliases::Clock::time_point now{};
    QStringList got;
    for (const QString& step : steps) {
        const std::string rest = step.mid(1).toStdString();
        if (step.startsWith('+')) {
            got << show(aliases.connected(rest, now));
        } else if (step.startsWith('-')) {
            aliases.disconnected(rest, now);
            got << (aliases.aliasOf(rest) ? "" : "-");
        } else if (step.startsWith('!')) {
            const auto changed = aliases.setServiceOn(step == "!on", now);
            QStringList users;
            QStringList names;
            for (const auto& user : changed.users)
                users << QString::fromStdString(user);
            for (const auto& name : changed.names)
                names << show(name);
            got << users.join(',') + "|" + names.join(',');
        } else if (step.startsWith('@')) {
            now = Aliases::Clock::time_point{} + std::chrono::seconds(step.mid(1).toInt());
            QStringList released;
            for (const auto& name : aliases.expire(now))
                released << show(name);
            got << released.join(',');
        } else if (step.startsWith('*')) {
            std::set<std::string> users;
            for (const QString& user : step.mid(1).split(',', Qt::SkipEmptyParts))
                users.insert(user.toStdString());
            QStringList registered;
            for (const auto& name : aliases.setLoggedIn(users, now))
                registered << show(name);
            got << registered.join(',');
        } else if (step.startsWith('?')) {
            got << show(aliases, rest);
        } else {
            const QString status = step.section('=', 1);
            const auto told =
                aliases.statusChanged(Aliases::messengerName(step.section('=', 0, 0).toStdString()),
                                      status == "held"       ? NameHolder::Status::Held
                                      : status == "conflict" ? NameHolder::Status::Conflict
                                                             : NameHolder::Status::Pending);
            QStringList users;
            for (const auto& user : told)
                users << QString::fromStdString(user);
            got << users.join(',');
        }
    }
    QCOMPARE(got, results);
}

// A session that reached one of this machine's addresses found the right machine, whoever
// holds the computer name on the LAN.
void TestAliasRules::computerNameInConflict_data()
{
    QTest::addColumn<bool>("lost");
    QTest::addColumn<QString>("local");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("held") << false << "" << true;
    QTest::newRow("lost, arrived on our LAN address") << true << "10.0.0.2" << true;
    QTest::newRow("lost, arrived on loopback") << true << "127.0.0.1" << true;
    QTest::newRow("lost, not one of our addresses") << true << "10.0.0.99" << false;
    QTest::newRow("lost, arrival unknown") << true << "" << false;
}

void TestAliasRules::computerNameInConflict()
{
    QFETCH(bool, lost);
    QFETCH(QString, local);
    QFETCH(bool, accepted);
    NameTable table("pc", [] { return std::vector<std::string>{"127.0.0.1", "10.0.0.2"}; });
    table.setComputerNameLost(lost);
    QCOMPARE(table.find(Aliases::messengerName("PC"), local.toStdString()).has_value(), accepted);
}

void TestAliasRules::findsOtherSocketsOnThePort_data()
{
    // Lines as the kernel writes them (Linux 6.x), cut after the inode.
    const QString header = "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when "
                           "retrnsmt   uid  timeout inode ref pointer drops\n";
    const auto line = [](const char* local, const char* inode) {
        return QStringLiteral("  12: %1 00000000:0000 07 00000000:00000000 00:00000000 00000000"
                              "     0        0 %2 2 0000000000000000 0\n")
            .arg(QLatin1String(local), QLatin1String(inode));
    };
    QTest::addColumn<QString>("table");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("inodes");
    QTest::newRow("nmbd's three sockets")
        << header + line("00000000:0089", "5001") + line("014D0A0A:0089", "5002") +
               line("FF4D0A0A:0089", "5003") + line("00000000:0044", "6000")
        << 137 << "5001,5002,5003";
    QTest::newRow("ours alone") << header + line("00000000:0089", "7000") << 137 << "7000";
    QTest::newRow("another port only") << header + line("0100007F:2AF9", "42") << 137 << "";
    QTest::newRow("a direct-mode port") << header + line("0100007F:2AF9", "42") << 11001 << "42";
    QTest::newRow("header only, short and broken lines")
        << header + "  1: 00000000:0089 garbage\n" + "  2: nocolon 0 0 0 0 0 0 0 0 9\n"
        << 137 << "";
}

void TestAliasRules::findsOtherSocketsOnThePort()
{
    QFETCH(QString, table);
    QFETCH(int, port);
    QFETCH(QString, inodes);
    const std::string text = table.toStdString();
    QStringList got;
    for (const unsigned long inode : UdpPortOwners::inodesOnPort(text, std::uint16_t(port)))
        got << QString::number(inode);
    QCOMPARE(got.join(','), inodes);
}

QTEST_APPLESS_MAIN(TestAliasRules)
#include "tst_aliasrules.moc"
