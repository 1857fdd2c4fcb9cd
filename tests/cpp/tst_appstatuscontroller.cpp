#include "TestMain.h"

#include "AppStatusController.h"
#include "SyncLibrary.h"

using Setter = void (CAppStatusController::*)(bool);
Q_DECLARE_METATYPE(AppStatus)
Q_DECLARE_METATYPE(Setter)

class TestAppStatusController : public QObject
{
    Q_OBJECT

private slots:
    // Flags: u user not signed in, s store folder lost, o offline, c proxy connection error,
    // a proxy authentication error, h host not found, i initializing. Each status also tells the
    // library scheduler how long to wait before it tries again (0: it goes on at once).
    void precedence_data()
    {
        QTest::addColumn<QString>("flags");
        QTest::addColumn<AppStatus>("status");
        QTest::addColumn<int>("retryMs");
        QTest::newRow("all set") << "usocahi" << AppStatusUserNotSignedIn << 5000;
        QTest::newRow("store lost over offline") << "socahi" << AppStatusStoreFolderLost << 30000;
        QTest::newRow("offline over proxy") << "ocahi" << AppStatusNotConnected << 30000;
        QTest::newRow("proxy connection") << "cahi" << AppStatusProxyConnectionError << 0;
        QTest::newRow("proxy authentication") << "ahi" << AppStatusProxyAuthenticationError << 0;
        QTest::newRow("host not found") << "hi" << AppStatusHostNotFound << 0;
        QTest::newRow("initializing") << "i" << AppStatusSyncInitializing << 0;
        QTest::newRow("ok") << "" << AppStatusOk << 0;
    }

    void precedence()
    {
        QFETCH(QString, flags);
        QFETCH(AppStatus, status);
        QFETCH(int, retryMs);
        CAppStatusController controller([&] { return !flags.contains('o'); });
        controller.setUserNotSignedIn(flags.contains('u'));
        controller.setStoreFolderLost(flags.contains('s'));
        // The three network flags arrive together, as a request reports them.
        controller.setNetworkRequestResultSlot(flags.contains('h'), flags.contains('c'), flags.contains('a'));
        controller.setSyncInitializing(flags.contains('i'));
        QCOMPARE(controller.getAppStatus(), status);

        // The controller asks nothing below a store folder it lost; the rule itself still ranks it.
        const AppStatusConditions conditions{flags.contains('u'), flags.contains('s'), !flags.contains('o'),
                                             flags.contains('c'), flags.contains('a'),  flags.contains('h'),
                                             flags.contains('i')};
        QCOMPARE(appstatus::evaluate(conditions), status);

        const synclibrary::Gate gate = synclibrary::gateFor(status);
        QCOMPARE(gate == synclibrary::Gate::Process, retryMs == 0);
        QCOMPARE(synclibrary::gateInterval(gate), retryMs);
    }

    void signalOnlyOnChange_data()
    {
        QTest::addColumn<Setter>("set");
        QTest::newRow("user not signed in") << &CAppStatusController::setUserNotSignedIn;
        QTest::newRow("store folder lost") << &CAppStatusController::setStoreFolderLostSlot;
        QTest::newRow("proxy connection error") << &CAppStatusController::setProxyConnectionError;
        QTest::newRow("proxy authentication error") << &CAppStatusController::setProxyAuthenticationError;
        QTest::newRow("host not found") << &CAppStatusController::setHostNotFound;
    }

    void signalOnlyOnChange()
    {
        QFETCH(Setter, set);
        CAppStatusController controller([] { return true; });
        QSignalSpy changed(&controller, &CAppStatusController::appStatusChangedSignal);
        QSignalSpy lost(&controller, &CAppStatusController::storeFolderLostSignal);
        (controller.*set)(false);
        QCOMPARE(changed.count(), 0);
        (controller.*set)(true);
        (controller.*set)(true);
        QCOMPARE(changed.count(), 1);
        QVERIFY(controller.getAppStatus() != AppStatusSyncInitializing);
        (controller.*set)(false);
        QCOMPARE(changed.count(), 2);
        QCOMPARE(controller.getAppStatus(), AppStatusSyncInitializing);
        // Only a store folder that goes missing is announced on its own, once.
        QCOMPARE(lost.count(), set == &CAppStatusController::setStoreFolderLostSlot ? 1 : 0);
    }

    // Libraries waiting to initialise are a set, and connectivity is asked only when nothing of
    // higher precedence decides; every change is announced once.
    void changesAreAnnouncedOnce()
    {
        bool connected = true;
        CAppStatusController controller([&] { return connected; });
        controller.setSyncInitializing(false);
        QSignalSpy changed(&controller, &CAppStatusController::appStatusChangedSignal);
        controller.waitForSyncLibraryInitialization(7);
        controller.waitForSyncLibraryInitialization(7);
        controller.waitForSyncLibraryInitialization(8);
        QCOMPARE(changed.count(), 1);
        controller.reportFinishedSyncLibraryInitialization(7);
        QCOMPARE(controller.getAppStatus(), AppStatusSyncInitializing);
        controller.reportFinishedSyncLibraryInitialization(8);
        QCOMPARE(changed.count(), 2);
        QCOMPARE(controller.getAppStatus(), AppStatusOk);
        // A library reported twice, or never registered, changes nothing.
        controller.reportFinishedSyncLibraryInitialization(8);
        controller.reportFinishedSyncLibraryInitialization(99);
        QCOMPARE(changed.count(), 2);

        connected = false;
        QCOMPARE(controller.getAppStatus(), AppStatusNotConnected);
        QCOMPARE(controller.getAppStatus(), AppStatusNotConnected);
        QCOMPARE(changed.count(), 3);
        connected = true;
        QCOMPARE(controller.getAppStatus(), AppStatusOk);
        QCOMPARE(changed.count(), 4);
        controller.setUserNotSignedIn(true);
        connected = false;
        QCOMPARE(controller.getAppStatus(), AppStatusUserNotSignedIn);
        QCOMPARE(changed.count(), 5);
    }
};

BXSYNC_TEST_MAIN(TestAppStatusController)
#include "tst_appstatuscontroller.moc"
