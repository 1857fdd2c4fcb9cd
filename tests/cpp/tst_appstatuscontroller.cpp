#include "TestMain.h"

#include "AppStatusController.h"

#include <atomic>

Q_DECLARE_METATYPE(AppStatus)

namespace {

// A network whose connectivity the test switches.
struct FakeNetwork
{
    std::shared_ptr<std::atomic<bool>> connected = std::make_shared<std::atomic<bool>>(true);
    CAppStatusController::ConnectivityProbe probe() const
    {
        auto state = connected;
        return [state] { return state->load(); };
    }
};

} // namespace

class TestAppStatusController : public QObject
{
    Q_OBJECT

private slots:
    void precedence_data();
    void precedence();
    void startsInitializingAndSettlesAtOk();
    void signalOnlyOnChange_data();
    void signalOnlyOnChange();
    void librariesAreASet();
    void storeFolderLostSignalOnlyOnChangeToTrue();
    void networkRequestResultSetsAllThree();
    void connectivityChangeIsAnnouncedOnce();
};

void TestAppStatusController::precedence_data()
{
    QTest::addColumn<bool>("userNotSignedIn");
    QTest::addColumn<bool>("storeFolderLost");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<bool>("proxyConnection");
    QTest::addColumn<bool>("proxyAuthentication");
    QTest::addColumn<bool>("hostNotFound");
    QTest::addColumn<bool>("initializing");
    QTest::addColumn<AppStatus>("status");
    QTest::newRow("all set") << true << true << false << true << true << true << true << AppStatusUserNotSignedIn;
    QTest::newRow("store lost over offline") << false << true << false << true << true << true << true
                                             << AppStatusStoreFolderLost;
    QTest::newRow("offline over proxy") << false << false << false << true << true << true << true
                                        << AppStatusNotConnected;
    QTest::newRow("proxy connection") << false << false << true << true << true << true << true
                                      << AppStatusProxyConnectionError;
    QTest::newRow("proxy authentication") << false << false << true << false << true << true << true
                                          << AppStatusProxyAuthenticationError;
    QTest::newRow("host not found") << false << false << true << false << false << true << true
                                    << AppStatusHostNotFound;
    QTest::newRow("initializing") << false << false << true << false << false << false << true
                                  << AppStatusSyncInitializing;
    QTest::newRow("ok") << false << false << true << false << false << false << false << AppStatusOk;
}

// The table is checked through the controller, not only the pure rule.
void TestAppStatusController::precedence()
{
    QFETCH(bool, userNotSignedIn);
    QFETCH(bool, storeFolderLost);
    QFETCH(bool, connected);
    QFETCH(bool, proxyConnection);
    QFETCH(bool, proxyAuthentication);
    QFETCH(bool, hostNotFound);
    QFETCH(bool, initializing);
    QFETCH(AppStatus, status);

    FakeNetwork network;
    *network.connected = connected;
    CAppStatusController controller(network.probe());
    controller.setUserNotSignedIn(userNotSignedIn);
    controller.setStoreFolderLost(storeFolderLost);
    controller.setProxyConnectionError(proxyConnection);
    controller.setProxyAuthenticationError(proxyAuthentication);
    controller.setHostNotFound(hostNotFound);
    controller.setSyncInitializing(initializing);
    QCOMPARE(controller.getAppStatus(), status);

    AppStatusConditions conditions;
    conditions.userNotSignedIn = userNotSignedIn;
    conditions.storeFolderLost = storeFolderLost;
    conditions.connected = connected;
    conditions.proxyConnectionError = proxyConnection;
    conditions.proxyAuthenticationError = proxyAuthentication;
    conditions.hostNotFound = hostNotFound;
    conditions.syncInitializing = initializing;
    QCOMPARE(appstatus::evaluate(conditions), status);
}

void TestAppStatusController::startsInitializingAndSettlesAtOk()
{
    FakeNetwork network;
    CAppStatusController controller(network.probe());
    QCOMPARE(controller.getAppStatus(), AppStatusSyncInitializing);
    controller.waitForSyncLibraryInitialization(1);
    controller.setSyncInitializing(false);
    QCOMPARE(controller.getAppStatus(), AppStatusSyncInitializing);
    controller.reportFinishedSyncLibraryInitialization(1);
    QCOMPARE(controller.getAppStatus(), AppStatusOk);
}

void TestAppStatusController::signalOnlyOnChange_data()
{
    QTest::addColumn<QString>("setter");
    QTest::newRow("userNotSignedIn") << "userNotSignedIn";
    QTest::newRow("storeFolderLost") << "storeFolderLost";
    QTest::newRow("proxyConnectionError") << "proxyConnectionError";
    QTest::newRow("proxyAuthenticationError") << "proxyAuthenticationError";
    QTest::newRow("hostNotFound") << "hostNotFound";
}

void TestAppStatusController::signalOnlyOnChange()
{
    QFETCH(QString, setter);
    FakeNetwork network;
    CAppStatusController controller(network.probe());
    const QMap<QString, std::function<void(bool)>> setters = {
        {"userNotSignedIn", [&](bool v) { controller.setUserNotSignedIn(v); }},
        {"storeFolderLost", [&](bool v) { controller.setStoreFolderLostSlot(v); }},
        {"proxyConnectionError", [&](bool v) { controller.setProxyConnectionError(v); }},
        {"proxyAuthenticationError", [&](bool v) { controller.setProxyAuthenticationError(v); }},
        {"hostNotFound", [&](bool v) { controller.setHostNotFound(v); }},
    };
    QSignalSpy changed(&controller, &CAppStatusController::appStatusChangedSignal);
    const auto set = setters.value(setter);
    set(false);
    QCOMPARE(changed.count(), 0);
    set(true);
    QCOMPARE(changed.count(), 1);
    set(true);
    QCOMPARE(changed.count(), 1);
    QVERIFY(controller.getAppStatus() != AppStatusSyncInitializing);
    set(false);
    QCOMPARE(changed.count(), 2);
    QCOMPARE(controller.getAppStatus(), AppStatusSyncInitializing);
}

void TestAppStatusController::librariesAreASet()
{
    FakeNetwork network;
    CAppStatusController controller(network.probe());
    controller.setSyncInitializing(false);
    QCOMPARE(controller.getAppStatus(), AppStatusOk);

    QSignalSpy changed(&controller, &CAppStatusController::appStatusChangedSignal);
    controller.waitForSyncLibraryInitialization(7);
    QCOMPARE(changed.count(), 1);
    controller.waitForSyncLibraryInitialization(7);
    controller.waitForSyncLibraryInitialization(8);
    QCOMPARE(changed.count(), 1);
    controller.reportFinishedSyncLibraryInitialization(7);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(controller.getAppStatus(), AppStatusSyncInitializing);
    controller.reportFinishedSyncLibraryInitialization(8);
    QCOMPARE(changed.count(), 2);
    QCOMPARE(controller.getAppStatus(), AppStatusOk);
    // A library reported twice, or never registered, changes nothing.
    controller.reportFinishedSyncLibraryInitialization(8);
    controller.reportFinishedSyncLibraryInitialization(99);
    QCOMPARE(changed.count(), 2);
}

void TestAppStatusController::storeFolderLostSignalOnlyOnChangeToTrue()
{
    FakeNetwork network;
    CAppStatusController controller(network.probe());
    QSignalSpy lost(&controller, &CAppStatusController::storeFolderLostSignal);
    QSignalSpy changed(&controller, &CAppStatusController::appStatusChangedSignal);
    controller.setStoreFolderLost(true);
    controller.setStoreFolderLost(true);
    QCOMPARE(lost.count(), 1);
    controller.setStoreFolderLost(false);
    QCOMPARE(lost.count(), 1);
    QCOMPARE(changed.count(), 2);
    // Reported from the client watcher's thread, queued.
    QMetaObject::invokeMethod(&controller, "setStoreFolderLostSlot", Qt::QueuedConnection, Q_ARG(bool, true));
    QTRY_COMPARE(lost.count(), 2);
    QCOMPARE(controller.getAppStatus(), AppStatusStoreFolderLost);
}

void TestAppStatusController::networkRequestResultSetsAllThree()
{
    FakeNetwork network;
    CAppStatusController controller(network.probe());
    controller.setSyncInitializing(false);
    QSignalSpy changed(&controller, &CAppStatusController::appStatusChangedSignal);
    controller.setNetworkRequestResultSlot(true, false, true);
    QCOMPARE(changed.count(), 2);
    QCOMPARE(controller.getAppStatus(), AppStatusProxyAuthenticationError);
    controller.setNetworkRequestResultSlot(true, false, false);
    QCOMPARE(controller.getAppStatus(), AppStatusHostNotFound);
    controller.setNetworkRequestResultSlot(false, false, false);
    QCOMPARE(controller.getAppStatus(), AppStatusOk);
    QCOMPARE(changed.count(), 4);
}

void TestAppStatusController::connectivityChangeIsAnnouncedOnce()
{
    FakeNetwork network;
    CAppStatusController controller(network.probe());
    controller.setSyncInitializing(false);
    QSignalSpy changed(&controller, &CAppStatusController::appStatusChangedSignal);
    *network.connected = false;
    QCOMPARE(controller.getAppStatus(), AppStatusNotConnected);
    QCOMPARE(controller.getAppStatus(), AppStatusNotConnected);
    QCOMPARE(changed.count(), 1);
    *network.connected = true;
    QCOMPARE(controller.getAppStatus(), AppStatusOk);
    QCOMPARE(changed.count(), 2);
    // With a higher-precedence condition set, connectivity is not asked at all.
    controller.setUserNotSignedIn(true);
    *network.connected = false;
    QCOMPARE(controller.getAppStatus(), AppStatusUserNotSignedIn);
    QCOMPARE(changed.count(), 3);
}

BXSYNC_TEST_MAIN(TestAppStatusController)
#include "tst_appstatuscontroller.moc"
